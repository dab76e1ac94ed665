#include "win32ui/system_dialogs.h"

// commctrl.h and commdlg.h need windows.h first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
// clang-format on

#include "os/os.h"

namespace kq::win32ui {
namespace {

using os::Wide;

// The owner of a dialog is a top-level window; a page stands for its main window.
HWND Root(HWND owner) {
    return owner ? GetAncestor(owner, GA_ROOT) : nullptr;
}

// The question's handle while it is open. The text it shows stays here: the box reads it when
// it lays itself out again.
class OpenTaskDialog final : public OpenQuestion {
  public:
    void SetText(const std::string& text) override {
        text_ = Wide(text);
        if (window_) {
            SendMessageW(window_, TDM_SET_ELEMENT_TEXT, TDE_CONTENT,
                         reinterpret_cast<LPARAM>(text_.c_str()));
        }
    }
    HWND window_ = nullptr;

  private:
    std::wstring text_;
};

struct AskState {
    const Question& question;
    OpenTaskDialog open;
};

HRESULT CALLBACK QuestionEvents(HWND window, UINT event, WPARAM, LPARAM, LONG_PTR data) {
    auto* state = reinterpret_cast<AskState*>(data);
    if (event == TDN_CREATED) {
        state->open.window_ = window;
        if (state->question.whileOpen) state->question.whileOpen(&state->open);
    } else if (event == TDN_DESTROYED) {
        state->open.window_ = nullptr;
    }
    return S_OK;
}

}  // namespace

void ShowMessage(HWND owner, const Message& message) {
    const UINT icon = message.icon == MessageIcon::Warning       ? MB_ICONWARNING
                      : message.icon == MessageIcon::Information ? MB_ICONINFORMATION
                                                                 : 0;
    MessageBoxW(Root(owner), Wide(message.text).c_str(), Wide(message.title).c_str(), MB_OK | icon);
}

Answer Ask(HWND owner, const Question& question) {
    constexpr int kAccept = 100;
    // The reject id also takes Escape and the close box, on every system.
    constexpr int kReject = IDCANCEL;
    const std::wstring title = Wide(question.title), text = Wide(question.text);
    const std::wstring accept = Wide(question.acceptText), reject = Wide(question.rejectText);
    const TASKDIALOG_BUTTON buttons[] = {{kAccept, accept.c_str()}, {kReject, reject.c_str()}};
    AskState state{question, {}};
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.hwndParent = Root(owner);
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
    config.pszWindowTitle = title.c_str();
    config.pszMainIcon = question.icon == MessageIcon::Warning       ? TD_WARNING_ICON
                         : question.icon == MessageIcon::Information ? TD_INFORMATION_ICON
                                                                     : nullptr;
    config.pszContent = text.c_str();
    config.cButtons = 2;
    config.pButtons = buttons;
    config.nDefaultButton = question.defaultAnswer == Answer::Accept ? kAccept : kReject;
    config.pfCallback = &QuestionEvents;
    config.lpCallbackData = reinterpret_cast<LONG_PTR>(&state);
    int chosen = 0;
    const bool shown = SUCCEEDED(TaskDialogIndirect(&config, &chosen, nullptr, nullptr));
    if (question.whileOpen) question.whileOpen(nullptr);
    return shown && chosen == kAccept ? Answer::Accept : Answer::Reject;
}

std::optional<std::string> ChooseFile(HWND owner, const FileChoice& choice) {
    // "name\0pattern;pattern\0" for each filter, then one more zero.
    std::wstring filter;
    for (const FileFilter& f : choice.filters) {
        filter += Wide(f.name);
        filter.push_back(L'\0');
        for (size_t i = 0; i < f.patterns.size(); ++i) {
            if (i > 0) filter.push_back(L';');
            // "*" is every file; Windows says so as "*.*".
            filter += f.patterns[i] == "*" ? L"*.*" : Wide(f.patterns[i]);
        }
        filter.push_back(L'\0');
    }
    filter.push_back(L'\0');
    const std::wstring title = Wide(choice.title);
    std::wstring folder = Wide(choice.startFolder);
    for (wchar_t& c : folder) {
        if (c == L'/') c = L'\\';
    }
    std::wstring file(32768, L'\0');  // the longest path Windows has
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = Root(owner);
    dialog.lpstrFilter = choice.filters.empty() ? nullptr : filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    dialog.lpstrTitle = title.empty() ? nullptr : title.c_str();
    dialog.Flags =
        OFN_EXPLORER | OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameW(&dialog)) return std::nullopt;
    file.resize(wcslen(file.c_str()));
    return os::Utf8(file);
}

}  // namespace kq::win32ui
