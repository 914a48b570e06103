#include "core/SpeakerLayout.h"

namespace halvane {

const Layout* FindLayout(int code) {
    for (const Layout& layout : LAYOUTS)
        if (layout.code == code)
            return &layout;
    return nullptr;
}

} // namespace halvane
