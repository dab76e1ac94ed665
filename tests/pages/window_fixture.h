#pragma once

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "devlink/link.h"
#include "emulator/virtual_bus.h"
#include "l10n/settings.h"
#include "pages/link_worker.h"
#include "pages/page_context.h"

namespace kq::testing {

struct RecordingPresenter final : MessagePresenter {
    struct Shown {
        QString title;
        QString text;
        MessageIcon icon;
    };
    void Show(QWidget*, const QString& title, const QString& text, MessageIcon icon) override {
        shown.push_back({title, text, icon});
        if (whileShown) whileShown();
    }
    bool Confirm(QWidget*, const QString& title, const QString& text, const QString& action,
                 const QString& cancel) override {
        shown.push_back({title, text, MessageIcon::Warning});
        choices = {action, cancel};
        return confirm;
    }
    std::vector<Shown> shown;
    std::function<void()> whileShown;  // runs as if the box were still open
    bool confirm = true;               // the answer to Confirm
    QStringList choices;               // the buttons Confirm offered last
};

struct FakeFileDialog final : FileDialogProvider {
    std::optional<QString> GetOpenFileName(QWidget*, const QString& t,
                                           const QStringList& f) override {
        title = t;
        filters = f;
        return answer;
    }
    std::optional<QString> answer;
    QString title;
    QStringList filters;
};

struct FakeProcessStarter final : ProcessStarter {
    bool StartDetached(const QString& p, const QStringList& a) override {
        program = p;
        arguments = a;
        ++starts;
        return startSucceeds;
    }
    void ExitNow(int code) override { exitCode = code; }
    bool startSucceeds = true;
    int starts = 0;
    QString program;
    QStringList arguments;
    std::optional<int> exitCode;
};

// Holds a thread in Wait() until the test lets it go on.
class Gate {
  public:
    void Wait() {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
    }
    bool WaitEntered() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return entered_; });
    }
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool open_ = false;
};

// Holds the upgrade in its first long wait (after StartLoader) until the test lets it go on.
class GateSleeper final : public Sleeper, public Gate {
  public:
    void SleepFor(std::chrono::microseconds) override { Wait(); }
};

// Lets the worker's results arrive until it has none outstanding, by the clock (processEvents
// returns at once when nothing is queued). False when limit passed first.
bool WaitForWorker(LinkWorker& worker, std::chrono::seconds limit = std::chrono::seconds(20));

struct FixedLocale final : LocaleSource {
    unsigned SystemDefaultLanguage() const override { return language; }
    unsigned language = kLangEnglish;
};

// A program folder with small language files, a virtual bus and everything a window needs.
class WindowTest : public ::testing::Test {
  protected:
    WindowTest();

    std::string ProgramDir() const { return dir_.path().toStdString() + "/"; }
    void WriteConfig(const std::string& text);
    std::string ReadConfig() const;
    void UseLanguage(const std::string& name);

    // Plugs an engine in and lets the link find it, as the main window's device check does.
    std::shared_ptr<VirtualEngine> Attach(const std::string& engineSettings = "");
    // Command payloads the engine has received since the last call.
    std::vector<std::vector<uint8_t>> NewPayloads();
    QStringList MessageTexts() const;

    QTemporaryDir dir_;
    CountingSleeper sleeper_;
    VirtualBus bus_{&sleeper_};
    DeviceLink link_{bus_, &sleeper_};
    std::shared_ptr<VirtualEngine> engine_;
    size_t seenFrames_ = 0;
    FixedLocale locale_;
    Settings settings_;
    PageFlags flags_;
    RecordingPresenter messages_;
    FakeFileDialog files_;
    FakeProcessStarter processes_;
    PageContext context_;
    // The pages' worker when they are tested without the main window, which has its own.
    LinkWorker linkWorker_{link_};
};

using Bytes = std::vector<uint8_t>;

}  // namespace kq::testing
