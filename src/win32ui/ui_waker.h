#pragma once

#include <functional>
#include <memory>

namespace kq::win32ui {

// Runs work on the thread that made the poster (the UI thread), handed over from any thread:
// the hook by which results of the device work come back to the windows. Work still waiting
// when the poster goes is dropped, and so is work posted after that.
class UiPoster {
  public:
    using Post = std::function<void(std::function<void()>)>;

    UiPoster();
    // On the UI thread.
    ~UiPoster();
    UiPoster(const UiPoster&) = delete;
    UiPoster& operator=(const UiPoster&) = delete;

    // The hook to give to workers; it may outlive the poster (it then drops what it gets).
    Post hook() const;

  private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace kq::win32ui
