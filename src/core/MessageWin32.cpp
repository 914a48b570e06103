// Default message handler on Windows: a modal error box owned by the top window.
#include <string>
#include <windows.h>

#include "core/Message.h"

namespace halvane {

static_assert(MESSAGE_ICON_ERROR == MB_ICONERROR, "the error style is the Windows error icon");

namespace {
// The UTF-8 text as UTF-16, whatever its length; empty when it is not valid UTF-8.
std::wstring Widen(const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length - 1)); // drop the terminator the conversion wrote
    return wide;
}
} // namespace

void PlatformShowMessage(const char* text, const char* caption, unsigned int style) {
    const std::wstring wideText = Widen(text);
    const std::wstring wideCaption = Widen(caption);
    MessageBoxW(GetTopWindow(nullptr), wideText.c_str(), wideCaption.c_str(), style);
}

} // namespace halvane
