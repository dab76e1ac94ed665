#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "devlink/commands.h"
#include "devlink/platform.h"
#include "dialogs/flip_dlg.h"
#include "dialogs/led_dlg.h"
#include "dialogs/link_worker.h"
#include "dialogs/system_dlg.h"
#include "dialogs/task_queue.h"

namespace kq {

// The caption of the main window; never translated.
inline constexpr const char* kCaption = "KQ7300";

// What a presence check learnt on the link thread, for RefreshConnected to show.
struct EngineProbe {
    bool found = false;         // FindDevice's answer
    bool noPermission = false;  // an engine is attached that this user may not open
    EngineState state = EngineState::None;
    std::optional<std::string> productId;  // "0A-1B-2C-3D-4E-5F", read in the application only
    std::optional<uint8_t> current;
    std::string path;  // of the engine found, its serial and its place on the bus
    std::string serial;
    std::string place;
    bool historyRead = false;  // the history was looked at for its last upgrade
    std::optional<HistoryEntry> lastUpgrade;
};

// The program's one window: the pages in a tab control, and a status bar that follows the
// engine's arrival and removal. It owns the UI queue, the link worker and the three pages; all
// its device work, and its pages', runs on that worker.
//
// With several engines attached it keeps to the one in use: another's arrival or removal leaves
// the link alone. When the engine in use leaves, it takes another as at start-up and says so in
// a message naming the new one's serial and place.
//
// Its view reports: the user's choice of a tab (OnSelchangeTab), every way of closing the window
// (OnCancel). Device notices come from the hotplug source, on any thread, or from the view
// (OnDeviceChange, on the UI thread, e.g. for WM_DEVICECHANGE).
class CMainDlg {
    // First of all members: everything else posts to it, and it must outlive them.
    UiQueue ui_;
    LinkWorker worker_;

  public:
    // hotplug may be null (a platform without events); it is started in OnInitDialog and
    // stopped by Shutdown.
    CMainDlg(PageContext& context, HotplugSource* hotplug);
    CMainDlg(const CMainDlg&) = delete;
    CMainDlg& operator=(const CMainDlg&) = delete;
    ~CMainDlg();

    void Attach(MainView* view) { view_ = view; }
    bool OnInitDialog();
    void OnSelchangeTab();
    void LayoutCurrentPage();

    // Presence monitor. The checks run on the link worker; their results are shown when they
    // come back, then then(the engine's state) is called.
    void CheckDevice(std::function<void(EngineState)> then = {});
    void RefreshConnected(const std::string& prefix, const EngineProbe& probe);
    // Returns true whatever it did, as the platform expects of the handler.
    bool OnDeviceChange(const HotplugEvent* record);

    // Every way of closing the window ends here: it may ask first, and then ends the view's
    // modal run.
    void OnCancel();
    // What the view's destruction needs, while the views still exist: no more notices, no
    // upgrade, no device work, nothing left to apply. Also run by the destructor.
    void Shutdown();

    UiQueue& ui() { return ui_; }
    LinkWorker& worker() { return worker_; }

    CLedDlg m_ledPage;
    CSystemDlg m_systemPage;
    CFlipDlg m_flipPage;
    int m_curPage = 0;
    CPageDlg* m_pages[3] = {};
    int tabCount() const { return tabCount_; }

  private:
    MainView& View();
    std::string Tr(std::string_view key) const;
    void FillTabs();
    // "Product ID: 0A-1B-2C-3D-4E-5F" in the current language.
    std::string ProductIdText(const std::string& id) const;
    // The status texts of an engine that is not there.
    void ShowAbsent(const std::string& prefix);
    void OnBusyChanged(bool busy);
    void OnUpgradeRunning(bool running);
    // The engine in use left and another was taken.
    void TellEngineChanged(const EngineProbe& probe);
    // Arrivals told and not yet shown, by path.
    bool ArrivalPending(const std::string& path) const;
    void ForgetArrival(const std::string& path);
    // Closing during an upgrade: false when the user keeps it running.
    bool AskToStopForClose();
    // The close question's words while it is open follow the upgrade.
    void OnUpgradeStageChanged();

    PageContext& context_;
    HotplugSource* hotplug_;
    MainView* view_ = nullptr;
    int tabCount_ = 0;
    // The no-permission message is shown once per arrival of the engine.
    bool permissionNoticeShown_ = false;
    bool closing_ = false;
    // The close question while it is open, and the key of the words it shows.
    OpenQuestion* openClose_ = nullptr;
    std::string closeShown_;
    std::vector<std::string> pendingArrivals_;
    bool shutDown_ = false;
    Liveness alive_;
};

}  // namespace kq
