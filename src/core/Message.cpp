#include "core/Message.h"

#include "Halvane.h"

namespace {
HalvaneMessageHandler g_handler = nullptr;
}

HalvaneMessageHandler HalvaneSetMessageHandler(HalvaneMessageHandler handler) {
    HalvaneMessageHandler previous = g_handler ? g_handler : &halvane::PlatformShowMessage;
    g_handler = handler;
    return previous;
}

namespace halvane {

void ShowMessage(const char* text, const char* caption, unsigned int style) {
    if (g_handler)
        g_handler(text, caption, style);
    else
        PlatformShowMessage(text, caption, style);
}

} // namespace halvane
