#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "devlink/commands.h"
#include "dialogs/context.h"
#include "dialogs/link_worker.h"
#include "dialogs/views.h"

namespace kq {

// The logic of a child dialog shown inside the main window's tab control. The main window runs
// OnInitDialog once at creation and again every time the page's tab is selected. Its device
// work goes to the window's link worker; while any request runs there, the controls that would
// send another are off. A view attaches itself before the first OnInitDialog; until then, and
// after it has detached, the page talks to nothing.
class CPageDlg {
  public:
    CPageDlg(PageContext& context, LinkWorker& worker, int templateId, const char* tabTitleKey);
    CPageDlg(const CPageDlg&) = delete;
    CPageDlg& operator=(const CPageDlg&) = delete;
    virtual ~CPageDlg();

    virtual bool OnInitDialog() = 0;

    int templateId() const { return templateId_; }
    // The key of the page's tab title ("Tab.Led").
    const char* tabTitleKey() const { return tabTitleKey_; }
    PageContext& context() { return context_; }
    // Told by the main window as it shows and hides the page. A page's own message that comes
    // while it is hidden (a request's answer after the user chose another tab) names the page in
    // its title. A page shown by itself counts as shown.
    void SetShown(bool shown) { shown_ = shown; }
    bool shown() const { return shown_; }

  protected:
    void AttachView(DialogView* view) { view_ = view; }
    DialogView& View();

    std::string Tr(std::string_view key) const;
    // A modal box with one OK button, titled and worded by language keys read now; its title
    // names the page while the page is hidden.
    void MessageBox(std::string_view titleKey, std::string_view textKey,
                    MessageIcon icon = MessageIcon::None);
    std::string MessageTitle(std::string_view titleKey) const;
    void CommunicationFail();
    // For an action that needs the engine's application: an engine in its loader asks for the
    // firmware upgrade; no engine, or no answer, is a communication failure.
    void ApplicationMissing(EngineState state);
    // On the worker: the mode query, then command(commands) when the engine runs its
    // application. Back on the UI thread: ApplicationMissing, or applied(what command returned).
    template <class Command, class Applied>
    void RunInApplication(Command command, Applied applied) {
        using Result = decltype(command(std::declval<CommandSet&>()));
        struct Outcome {
            EngineState state;
            Result result{};
        };
        worker_.Run(
            Token(),
            [command = std::move(command)](DeviceLink& link) mutable {
                CommandSet commands(link);
                Outcome out{commands.QueryEngineState()};
                if (out.state == EngineState::Application) out.result = command(commands);
                return out;
            },
            [this, applied = std::move(applied)](const Outcome& out) mutable {
                if (out.state != EngineState::Application) {
                    ApplicationMissing(out.state);
                    return;
                }
                applied(out.result);
            });
    }
    // Sets the enabled state of the page's controls from its own state and the worker's.
    virtual void UpdateControls() {}
    bool LinkBusy() const { return worker_.busy(); }
    // For results meant for this page: dropped once it is gone.
    LifeToken Token() const { return alive_.Watch(); }

    PageContext& context_;
    LinkWorker& worker_;

  private:
    int templateId_;
    const char* tabTitleKey_;
    DialogView* view_ = nullptr;
    bool shown_ = true;
    Liveness alive_;
};

}  // namespace kq
