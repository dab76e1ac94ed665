#include <charconv>

#include "emulator/virtual_engine.h"

namespace kq {
namespace {

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return parts;
}

template <typename T>
bool ParseNumber(std::string_view text, T& out, int base = 10) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return ec == std::errc() && end == text.data() + text.size();
}

bool ParseFault(std::string_view item, EngineSettings& s) {
    if (item == "no-return") {
        s.noReturn = true;
        return true;
    }
    if (item == "no-return-after-finish") {
        s.noReturnAfterFinish = true;
        return true;
    }
    const size_t at = item.find('@');
    if (at == std::string_view::npos) return false;
    const std::string_view kind = item.substr(0, at);
    uint64_t n = 0;
    if (!ParseNumber(item.substr(at + 1), n) || n == 0) return false;
    if (kind == "crc") {
        s.crcFaults.insert(n);
    } else if (kind == "drop") {
        s.dropFaults.insert(n);
    } else if (kind == "unplug") {
        s.unplugFaults.insert(n);
    } else if (kind == "odd-mode") {
        s.oddModeFaults.insert(n);
    } else if (kind == "kill") {
        s.killFaults.insert(n);
    } else if (kind == "term") {
        s.termFaults.insert(n);
    } else if (kind == "hup") {
        s.hupFaults.insert(n);
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::optional<EngineSettings> ParseEngineSettings(std::string_view text, std::string* error) {
    EngineSettings s;
    auto fail = [&](std::string message) -> std::optional<EngineSettings> {
        if (error) *error = std::move(message);
        return std::nullopt;
    };
    if (text.empty()) return s;
    for (std::string_view item : Split(text, ',')) {
        const size_t eq = item.find('=');
        if (eq == std::string_view::npos)
            return fail("expected key=value, got '" + std::string(item) + "'");
        const std::string key(item.substr(0, eq));
        const std::string_view value = item.substr(eq + 1);
        const auto bad = [&] {
            return fail("bad value for " + key + ": '" + std::string(value) + "'");
        };
        if (key == "mode") {
            if (value == "app")
                s.mode = EngineMode::App;
            else if (value == "loader")
                s.mode = EngineMode::Loader;
            else if (value == "mute")
                s.mode = EngineMode::Mute;
            else
                return bad();
        } else if (key == "product-id") {
            if (value.size() != 16) return bad();
            for (size_t i = 0; i < 8; ++i) {
                if (!ParseNumber(value.substr(2 * i, 2), s.productId[i], 16)) return bad();
            }
        } else if (key == "current") {
            if (!ParseNumber(value, s.current)) return bad();
        } else if (key == "block-size") {
            if (!ParseNumber(value, s.blockSize)) return bad();
        } else if (key == "serial") {
            if (value.empty() || value.find_first_of("#\\") != std::string_view::npos) return bad();
            s.serial = std::string(value);
        } else if (key == "vid") {
            if (value.size() != 4 || !ParseNumber(value, s.vid, 16)) return bad();
        } else if (key == "pid") {
            if (value.size() != 4 || !ParseNumber(value, s.pid, 16)) return bad();
        } else if (key == "reboot-ms") {
            if (!ParseNumber(value, s.rebootMs) || s.rebootMs < 0) return bad();
        } else if (key == "flash" || key == "flash-out") {
            // A comma ends the value, so a name cannot hold one.
            if (value.empty()) return bad();
            (key == "flash" ? s.flashFile : s.flashOutFile) = std::string(value);
        } else if (key == "fault") {
            for (std::string_view f : Split(value, '+')) {
                if (!ParseFault(f, s)) return fail("bad fault '" + std::string(f) + "'");
            }
        } else {
            return fail("unknown key '" + key + "'");
        }
    }
    return s;
}

}  // namespace kq
