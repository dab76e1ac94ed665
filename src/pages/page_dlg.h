#pragma once

#include <QSize>
#include <QWidget>
#include <string_view>
#include <utility>

#include "devlink/commands.h"
#include "pages/link_worker.h"
#include "pages/page_context.h"

namespace kq {

class EnterEscapeFilter;

// A child dialog shown inside the main window's tab control. Created hidden; the main window
// runs OnInitDialog once at creation and again every time the page's tab is selected. Its
// device work goes to the window's link worker; while any request runs there, the controls that
// would send another are off.
class CPageDlg : public QWidget {
    Q_OBJECT

  public:
    CPageDlg(PageContext& context, LinkWorker& worker, QSize templateDialogUnits);
    ~CPageDlg() override;

    // Becomes a hidden child of parent, initialises itself and takes its size.
    void Create(QWidget* parent);
    virtual bool OnInitDialog() = 0;

  protected:
    // A modal box with one OK button, titled and worded by language keys read now.
    void MessageBox(std::string_view titleKey, std::string_view textKey,
                    MessageIcon icon = MessageIcon::None);
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
            this,
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
    QString Tr(std::string_view key) const;
    // Sets the enabled state of the page's controls from its own state and the worker's.
    virtual void UpdateControls() {}
    bool LinkBusy() const;

    PageContext& context_;
    LinkWorker& worker_;

  private:
    QSize templateDialogUnits_;
    EnterEscapeFilter* keys_;
};

}  // namespace kq
