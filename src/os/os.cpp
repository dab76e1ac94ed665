#include "os/os.h"

#include <algorithm>
#include <charconv>

#include "os/sha256.h"

namespace kq::os {
namespace {
constexpr std::string_view kTempMark = ".tmp";
}  // namespace

std::filesystem::path PathFromUtf8(std::string_view name) {
    return std::filesystem::path(
        std::u8string_view(reinterpret_cast<const char8_t*>(name.data()), name.size()));
}

std::string Utf8Of(const std::filesystem::path& path) {
    const std::u8string utf8 = path.u8string();
    return std::string(utf8.begin(), utf8.end());
}

std::string TempFileName(std::string_view base, ProcessId pid, unsigned n) {
    return "." + std::string(base) + std::string(kTempMark) + std::to_string(pid) + "-" +
           std::to_string(n);
}

ProcessId TempFileOwner(std::string_view name, std::string_view base) {
    if (!name.starts_with('.')) return 0;
    name.remove_prefix(1);
    if (!name.starts_with(base)) return 0;
    name.remove_prefix(base.size());
    if (!name.starts_with(kTempMark)) return 0;
    name.remove_prefix(kTempMark.size());
    const size_t dash = name.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == name.size()) return 0;
    const auto allDigits = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!allDigits(name.substr(0, dash)) || !allDigits(name.substr(dash + 1))) return 0;
    ProcessId pid = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + dash, pid);
    return error == std::errc() && end == name.data() + dash && pid > 0 ? pid : 0;
}

std::string Sha256Hex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const uint8_t b : Sha256(bytes)) {
        hex.push_back(kDigits[b >> 4]);
        hex.push_back(kDigits[b & 0x0F]);
    }
    return hex;
}

}  // namespace kq::os
