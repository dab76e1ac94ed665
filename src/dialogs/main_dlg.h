#pragma once

#include <cstdint>
#include <optional>
#include <string>

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
};

// The program's one window: the pages in a tab control, and a status bar that follows the
// engine's arrival and removal. It owns the UI queue, the link worker and the three pages; all
// its device work, and its pages', runs on that worker.
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
    // come back.
    void CheckDevice();
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

    PageContext& context_;
    HotplugSource* hotplug_;
    MainView* view_ = nullptr;
    int tabCount_ = 0;
    // The no-permission message is shown once per arrival of the engine.
    bool permissionNoticeShown_ = false;
    bool closing_ = false;
    bool shutDown_ = false;
    Liveness alive_;
};

}  // namespace kq
