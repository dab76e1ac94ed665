// The virtual engine's settings parser: any text is either refused with a reason or accepted,
// and what it accepted, written out again as settings, parses to the same settings.

#include <cstdio>
#include <string>
#include <string_view>

#include "emulator/virtual_engine.h"
#include "fuzz_support.h"

using namespace kq;

namespace {

std::string Hex(unsigned value, int digits) {
    char text[9];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

// Every field, in the form the parser reads.
std::string Format(const EngineSettings& s) {
    static constexpr const char* kModes[] = {"app", "loader", "mute"};
    std::string text = "mode=" + std::string(kModes[static_cast<int>(s.mode)]) + ",product-id=";
    for (uint8_t byte : s.productId) text += Hex(byte, 2);
    text += ",current=" + std::to_string(s.current);
    text += ",block-size=" + std::to_string(s.blockSize);
    text += ",serial=" + s.serial;
    text += ",vid=" + Hex(s.vid, 4) + ",pid=" + Hex(s.pid, 4);
    text += ",reboot-ms=" + std::to_string(s.rebootMs);
    if (!s.flashFile.empty()) text += ",flash=" + s.flashFile;
    if (!s.flashOutFile.empty()) text += ",flash-out=" + s.flashOutFile;
    std::string faults;
    const auto add = [&](const char* kind, const std::set<uint64_t>& numbers) {
        for (uint64_t n : numbers) faults += "+" + std::string(kind) + "@" + std::to_string(n);
    };
    add("crc", s.crcFaults);
    add("drop", s.dropFaults);
    add("unplug", s.unplugFaults);
    add("odd-mode", s.oddModeFaults);
    add("kill", s.killFaults);
    add("term", s.termFaults);
    add("hup", s.hupFaults);
    if (s.noReturn) faults += "+no-return";
    if (s.noReturnAfterFinish) faults += "+no-return-after-finish";
    if (!faults.empty()) text += ",fault=" + faults.substr(1);
    return text;
}

bool Same(const EngineSettings& a, const EngineSettings& b) {
    return a.mode == b.mode && a.productId == b.productId && a.current == b.current &&
           a.blockSize == b.blockSize && a.serial == b.serial && a.vid == b.vid && a.pid == b.pid &&
           a.rebootMs == b.rebootMs && a.crcFaults == b.crcFaults && a.dropFaults == b.dropFaults &&
           a.unplugFaults == b.unplugFaults && a.oddModeFaults == b.oddModeFaults &&
           a.noReturn == b.noReturn && a.noReturnAfterFinish == b.noReturnAfterFinish &&
           a.killFaults == b.killFaults && a.termFaults == b.termFaults &&
           a.hupFaults == b.hupFaults && a.flashFile == b.flashFile &&
           a.flashOutFile == b.flashOutFile;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto settings = ParseEngineSettings(text, &error);
    KQ_FUZZ_CHECK(settings.has_value() == error.empty());
    if (!settings) return 0;

    KQ_FUZZ_CHECK(settings->rebootMs >= 0);
    KQ_FUZZ_CHECK(!settings->serial.empty());
    KQ_FUZZ_CHECK(!settings->crcFaults.count(0) && !settings->dropFaults.count(0) &&
                  !settings->unplugFaults.count(0) && !settings->oddModeFaults.count(0) &&
                  !settings->killFaults.count(0) && !settings->termFaults.count(0) &&
                  !settings->hupFaults.count(0));

    const std::string written = Format(*settings);
    const auto again = ParseEngineSettings(written, &error);
    KQ_FUZZ_CHECK(again.has_value());
    KQ_FUZZ_CHECK(Same(*settings, *again));
    return 0;
}
