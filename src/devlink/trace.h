#pragma once

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>

namespace kq {

// The wire trace: "> " frames written, "< " bytes read ("< -" for none), "# " diagnostics.
class WireTrace {
  public:
    // An empty path leaves the trace off. Returns false when the file cannot be opened.
    bool Open(const std::string& path);
    bool enabled() const { return enabled_; }

    void Written(const uint8_t* data, size_t count);
    void Read(const uint8_t* data, size_t count);
    void Note(std::string_view text);

    static std::string Hex(const uint8_t* data, size_t count);

  private:
    void Line(std::string_view prefix, std::string_view text);

    std::mutex mutex_;
    std::ofstream out_;
    bool enabled_ = false;
};

}  // namespace kq
