// Default message handler without a windowing system: one line on stderr, never blocking.
#include <cstdio>

#include "core/Message.h"

namespace halvane {

void PlatformShowMessage(const char* text, const char* caption, unsigned int /*style*/) {
    std::fprintf(stderr, "halvane: %s: %s\n", caption, text);
}

} // namespace halvane
