#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kq::win32ui {

// The system's own dialogs a view asks for; texts come translated (UTF-8). Each is modal and
// owned by the window of the view that asks (a page's box is its main window's).

enum class MessageKind { Plain, Information, Warning };

// A message with one OK button.
void ShowMessage(HWND owner, std::string_view title, std::string_view text, MessageKind kind);

// A warning with two buttons: true when the first (the action) was chosen. The second is the
// one Enter and Escape give, and so is closing the question.
bool Confirm(HWND owner, std::string_view title, std::string_view text, std::string_view action,
             std::string_view cancel);

struct FileFilter {
    std::string name;     // "Binary files"
    std::string pattern;  // "*.bin", several as "*.enc;*.bin"
};

// The file-open dialog, the first filter selected: the full name of the file chosen, which
// must exist; none when the user cancelled. Names are UTF-8 whatever the system's code page.
std::optional<std::string> ChooseFile(HWND owner, std::string_view title,
                                      const std::vector<FileFilter>& filters);

}  // namespace kq::win32ui
