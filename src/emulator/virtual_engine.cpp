#include "emulator/virtual_engine.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "devlink/codec.h"

namespace kq {

VirtualEngine::VirtualEngine(EngineSettings settings)
    : settings_(std::move(settings)),
      mode_(settings_.mode),
      current_(settings_.current),
      flash_(kFlashSize, 0xFF),
      ram_(kRamSize, 0x00) {
    OpenFlashFiles();
}

VirtualEngine::~VirtualEngine() {
    if (flashOut_ != nullptr) std::fclose(flashOut_);
}

void VirtualEngine::OpenFlashFiles() {
    if (!settings_.flashFile.empty()) {
        std::FILE* in = std::fopen(settings_.flashFile.c_str(), "rb");
        if (in == nullptr) {
            fileError_ = "cannot read " + settings_.flashFile;
        } else {
            std::fread(flash_.data(), 1, flash_.size(), in);
            std::fclose(in);
        }
    }
    if (!settings_.flashOutFile.empty()) {
        flashOut_ = std::fopen(settings_.flashOutFile.c_str(), "wb");
        if (flashOut_ == nullptr) {
            fileError_ = "cannot write " + settings_.flashOutFile;
        } else {
            KeepFlash(0, kFlashSize);
        }
    }
}

// Flushed at once: a process killed right after still leaves the block in the file.
void VirtualEngine::KeepFlash(uint32_t address, uint32_t length) {
    if (flashOut_ == nullptr) return;
    if (std::fseek(flashOut_, static_cast<long>(address), SEEK_SET) != 0 ||
        std::fwrite(flash_.data() + address, 1, length, flashOut_) != length ||
        std::fflush(flashOut_) != 0) {
        fileError_ = "cannot write " + settings_.flashOutFile;
    }
}

namespace {

// Ends or signals the process the engine runs in, as a user or the system would.
void RaiseFault(int kind) {
#ifdef _WIN32
    // Windows has no such signals: the process ends as a kill would end it.
    std::fflush(nullptr);
    std::_Exit(128 + kind);
#else
    raise(kind);
#endif
}

#ifdef _WIN32
constexpr int kKill = 9, kTerm = 15, kHup = 1;
#else
constexpr int kKill = SIGKILL, kTerm = SIGTERM, kHup = SIGHUP;
#endif

}  // namespace

VirtualEngine::Effect VirtualEngine::Receive(const uint8_t* data, size_t count) {
    std::unique_lock lock(mutex_);
    const uint64_t number = ++requests_;
    for (const auto& [faults, kind] :
         {std::pair{&settings_.killFaults, kKill}, std::pair{&settings_.termFaults, kTerm},
          std::pair{&settings_.hupFaults, kHup}}) {
        if (faults->count(number) == 0) continue;
        // The handler may ask the engine something; it must find it unlocked.
        lock.unlock();
        RaiseFault(kind);
        lock.lock();
    }
    frames_.emplace_back(data, data + count);
    answer_.reset();  // a new request makes any unread answer stale
    if (settings_.unplugFaults.count(number)) return Effect::Unplug;
    if (settings_.dropFaults.count(number) || mode_ == EngineMode::Mute) return Effect::None;
    // Only a whole, undamaged frame with at least a command byte is acted on.
    const auto payload = UnpackFrame({data, count});
    if (!payload || payload->empty()) return Effect::None;
    corruptNext_ = settings_.crcFaults.count(number) > 0;
    oddNext_ = settings_.oddModeFaults.count(number) > 0;
    Effect effect = Effect::None;
    Handle(*payload, effect);
    return effect;
}

void VirtualEngine::Answer(std::span<const uint8_t> payload) {
    auto frame = BuildFrame(payload);
    if (!frame) return;
    if (corruptNext_) frame->back() ^= 1;  // one bit of the CRC
    answer_ = std::move(*frame);
}

std::vector<uint8_t>& VirtualEngine::Memory() {
    return mode_ == EngineMode::App ? ram_ : flash_;
}

void VirtualEngine::Handle(std::span<const uint8_t> p, Effect& effect) {
    const bool app = mode_ == EngineMode::App;
    const size_t n = p.size();
    switch (static_cast<CommandCode>(p[0])) {
        case CommandCode::LedCurrent:
            if (!app || n < 2) return;
            if (p[1] == static_cast<uint8_t>(LedCurrentOp::Set) && n >= 3) current_ = p[2];
            if (p[1] == static_cast<uint8_t>(LedCurrentOp::Get)) Answer(std::array{current_});
            return;
        case CommandCode::LedSwitch:
            if (app && n >= 2) ledOn_ = p[1] != 0;
            return;
        case CommandCode::PowerSwitch:
            if (app && n >= 2) {
                const auto state = static_cast<PowerState>(p[1]);
                if (state == PowerState::On || state == PowerState::Off) {
                    powerOn_ = state == PowerState::On;
                }
            }
            return;
        case CommandCode::Flip:
            if (app && n >= 3 && p[2] >= static_cast<uint8_t>(FlipMode::FlipNone) &&
                p[2] <= static_cast<uint8_t>(FlipMode::FlipXY)) {
                flip_ = p[2];
            }
            return;
        case CommandCode::ProductId:
            Answer(settings_.productId);
            return;
        case CommandCode::LoaderStart:
            if (!app) return;
            ++startLoaders_;
            effect = Effect::Reboot;
            return;
        case CommandCode::BlockSize: {
            std::array<uint8_t, 4> size;
            PutLe32(size, settings_.blockSize);
            Answer(size);
            return;
        }
        case CommandCode::BlockWrite: {
            const auto block = ParseBlockHeader(p);
            if (!block) return;
            auto& memory = Memory();
            if (block->length != n - kBlockHeaderSize || block->address > memory.size() ||
                block->length > memory.size() - block->address) {
                return;
            }
            std::memcpy(memory.data() + block->address, p.data() + kBlockHeaderSize, block->length);
            writes_.emplace_back(block->address, block->length);
            if (&memory == &flash_) KeepFlash(block->address, block->length);
            return;
        }
        case CommandCode::BlockRead: {
            const auto block = ParseBlockHeader(p);
            if (!block || n != kBlockHeaderSize) return;
            const auto& memory = Memory();
            if (block->address > memory.size() || block->length > memory.size() - block->address ||
                block->length > kMaxPayload) {
                return;
            }
            Answer(std::span(memory).subspan(block->address, block->length));
            return;
        }
        case CommandCode::UpgradeEnd:
            if (app) return;
            ++finishes_;
            effect = Effect::Reboot;
            return;
        case CommandCode::Mode:
            if (oddNext_) {
                Answer(kOddModeAnswer);
            } else if (app) {
                Answer(kApplicationModeAnswer);
            } else {
                Answer(kLoaderModeAnswer);
            }
            return;
    }
    // Unknown commands get no answer.
}

std::vector<uint8_t> VirtualEngine::TakeAnswer(size_t maxCount) {
    std::lock_guard lock(mutex_);
    if (!answer_) return {};
    std::vector<uint8_t> out = std::move(*answer_);
    answer_.reset();
    if (out.size() > maxCount) out.resize(maxCount);
    return out;
}

bool VirtualEngine::HasAnswer() const {
    std::lock_guard lock(mutex_);
    return answer_.has_value();
}

EngineMode VirtualEngine::modeAfterRestart() const {
    std::lock_guard lock(mutex_);
    return mode_ == EngineMode::App ? EngineMode::Loader : EngineMode::App;
}

void VirtualEngine::Restart() {
    std::lock_guard lock(mutex_);
    if (mode_ != EngineMode::Mute) {
        mode_ = mode_ == EngineMode::App ? EngineMode::Loader : EngineMode::App;
    }
    answer_.reset();
}

EngineMode VirtualEngine::mode() const {
    std::lock_guard l(mutex_);
    return mode_;
}
uint8_t VirtualEngine::current() const {
    std::lock_guard l(mutex_);
    return current_;
}
bool VirtualEngine::ledOn() const {
    std::lock_guard l(mutex_);
    return ledOn_;
}
bool VirtualEngine::powerOn() const {
    std::lock_guard l(mutex_);
    return powerOn_;
}
uint8_t VirtualEngine::flipMode() const {
    std::lock_guard l(mutex_);
    return flip_;
}
uint64_t VirtualEngine::requestCount() const {
    std::lock_guard l(mutex_);
    return requests_;
}
int VirtualEngine::startLoaderCount() const {
    std::lock_guard l(mutex_);
    return startLoaders_;
}
int VirtualEngine::finishUpgradeCount() const {
    std::lock_guard l(mutex_);
    return finishes_;
}

std::vector<std::vector<uint8_t>> VirtualEngine::frames() const {
    std::lock_guard l(mutex_);
    return frames_;
}
std::vector<uint8_t> VirtualEngine::flash() const {
    std::lock_guard l(mutex_);
    return flash_;
}
std::vector<uint8_t> VirtualEngine::loaderRam() const {
    std::lock_guard l(mutex_);
    return ram_;
}
std::vector<std::pair<uint32_t, uint32_t>> VirtualEngine::blockWrites() const {
    std::lock_guard l(mutex_);
    return writes_;
}

void VirtualEngine::setFlash(const std::vector<uint8_t>& contents) {
    std::lock_guard l(mutex_);
    std::fill(flash_.begin(), flash_.end(), 0xFF);
    std::copy_n(contents.begin(), std::min(contents.size(), flash_.size()), flash_.begin());
    KeepFlash(0, kFlashSize);
}

void VirtualEngine::setBlockSize(uint32_t size) {
    std::lock_guard l(mutex_);
    settings_.blockSize = size;
}

}  // namespace kq
