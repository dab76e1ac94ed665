// Drives the real main window against the virtual engine, with real waits, and prints for each
// action the longest time the UI thread was kept from its event loop (the largest gap between
// the ticks of a 2 ms timer), and the time from start to the first paint. Run by hand:
//   build/bin/bench_window
// Figures, not a test: nothing here passes or fails.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/qt_main_window.h"
#include "app/tab_ctrl.h"
#include "devlink/link.h"
#include "emulator/virtual_bus.h"
#include "l10n/settings.h"
#include "pages/window_tools.h"
#include "res/resource.h"

namespace kq {
namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Message boxes would wait for a click: they are counted and closed at once.
struct CountingPresenter final : MessagePresenter {
    void Show(QWidget*, const Message&) override { ++shown; }
    Answer Ask(QWidget*, const Question&) override { return Answer::Accept; }
    int shown = 0;
};
struct NoFiles final : FileDialogProvider {
    std::optional<QString> GetOpenFileName(QWidget*, const QString&, const QStringList&,
                                           const QString&) override {
        return std::nullopt;
    }
};
struct NoProcesses final : ProcessStarter {
    bool StartDetached(const std::string&, const std::vector<std::string>&) override {
        return false;
    }
    void ExitNow(int) override {}
};
struct EnglishLocale final : LocaleSource {
    unsigned SystemDefaultLanguage() const override { return kLangEnglish; }
};

// The largest gap between the ticks of a fast timer on the UI thread.
class StallMeter : public QObject {
  public:
    StallMeter() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(2);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
        timer_.start();
    }
    void Reset() {
        last_ = Clock::now();
        worst_ = {};
    }
    double WorstMs() {
        Tick();
        return Ms(worst_);
    }

  private:
    void Tick() {
        const auto now = Clock::now();
        worst_ = std::max(worst_, now - last_);
        last_ = now;
    }
    QTimer timer_;
    Clock::time_point last_ = Clock::now();
    Clock::duration worst_{};
};

// Whether the window has device work outstanding on its link worker.
bool LinkIdle(QtMainWindow& window) {
    return !window.worker().busy();
}

// Runs the event loop for at least minimum, then until the window has no device work left (or
// limit has passed). The loop sleeps in between: nothing spins.
void Settle(QtMainWindow& window,
            std::chrono::milliseconds minimum = std::chrono::milliseconds(100),
            std::chrono::milliseconds limit = std::chrono::milliseconds(4000)) {
    const auto start = Clock::now();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        const auto spent = Clock::now() - start;
        if (spent >= limit || (spent >= minimum && LinkIdle(window))) loop.quit();
    });
    poll.start(5);
    loop.exec();
}

struct Scenario {
    const char* name;
    const char* engine;     // virtual engine settings
    bool unplugMidCommand;  // the engine is pulled 100 ms into each action
};

using Figures = std::map<std::string, double>;

class Bench {
  public:
    Bench(const Scenario& scenario, const std::string& programDir)
        : scenario_(scenario), settings_(programDir, locale_), context_{link_,  settings_,
                                                                        flags_, processes_,
                                                                        "",     {}} {
        settings_.CurrentLanguageFile = programDir + "Language/English.lang";
        std::string error;
        engine_ = bus_.Plug(*ParseEngineSettings(scenario.engine, &error));
    }

