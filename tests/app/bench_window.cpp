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
#include "tests/support/bench_figures.h"

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

class Bench : test::BenchWorld {
  public:
    Bench(const test::BenchScenario& scenario, const std::string& programDir)
        : BenchWorld(scenario, programDir, programDir + "Language/English.lang") {}

    test::BenchFigures Run() {
        test::BenchFigures figures;
        {
            // Start: from constructing the window to its first paint.
            const auto start = Clock::now();
            meter_.Reset();
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
            Settle();
            figures["start (longest block)"] = meter_.WorstMs();
        }
        RunActions(*this, figures);
        figures["messages shown"] = messages_.shown;
        window_.reset();
        return figures;
    }

    // The driver of RunActions.
    void ResetMeter() { meter_.Reset(); }
    double WorstMs() { return meter_.WorstMs(); }
    void Settle() { kq::Settle(*window_); }
    void SelectTab(int index) { window_->m_tab->tabBar()->setCurrentIndex(index); }
    void Click(int id) { FindControl<QPushButton>(window_.get(), id)->click(); }
    void SetCurrentText(const char* text) { window_->ledPage.m_editCurrent->setText(text); }

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

    StallMeter meter_;
    CountingPresenter messages_;
    NoFiles files_;
    QtServices services_{messages_, files_};
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
    {
        // The process's first window pays for fonts and style once; keep that out of the figures.
        QPushButton warmUp("warm-up");
        warmUp.show();
        QEventLoop loop;
        QTimer::singleShot(200, &loop, &QEventLoop::quit);
        loop.exec();
    }
    std::vector<kq::test::BenchFigures> results;
    for (const auto& scenario : kq::test::kBenchScenarios) {
        results.push_back(kq::Bench(scenario, programDir).Run());
    }
    kq::test::PrintBenchFigures(std::move(results));
    return 0;
}
