#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kq {

enum class EngineMode { App, Loader, Mute };

// How a virtual engine starts and misbehaves; parsed from "key=value,key=value".
struct EngineSettings {
    EngineMode mode = EngineMode::App;
    std::array<uint8_t, 8> productId{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71};
    uint8_t current = 50;
    uint32_t blockSize = 1024;
    std::string serial = "0002a0000000";
    uint16_t vid = 0xC251;
    uint16_t pid = 0x1706;
    int rebootMs = 1500;
    // Faults by request number, counting request frames since the engine was attached, from 1.
    std::set<uint64_t> crcFaults;
    std::set<uint64_t> dropFaults;
    std::set<uint64_t> unplugFaults;
    // The Mode answer to these requests is a whole, valid frame that reads neither "APP" nor the
    // loader's answer.
    std::set<uint64_t> oddModeFaults;
    bool noReturn = false;             // does not come back from StartLoader
    bool noReturnAfterFinish = false;  // does not come back from FinishUpgrade
    // The process the engine runs in gets SIGKILL, SIGTERM or SIGHUP when these requests arrive,
    // before the engine acts on them: a program killed at a known frame.
    std::set<uint64_t> killFaults;
    std::set<uint64_t> termFaults;
    std::set<uint64_t> hupFaults;
    // The flash starts with this file's bytes (the rest erased); empty: all erased.
    std::string flashFile;
    // The flash is kept in this file, each written block put there as it arrives, so that what
    // the engine held outlives the process it runs in.
    std::string flashOutFile;
};

// Returns std::nullopt and sets *error for an unknown key or a bad value.
std::optional<EngineSettings> ParseEngineSettings(std::string_view text, std::string* error);

// The engine's side of the protocol: it parses request frames, checks their CRC, keeps its own
// state and memories and prepares answers. Transport-neutral: the in-process bus and the
// emulated USB endpoints both feed it. Thread-safe.
class VirtualEngine {
  public:
    // What a request did to the engine's presence on the bus.
    enum class Effect { None, Unplug, Reboot };

    static constexpr uint32_t kFlashSize = 0x20000;
    static constexpr uint32_t kRamSize = 0x5000;
    // The loader's answer to Mode: anything but the application's "APP".
    static constexpr std::array<uint8_t, 3> kLoaderModeAnswer{'B', 'L', 'D'};
    // The answer of an odd-mode fault: close to "APP", but not it.
    static constexpr std::array<uint8_t, 3> kOddModeAnswer{'A', 'P', 'Q'};

    explicit VirtualEngine(EngineSettings settings = {});
    ~VirtualEngine();
    VirtualEngine(const VirtualEngine&) = delete;
    VirtualEngine& operator=(const VirtualEngine&) = delete;

    // Why flashFile or flashOutFile could not be used; empty when they could (or are unset).
    const std::string& fileError() const { return fileError_; }

    // One transfer arriving on the request pipe.
    Effect Receive(const uint8_t* data, size_t count);
    // One read on the answer pipe: up to maxCount bytes of the pending answer; empty when none.
    std::vector<uint8_t> TakeAnswer(size_t maxCount);
    bool HasAnswer() const;

    // After a Reboot effect the engine comes back in the other mode; the bus calls this.
    void Restart();
    // Engine mode after a Reboot, while it is away.
    EngineMode modeAfterRestart() const;

    const EngineSettings& settings() const { return settings_; }
    EngineMode mode() const;
    uint8_t current() const;
    bool ledOn() const;
    bool powerOn() const;
    uint8_t flipMode() const;
    uint64_t requestCount() const;
    std::vector<std::vector<uint8_t>> frames() const;
    std::vector<uint8_t> flash() const;
    std::vector<uint8_t> loaderRam() const;
    int startLoaderCount() const;
    int finishUpgradeCount() const;
    // Blocks written (address, length), in order, in either memory.
    std::vector<std::pair<uint32_t, uint32_t>> blockWrites() const;
    void setFlash(const std::vector<uint8_t>& contents);
    void setBlockSize(uint32_t size);

  private:
    void Answer(std::span<const uint8_t> payload);
    void Handle(std::span<const uint8_t> payload, Effect& effect);
    std::vector<uint8_t>& Memory();
    void OpenFlashFiles();
    void KeepFlash(uint32_t address, uint32_t length);

    mutable std::mutex mutex_;
    EngineSettings settings_;
    EngineMode mode_;
    uint8_t current_;
    bool ledOn_ = true;
    bool powerOn_ = true;
    uint8_t flip_ = 1;
    uint64_t requests_ = 0;
    bool corruptNext_ = false;
    bool oddNext_ = false;
    std::vector<std::vector<uint8_t>> frames_;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> ram_;
    std::optional<std::vector<uint8_t>> answer_;
    std::vector<std::pair<uint32_t, uint32_t>> writes_;
    int startLoaders_ = 0;
    int finishes_ = 0;
    std::FILE* flashOut_ = nullptr;
    std::string fileError_;
};

}  // namespace kq
