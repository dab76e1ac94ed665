#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "dialogs/views.h"

namespace kq::win32ui {

// The system's own dialogs a view asks for; texts come translated (UTF-8). Each is modal and
// owned by the window of the view that asks (a page's box is its main window's). The other
// windows of the thread keep receiving their messages meanwhile (the UI queue runs).

// A message with one OK button.
void ShowMessage(HWND owner, const Message& message);

// A question with two buttons, the accept button first. Enter gives the default answer;
// Escape and the close box give Reject. The text can change while it is open (whileOpen).
Answer Ask(HWND owner, const Question& question);

// The file-open dialog, the first filter selected, in choice.startFolder when it names one:
// the full name of the file chosen, which must exist; none when the user cancelled. Names are
// UTF-8 whatever the system's code page.
std::optional<std::string> ChooseFile(HWND owner, const FileChoice& choice);

}  // namespace kq::win32ui
