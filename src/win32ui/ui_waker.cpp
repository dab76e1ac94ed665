#include "win32ui/ui_poster.h"

#include <windows.h>

#include <deque>
#include <mutex>

namespace kq::win32ui {
namespace {

constexpr wchar_t kClassName[] = L"kq7300.UiPoster";
constexpr UINT WM_KQ_RUN = WM_APP + 2;

}  // namespace

struct UiPoster::Shared {
    std::mutex mutex;
    HWND window = nullptr;  // null once the poster has gone
    std::deque<std::function<void()>> work;

    // On the UI thread: everything waiting now, each piece outside the lock (it may post).
    void RunWaiting() {
        for (;;) {
            std::function<void()> next;
            {
                const std::lock_guard<std::mutex> lock(mutex);
                if (!window || work.empty()) return;
                next = std::move(work.front());
                work.pop_front();
            }
            next();
        }
    }

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_KQ_RUN) {
            if (auto* shared =
                    reinterpret_cast<Shared*>(GetWindowLongPtrW(window, GWLP_USERDATA))) {
                shared->RunWaiting();
            }
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
};

UiPoster::UiPoster() : shared_(std::make_shared<Shared>()) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &Shared::WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);  // fails harmlessly when it is already there
    // A message-only window: never shown, and it lives on this thread.
    HWND window = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(shared_.get()));
    shared_->window = window;
}

UiPoster::~UiPoster() {
    HWND window = nullptr;
    std::deque<std::function<void()>> dropped;
    {
        const std::lock_guard<std::mutex> lock(shared_->mutex);
        window = shared_->window;
        shared_->window = nullptr;
        dropped.swap(shared_->work);
    }
    if (window) DestroyWindow(window);
}

UiPoster::Post UiPoster::hook() const {
    return [shared = shared_](std::function<void()> work) {
        const std::lock_guard<std::mutex> lock(shared->mutex);
        if (!shared->window) return;
        shared->work.push_back(std::move(work));
        // One message for each piece: a message that finds the queue emptied does nothing.
        PostMessageW(shared->window, WM_KQ_RUN, 0, 0);
    };
}

}  // namespace kq::win32ui
