// Drives the real Win32 main window against the virtual engine, with real waits, and prints for
// each action the longest time the UI thread was kept from its message loop, and the time from
// start to the window's first paint. The measure is a ping: a thread posts a message to the UI
// thread and, once it has been handled, the next one 2 ms later; the time from post to handling
// is how long the thread was busy. Modal loops (message boxes) answer pings as the main loop does;
// the boxes themselves are closed as soon as they are up. Run by hand (scripts/windows-bench.sh):
//   wine64 build-windows/bin/win32ui_bench.exe
// Figures, not a test: nothing here passes or fails.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devlink/link.h"
#include "emulator/virtual_bus.h"
#include "l10n/settings.h"
#include "tests/support/bench_figures.h"
#include "win32ui/main_window.h"
#include "window_driver.h"

namespace kq {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The longest wait of a ping for the UI thread since the last Reset.
class PingMeter {
  public:
    PingMeter() {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &PingMeter::WindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"kq7300.PingMeter";
        RegisterClassExW(&windowClass);
        window_ = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        pinger_ = std::thread([this] { Ping(); });
    }
    ~PingMeter() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        answered_.notify_all();
        pinger_.join();
        DestroyWindow(window_);
    }
    void Reset() { worst_ = {}; }
    double WorstMs() const { return Ms(worst_); }

  private:
    static constexpr UINT WM_PING = WM_APP + 7;

    void Ping() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            sent_ = Clock::now();
            pending_ = true;
            PostMessageW(window_, WM_PING, 0, 0);
            answered_.wait(lock, [this] { return !pending_ || stopping_; });
            answered_.wait_for(lock, 2ms, [this] { return stopping_; });
        }
    }
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<PingMeter*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message != WM_PING || !self) return DefWindowProcW(window, message, wParam, lParam);
        std::lock_guard lock(self->mutex_);
        self->worst_ = std::max(self->worst_, Clock::now() - self->sent_);
        self->pending_ = false;
        self->answered_.notify_all();
        return 0;
    }

    HWND window_ = nullptr;
    std::mutex mutex_;
    std::condition_variable answered_;
    Clock::time_point sent_;
    bool pending_ = false;
    bool stopping_ = false;
    Clock::duration worst_{};  // UI thread, under mutex_
    std::thread pinger_;
};

// Message boxes would wait for a click: each is closed as soon as it is up, and counted.
class BoxCloser {
  public:
    BoxCloser() {
        hook_ = SetWindowsHookExW(WH_CBT, &BoxCloser::Hook, nullptr, GetCurrentThreadId());
    }
    ~BoxCloser() { UnhookWindowsHookEx(hook_); }
    static int shown;

  private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
        auto* window = reinterpret_cast<HWND>(wParam);
        if (code == HCBT_ACTIVATE && test::ClassName(window) == "#32770" &&
            !win32ui::DialogWindow::FromHandle(window)) {
            ++shown;
            PostMessageW(window, WM_COMMAND, IDOK, 0);
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    HHOOK hook_ = nullptr;
};
int BoxCloser::shown = 0;

class Bench : test::BenchWorld {
  public:
    Bench(const test::BenchScenario& scenario, const std::string& programDir, PingMeter& meter)
        : BenchWorld(scenario, programDir, programDir + "Language\\English.lang"), meter_(meter) {}

    test::BenchFigures Run() {
        test::BenchFigures figures;
        BoxCloser::shown = 0;
        BoxCloser closer;
        {
            const auto start = Clock::now();
            meter_.Reset();
            window_ = std::make_unique<win32ui::MainWindow>(context_, &bus_);
            window_->Create();
            UpdateWindow(window_->hwnd());
            figures["start to first paint"] = Ms(Clock::now() - start);
            Settle();
            figures["start (longest block)"] = meter_.WorstMs();
        }
        RunActions(*this, figures);
        // What a box costs the UI thread by itself: the silent engine's actions end in one.
        for (int i = 0; i < 3; ++i) {
            meter_.Reset();
            window_->ledPage.ShowMessage({"Communication error", "No answer."});
            Settle();
            figures["a message box alone"] =
                std::max(figures["a message box alone"], meter_.WorstMs());
        }
        window_.reset();
        figures["messages shown"] = BoxCloser::shown;
        return figures;
    }

    // The driver of RunActions.
    void ResetMeter() { meter_.Reset(); }
    double WorstMs() { return meter_.WorstMs(); }
    // At least 100 ms, then until the window has no device work left (or 4 s have passed). The
    // loop sleeps in between: nothing spins.
    void Settle() {
        const auto start = Clock::now();
        test::PumpUntil([&] { return Clock::now() - start >= 100ms && !window_->worker().busy(); },
                        4000ms);
    }
    void SelectTab(int index) { test::SelectTab(*window_, index); }
    void Click(int id) {
        for (const win32ui::DialogWindow* page :
             {static_cast<win32ui::DialogWindow*>(&window_->ledPage),
              static_cast<win32ui::DialogWindow*>(&window_->flipPage)}) {
            if (page->Item(id)) test::Click(*page, id);
        }
    }
    void SetCurrentText(const char* text) {
        SetWindowTextW(window_->ledPage.Item(IDC_CURRENT_EDIT), os::Wide(text).c_str());
    }

  private:
    PingMeter& meter_;
    std::unique_ptr<win32ui::MainWindow> window_;
};

}  // namespace
}  // namespace kq

int main() {
    kq::test::InitControls();
    kq::ModulePathsRecord paths;
    kq::PingMeter meter;
    std::vector<kq::test::BenchFigures> results;
    for (const auto& scenario : kq::test::kBenchScenarios) {
        results.push_back(kq::Bench(scenario, paths.moduleDir(), meter).Run());
    }
    kq::test::PrintBenchFigures(std::move(results));
    return 0;
}
