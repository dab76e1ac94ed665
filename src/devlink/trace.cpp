#include "devlink/trace.h"

#include <filesystem>

namespace kq {

bool WireTrace::Open(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (out_.is_open()) out_.close();
    enabled_ = false;
    if (path.empty()) return true;
    // The name is UTF-8; as a path it stays so on Windows, where a narrow name would be taken in
    // another code page.
    const std::u8string_view name(reinterpret_cast<const char8_t*>(path.data()), path.size());
    out_.open(std::filesystem::path(name), std::ios::out | std::ios::app | std::ios::binary);
    enabled_ = out_.is_open();
    return enabled_;
}

std::string WireTrace::Hex(const uint8_t* data, size_t count) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 3);
    for (size_t i = 0; i < count; ++i) {
        if (i) text.push_back(' ');
        text.push_back(kDigits[data[i] >> 4]);
        text.push_back(kDigits[data[i] & 0x0F]);
    }
    return text;
}

void WireTrace::Written(const uint8_t* data, size_t count) {
    if (enabled_) Line("> ", Hex(data, count));
}

void WireTrace::Read(const uint8_t* data, size_t count) {
    if (enabled_) Line("< ", count ? Hex(data, count) : std::string("-"));
}

void WireTrace::Note(std::string_view text) {
    if (!enabled_) return;
    std::string line(text);
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    Line("# ", line);
}

void WireTrace::Line(std::string_view prefix, std::string_view text) {
    std::lock_guard lock(mutex_);
    if (!out_.is_open()) return;
    out_ << prefix << text << '\n';
    out_.flush();
}

}  // namespace kq