    Figures Run() {
        Figures figures;
        StallMeter meter;
        {
            // Start: from constructing the window to its first paint.
            const auto start = Clock::now();
            meter.Reset();
            window_ = std::make_unique<QtMainWindow>(context_, services_, &bus_);
            window_->OnInitDialog();
            PaintWatch watch(*window_);
            window_->show();
            QEventLoop loop;
            QTimer poll;
            QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
                if (watch.painted || Clock::now() - start > std::chrono::seconds(5)) loop.quit();
            });
            poll.start(1);
            loop.exec();
            figures["start to first paint"] = Ms(watch.when - start);
            Settle(*window_);
            figures["start (longest block)"] = meter.WorstMs();
        }
        QtMainWindow& w = *window_;
        auto measure = [&](const std::string& name, const std::function<void()>& action) {
            meter.Reset();
            std::thread puller;
            if (scenario_.unplugMidCommand) {
                puller = std::thread([this] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    bus_.Unplug(engine_);
                });
            }
            action();
            Settle(w);
            if (puller.joinable()) puller.join();
            Settle(w);
            figures[name] = std::max(figures[name], meter.WorstMs());
            if (scenario_.unplugMidCommand && !bus_.IsPresent(engine_)) {
                bus_.Replug(engine_);
                Settle(w);
            }
        };
        auto click = [&](int id) { FindControl<QPushButton>(&w, id)->click(); };
        QTabBar* tabs = w.m_tab->tabBar();

        measure("tab switch", [&] { tabs->setCurrentIndex(1); });
        measure("tab switch", [&] { tabs->setCurrentIndex(2); });
        measure("tab switch", [&] { tabs->setCurrentIndex(0); });
        measure("LED Read", [&] { click(IDC_CURRENT_READ); });
        w.ledPage.m_editCurrent->setText("60");
        measure("LED Write", [&] { click(IDC_CURRENT_WRITE); });
        measure("LED switch", [&] { click(IDC_LED_SWITCH); });
        measure("LED switch", [&] { click(IDC_LED_SWITCH); });
        measure("Power", [&] { click(IDC_POWER_SWITCH); });
        measure("Power", [&] { click(IDC_POWER_SWITCH); });
        tabs->setCurrentIndex(1);
        Settle(w);
        measure("Flip Apply", [&] { click(IDC_FLIP_DO); });
        tabs->setCurrentIndex(0);
        Settle(w);
        bus_.Unplug(engine_);
        Settle(w);
        if (scenario_.unplugMidCommand) {
            // The arrival itself is what is measured here, not a pull during it.
            meter.Reset();
            bus_.Replug(engine_);
            Settle(w);
            figures["arrival"] = meter.WorstMs();
        } else {
            measure("arrival", [&] { bus_.Replug(engine_); });
        }
        figures["messages shown"] = messages_.shown;
        window_.reset();
        return figures;
    }

  private:
    struct PaintWatch : QObject {
        explicit PaintWatch(QWidget& w) : target(&w) { w.installEventFilter(this); }
        bool eventFilter(QObject* o, QEvent* e) override {
            if (o == target && e->type() == QEvent::Paint && !painted) {
                painted = true;
                when = Clock::now();
            }
            return false;
        }
        QWidget* target;
        bool painted = false;
        Clock::time_point when = Clock::now();
    };

    Scenario scenario_;
    VirtualBus bus_;  // its own real-time sleeper: a silent engine costs its real timeouts
    DeviceLink link_{bus_};
    std::shared_ptr<VirtualEngine> engine_;
    EnglishLocale locale_;
    Settings settings_;
    PageFlags flags_;
    CountingPresenter messages_;
    NoFiles files_;
    QtServices services_{messages_, files_};
    NoProcesses processes_;
    PageContext context_;
    std::unique_ptr<QtMainWindow> window_;
};

}  // namespace
}  // namespace kq

namespace {

// The offscreen platform says for every window that it cannot pass on size hints.
void QuietHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (message.contains("propagateSizeHints") || message.contains("XDG_RUNTIME_DIR")) return;
    if (type != QtDebugMsg) std::fprintf(stderr, "%s\n", qPrintable(message));
}

}  // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(QuietHandler);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string programDir = QCoreApplication::applicationDirPath().toStdString() + "/";
    const kq::Scenario scenarios[] = {{"working", "", false},
                                      {"mute", "mode=mute", false},
                                      {"unplugged mid-command", "mode=mute", true}};
    {
        // The process's first window pays for fonts and style once; keep that out of the figures.
        QPushButton warmUp("warm-up");
        warmUp.show();
        QEventLoop loop;
        QTimer::singleShot(200, &loop, &QEventLoop::quit);
        loop.exec();
    }
    std::vector<kq::Figures> results;
    for (const auto& scenario : scenarios) {
        results.push_back(kq::Bench(scenario, programDir).Run());
    }
    const char* rows[] = {"start to first paint",
                          "start (longest block)",
                          "tab switch",
                          "LED Read",
                          "LED Write",
                          "LED switch",
                          "Power",
                          "Flip Apply",
                          "arrival"};
    std::printf("longest UI-thread block per action, ms (start: time to first paint)\n");
    std::printf("%-24s", "action");
    for (const auto& s : scenarios) std::printf("%24s", s.name);
    std::printf("\n");
    for (const char* row : rows) {
        std::printf("%-24s", row);
        for (auto& r : results) std::printf("%24.1f", r[row]);
        std::printf("\n");
    }
    std::printf("%-24s", "messages shown");
    for (auto& r : results) std::printf("%24.0f", r["messages shown"]);
    std::printf("\n");
    return 0;
}
