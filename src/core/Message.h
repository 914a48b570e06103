// Messages to the user. The handler decides how they are shown (stderr, a dialog box).
#ifndef HALVANE_CORE_MESSAGE_H
#define HALVANE_CORE_MESSAGE_H

namespace halvane {

// Error-icon style of a message.
constexpr unsigned int MESSAGE_ICON_ERROR = 16;

// Shows text with caption through the installed handler.
void ShowMessage(const char* text, const char* caption, unsigned int style);

// The platform's default way of showing a message (stderr line, or a modal box on Windows).
void PlatformShowMessage(const char* text, const char* caption, unsigned int style);

} // namespace halvane

#endif
