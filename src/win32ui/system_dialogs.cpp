#include "win32ui/system_dialogs.h"

#include <commctrl.h>
#include <commdlg.h>

#include "os/os.h"

namespace kq::win32ui {
namespace {

using os::Wide;

// The owner of a dialog is a top-level window; a page stands for its main window.
HWND Root(HWND owner) {
    return owner ? GetAncestor(owner, GA_ROOT) : nullptr;
}

}  // namespace

void ShowMessage(HWND owner, std::string_view title, std::string_view text, MessageKind kind) {
    const UINT icon = kind == MessageKind::Warning       ? MB_ICONWARNING
                      : kind == MessageKind::Information ? MB_ICONINFORMATION
                                                         : 0;
    MessageBoxW(Root(owner), Wide(text).c_str(), Wide(title).c_str(), MB_OK | icon);
}

bool Confirm(HWND owner, std::string_view title, std::string_view text, std::string_view action,
             std::string_view cancel) {
    constexpr int kAction = 100;
    // The cancel id also takes Escape and the close box, on every system.
    constexpr int kCancel = IDCANCEL;
    const std::wstring wideTitle = Wide(title), wideText = Wide(text);
    const std::wstring wideAction = Wide(action), wideCancel = Wide(cancel);
    const TASKDIALOG_BUTTON buttons[] = {{kAction, wideAction.c_str()},
                                         {kCancel, wideCancel.c_str()}};
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.hwndParent = Root(owner);
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
    config.pszWindowTitle = wideTitle.c_str();
    config.pszMainIcon = TD_WARNING_ICON;
    config.pszContent = wideText.c_str();
    config.cButtons = 2;
    config.pButtons = buttons;
    config.nDefaultButton = kCancel;
    int chosen = 0;
    return SUCCEEDED(TaskDialogIndirect(&config, &chosen, nullptr, nullptr)) && chosen == kAction;
}

std::optional<std::string> ChooseFile(HWND owner, std::string_view title,
                                      const std::vector<FileFilter>& filters) {
    // "name\0pattern\0" for each filter, then one more zero.
    std::wstring filter;
    for (const FileFilter& f : filters) {
        filter += Wide(f.name);
        filter.push_back(L'\0');
        filter += Wide(f.pattern);
        filter.push_back(L'\0');
    }
    filter.push_back(L'\0');
    const std::wstring wideTitle = Wide(title);
    std::wstring file(32768, L'\0');  // the longest path Windows has
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = Root(owner);
    dialog.lpstrFilter = filters.empty() ? nullptr : filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrTitle = wideTitle.empty() ? nullptr : wideTitle.c_str();
    dialog.Flags =
        OFN_EXPLORER | OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameW(&dialog)) return std::nullopt;
    file.resize(wcslen(file.c_str()));
    return os::Utf8(file);
}

}  // namespace kq::win32ui
