#include "win32ui/ui_waker.h"

#include "dialogs/task_queue.h"

namespace kq::win32ui {
namespace {

constexpr wchar_t kClassName[] = L"kq7300.UiWaker";
constexpr UINT WM_KQ_WAKE = WM_APP + 2;

}  // namespace

UiWaker::UiWaker(UiQueue& queue) : queue_(queue) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &UiWaker::WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);  // fails harmlessly when it is already there
    // A message-only window: never shown, and it lives on this thread.
    window_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    HWND target = window_;
    queue_.SetWake([target] { PostMessageW(target, WM_KQ_WAKE, 0, 0); });
}

UiWaker::~UiWaker() {
    queue_.SetWake({});
    // A wake already on its way finds no window (or, for a moment, one that ignores it).
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
}

LRESULT CALLBACK UiWaker::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_KQ_WAKE) {
        if (auto* waker = reinterpret_cast<UiWaker*>(GetWindowLongPtrW(window, GWLP_USERDATA))) {
            waker->queue_.RunPending();
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace kq::win32ui
