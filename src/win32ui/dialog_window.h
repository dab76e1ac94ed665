#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kq::win32ui {

// A language key's text in the language in use, UTF-8.
using Translator = std::function<std::string(std::string_view key)>;

// One window made from a dialog template of the program's resources: its handle, its modal run,
// the language keys of its controls and the message plumbing. What a window shows and does is
// its view's (View, win32_view.h) and the logic's behind it. Texts travel as UTF-8 and reach the
// window system through its wide calls.
class DialogWindow {
  public:
    DialogWindow(int templateId, Translator translate);
    // Destroys the window, if it is still there.
    virtual ~DialogWindow();
    DialogWindow(const DialogWindow&) = delete;
    DialogWindow& operator=(const DialogWindow&) = delete;

    // Creates the window modeless: a top-level window when parent is null, else a child of it
    // (a page of the tab control). False when the template could not be made a window.
    bool Create(HWND parent = nullptr);
    // Runs the window until EndModal, with its owner disabled meanwhile; every message passes
    // PreTranslateMessage first (DispatchUiMessage). Creates the window if need be and destroys
    // it at the end. Returns the result given to EndModal; -1 when the window could not be
    // made.
    INT_PTR DoModal(HWND owner = nullptr);
    // Ends the modal run (or, for a modeless window, only records the result).
    void EndModal(INT_PTR result);
    bool ended() const { return ended_; }
    INT_PTR result() const { return result_; }

    HWND hwnd() const { return hwnd_; }
    HWND Item(int id) const { return GetDlgItem(hwnd_, id); }
    int templateId() const { return templateId_; }

    // The caption and the texts of the window's own controls become the translations of their
    // keys. The key of each is the text it had when first translated (the template's), so a
    // second call changes nothing. Edit boxes and combo boxes hold data and are left alone.
    // Texts that would be cut get room (FitTexts).
    void TranslateTexts();
    // Gives a control (0: the caption) a new key and shows its translation.
    void ShowKey(int id, std::string_view key);
    // Shows a text as it is (data, not a key): TranslateTexts leaves the control alone. An edit
    // box reports the change (EN_CHANGE), as typing does.
    void ShowData(int id, std::string_view utf8);
    std::string Text(int id) const;

    // A control's enabled state as its view wants it; while the whole window is disabled
    // (EnableAll), it takes that state when the window is enabled again.
    void Enable(int id, bool enabled);
    bool IsEnabled(int id) const;
    // Every control of the window greyed and back to what each was given.
    void EnableAll(bool enabled);
    void Show(bool visible);
    bool IsVisible() const;
    // Centres the window over its owner, or on the work area of its monitor when it has none;
    // the window stays inside the work area.
    void Centre();

    // The text of a key in the language in use.
    std::string Translate(std::string_view key) const { return translate_(key); }
    const Translator& translator() const { return translate_; }

    // The window object of a handle, or null.
    static DialogWindow* FromHandle(HWND window);

  protected:
    // Called while the window is created (WM_INITDIALOG), once. True lets the dialog manager
    // put the focus on the first tab stop; false says the window has put it.
    virtual bool OnInitDialog() { return true; }
    // WM_COMMAND from a control or a menu. The default ends the window on IDOK and IDCANCEL,
    // as the dialog framework does.
    virtual void OnCommand(int id, int code, HWND control);
    virtual LRESULT OnNotify(const NMHDR& header);
    // Any other message; true when handled, with its result in result.
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result);
    // Every message aimed at the window or one of its descendants, before it is dispatched;
    // true swallows it.
    virtual bool PreTranslateMessage(MSG& message);

    // The control's translation key; none for a control showing data or a picture.
    void SetKeyOf(HWND control, std::optional<std::string> key);
    void ShowTextOf(HWND control, std::string_view utf8);

  private:
    friend bool DispatchUiMessage(MSG& message);
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);

    int templateId_;
    Translator translate_;
    HWND hwnd_ = nullptr;
    bool ended_ = false;
    INT_PTR result_ = 0;
    std::optional<std::string> captionKey_;
    std::unordered_map<HWND, std::optional<std::string>> keys_;
    bool allEnabled_ = true;
    std::unordered_map<HWND, bool> wanted_;  // what Enable gave while EnableAll(false) held
};

// A key-down of Enter or Escape: the main window and its pages let neither close or press
// anything.
bool IsEnterOrEscape(const MSG& message);

// One message of the program's message loop: offered to PreTranslateMessage of the windows it
// is aimed at (the target's own first, then those of its parents), then to the dialog manager
// of its top-level window (keyboard navigation), then dispatched. False when a window swallowed
// it.
bool DispatchUiMessage(MSG& message);

// Dispatches every message waiting for this thread's windows, as the message loop would; for
// tests, which drive the windows without a modal loop.
void PumpUiMessages();

// Makes room for the texts of a window's controls: a label or button whose text would be cut
// grows to the right, and the control after it on its row gives up width (a slider, box or
// list) or moves over. Controls whose texts fit stay where the template put them.
void FitTexts(HWND parent);

// Whether a label has room for two lines or more: the window system breaks its text between
// words to fit its width, and FitTexts leaves it as it is.
bool WrapsText(HWND control);

// Whether the window's class is name (such as TRACKBAR_CLASSW), in any case.
bool IsWindowClass(HWND window, const wchar_t* name);

// A window's text, UTF-8.
std::string WindowTextOf(HWND window);

// The window's dots per inch (96 at 100 %), and a length of 96-dpi pixels at that scale.
unsigned DpiOf(HWND window);
int Scaled(int pixels, unsigned dpi);

}  // namespace kq::win32ui
