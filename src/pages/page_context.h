#pragma once

#include <QString>
#include <QStringList>
#include <filesystem>
#include <optional>

class QWidget;

namespace kq {

class DeviceLink;
class Settings;
class Sleeper;

// One-time set-up state of the pages, kept for the whole process (the main window may be
// created more than once in tests, and a page's tab can be selected any number of times).
struct PageFlags {
    bool g_bLedPageFirstInit = true;
    bool g_bLedPageReadPending = true;
    bool g_bSystemPageFirstInit = true;
};

enum class MessageIcon { None, Information, Warning };

// Modal message boxes with one OK button, owned by the widget that asks for them.
class MessagePresenter {
  public:
    virtual ~MessagePresenter() = default;
    virtual void Show(QWidget* owner, const QString& title, const QString& text,
                      MessageIcon icon) = 0;
    // A warning with two buttons; true when the first (the action) was chosen.
    virtual bool Confirm(QWidget* owner, const QString& title, const QString& text,
                         const QString& action, const QString& cancel) = 0;
};

// The platform's file-open dialog.
class FileDialogProvider {
  public:
    virtual ~FileDialogProvider() = default;
    // filters: "Name (*.ext)" entries, the first one selected. Empty when cancelled.
    virtual std::optional<QString> GetOpenFileName(QWidget* owner, const QString& title,
                                                   const QStringList& filters) = 0;
};

// Starting another instance of the program, and ending this one at once.
class ProcessStarter {
  public:
    virtual ~ProcessStarter() = default;
    virtual bool StartDetached(const QString& program, const QStringList& arguments) = 0;
    virtual void ExitNow(int code) = 0;
};

// What the app hands to every window: the one link, the settings and the platform services.
struct PageContext {
    DeviceLink& link;
    Settings& settings;
    PageFlags& flags;
    MessagePresenter& messages;
    FileDialogProvider& files;
    ProcessStarter& processes;
    QString programPath;    // the running executable, for the restart
    QStringList arguments;  // the command line after the program name
    // The upgrade's long waits (loader restart, finish); null means real time.
    Sleeper* upgradeWaits = nullptr;
    // Where an upgrade saves the engine's previous firmware; none: nowhere (see UpgradeJob).
    std::optional<std::filesystem::path> backupDir{};
};

}  // namespace kq
