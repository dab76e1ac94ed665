#pragma once

// What the windows' logic asks of a toolkit. Each window's logic talks to one view: the Qt
// widgets on Linux, the Win32 dialogs on Windows. A view shows, asks and reports clicks (by
// calling the logic's On... handlers on the UI thread); the logic decides. Controls are
// addressed by their resource ids (res/resource.h), windows by their template ids. All texts are
// UTF-8; those given as texts are shown as they stand (the logic has translated them), those
// given as keys are translated by the view and kept for its TranslateWindow.
//
// Every operation has a do-nothing default, so that a view implements what its window has and a
// new operation does not break the views that predate it.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kq {

enum class MessageIcon { None, Information, Warning };

// A modal box with one OK button. The text may have several lines.
struct Message {
    std::string title;
    std::string text;
    MessageIcon icon = MessageIcon::None;
};

enum class Answer { Accept, Reject };

// A question box while it is open.
class OpenQuestion {
  public:
    virtual void SetText(const std::string& text) = 0;

  protected:
    ~OpenQuestion() = default;
};

// A modal question with two buttons. Enter gives the default answer; Escape and the close box
// give Reject.
struct Question {
    std::string title;
    std::string text;
    std::string acceptText;
    std::string rejectText;
    Answer defaultAnswer = Answer::Reject;
    MessageIcon icon = MessageIcon::Warning;
    // When set, called with the box once it is up and with nullptr just before Ask returns. The
    // UI queue keeps running while the box is open (the toolkit's nested loop), so a task may
    // change the text through the handle meanwhile.
    std::function<void(OpenQuestion*)> whileOpen{};
};

struct FileFilter {
    std::string name;                   // "Binary files"
    std::vector<std::string> patterns;  // "*.bin"; "*" for every file
};

// A file-open dialog.
struct FileChoice {
    std::string title;
    std::vector<FileFilter> filters;  // the first one selected
    std::string startFolder{};        // empty: the toolkit's choice
};

// What every window's view offers.
class DialogView {
  public:
    virtual ~DialogView() = default;

    // Caption and control texts from the keys they were created with (or last given by
    // SetTextKey), in the current language; edit boxes keep their data.
    virtual void TranslateWindow() {}
    virtual void SetTextKey(int /*id*/, std::string_view /*key*/) {}
    // Data shown as it stands: a number in a box, a path. Setting an edit box's text reports a
    // change (its On...Change handler), as typing does.
    virtual void SetText(int /*id*/, const std::string& /*text*/) {}
    virtual std::string GetText(int /*id*/) const { return {}; }
    virtual void SetEnabled(int /*id*/, bool /*enabled*/) {}
    virtual void SetChecked(int /*id*/, bool /*checked*/) {}
    virtual bool IsChecked(int /*id*/) const { return false; }
    // Sliders and progress bars. A position set here is not reported back as a move.
    virtual void SetRange(int /*id*/, int /*low*/, int /*high*/) {}
    virtual void SetPosition(int /*id*/, int /*position*/) {}
    virtual int GetPosition(int /*id*/) const { return 0; }
    // Lists (combo boxes) and the tab control: items in order and the selection (-1: none). A
    // selection set here is not reported back; the user's is.
    virtual void AddItem(int /*id*/, const std::string& /*text*/) {}
    virtual void SetSelection(int /*id*/, int /*index*/) {}
    virtual int GetSelection(int /*id*/) const { return -1; }
    virtual void SetFocus(int /*id*/) {}
    // The focus into an edit box with its whole text selected.
    virtual void SelectText(int /*id*/) {}

    // Modal, owned by this view's window; the UI queue keeps running while they are open.
    virtual void ShowMessage(const Message& /*message*/) {}
    virtual Answer Ask(const Question& /*question*/) { return Answer::Reject; }
    // The chosen file's full path (UTF-8); nullopt when cancelled.
    virtual std::optional<std::string> ChooseFile(const FileChoice& /*choice*/) {
        return std::nullopt;
    }
    // Ends the modal run of a dialog (the main window, the language dialog).
    virtual void EndDialog(bool /*accepted*/) {}
};

// The System page's view.
class SystemView : public DialogView {
  public:
    // Bitmap resource bitmapId on button id instead of its text (which TranslateWindow then
    // leaves alone).
    virtual void SetButtonImage(int /*id*/, int /*bitmapId*/) {}
    // Asks the main window to close later, through its own close path (a posted close); false
    // when the page has no main window.
    virtual bool CloseMainWindow() { return false; }
};

// The main window's view: a tab control (IDC_TAB, through AddItem / SetSelection /
// GetSelection), the pages inside it (by template id), a status bar of parts.
class MainView : public DialogView {
  public:
    virtual void SetCaption(const std::string& /*text*/) {}
    // Right edges in pixels, -1 for the last part.
    virtual void SetStatusParts(const std::vector<int>& /*rightEdges*/) {}
    // Widens a part of fixed width, never narrows it, so that each of the texts shows whole.
    virtual void FitStatusPart(int /*part*/, const std::vector<std::string>& /*texts*/) {}
    virtual void SetStatusText(int /*part*/, const std::string& /*text*/) {}
    virtual std::string GetStatusText(int /*part*/) const { return {}; }
    // The page's window, hidden, inside the tab control; before its first OnInitDialog.
    virtual void CreatePage(int /*templateId*/) {}
    // After its first OnInitDialog: the page takes its size.
    virtual void FitPage(int /*templateId*/) {}
    // Places the page in the tab control and sizes the window around it.
    virtual void LayoutPage(int /*templateId*/) {}
    virtual void ShowPage(int /*templateId*/, bool /*shown*/) {}
    virtual void EnablePage(int /*templateId*/, bool /*enabled*/) {}
    // Device work is outstanding (a view may wait a moment before it shows a busy cursor).
    virtual void ShowBusy(bool /*busy*/) {}
    virtual void HideWindow() {}
};

}  // namespace kq
