#pragma once

#include <windows.h>

namespace kq {
class UiQueue;
}

namespace kq::win32ui {

// The Win32 side of a UI queue: its wake hook posts a private message to a message-only window
// of the thread that made the waker (the UI thread), whose handler runs the queue. Every modal
// loop of that thread (message boxes, the file dialog) dispatches it too, so results keep
// arriving while a box is open. The message carries nothing: what travels between the threads
// goes through the queue's own lock.
class UiWaker {
  public:
    explicit UiWaker(UiQueue& queue);
    // On the UI thread; the queue gets no more wakes from it.
    ~UiWaker();
    UiWaker(const UiWaker&) = delete;
    UiWaker& operator=(const UiWaker&) = delete;

    HWND window() const { return window_; }

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    UiQueue& queue_;
    HWND window_ = nullptr;
};

}  // namespace kq::win32ui
