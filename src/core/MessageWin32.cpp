// Default message handler on Windows: a modal error box owned by the top window.
#include <windows.h>

#include "core/Message.h"

namespace halvane {

void PlatformShowMessage(const char* text, const char* caption, unsigned int style) {
    wchar_t wtext[256];
    wchar_t wcaption[64];
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wtext, 256);
    MultiByteToWideChar(CP_UTF8, 0, caption, -1, wcaption, 64);
    MessageBoxW(GetTopWindow(nullptr), wtext, wcaption, style);
}

} // namespace halvane
