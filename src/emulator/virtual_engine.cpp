#include "emulator/virtual_engine.h"

#include <cstring>

#include "devlink/link.h"

namespace kq {
namespace {

uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

VirtualEngine::VirtualEngine(EngineSettings settings)
    : settings_(std::move(settings)),
      mode_(settings_.mode),
      current_(settings_.current),
      flash_(kFlashSize, 0xFF),
      ram_(kRamSize, 0x00) {}

VirtualEngine::Effect VirtualEngine::Receive(const uint8_t* data, size_t count) {
    std::lock_guard lock(mutex_);
    const uint64_t number = ++requests_;
    frames_.emplace_back(data, data + count);
    answer_.reset();  // a new request makes any unread answer stale
    if (settings_.unplugFaults.count(number)) return Effect::Unplug;
    if (settings_.dropFaults.count(number) || mode_ == EngineMode::Mute) return Effect::None;
    // Only a whole, undamaged frame with at least a command byte is acted on.
    if (count < 5 || data[0] + 256u * data[1] != count || Crc16(data, count) != 0) {
        return Effect::None;
    }
    corruptNext_ = settings_.crcFaults.count(number) > 0;
    Effect effect = Effect::None;
    Handle(data + 2, count - 4, effect);
    return effect;
}

void VirtualEngine::Answer(std::vector<uint8_t> payload) {
    const size_t total = payload.size() + 4;
    std::vector<uint8_t> frame;
    frame.reserve(total);
    frame.push_back(static_cast<uint8_t>(total & 0xFF));
    frame.push_back(static_cast<uint8_t>(total >> 8));
    frame.insert(frame.end(), payload.begin(), payload.end());
    const uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    if (corruptNext_) frame.back() ^= 0x01;
    answer_ = std::move(frame);
}

std::vector<uint8_t>& VirtualEngine::Memory() {
    return mode_ == EngineMode::App ? ram_ : flash_;
}

void VirtualEngine::Handle(const uint8_t* p, size_t n, Effect& effect) {
    const bool app = mode_ == EngineMode::App;
    switch (p[0]) {
        case 0x01:  // LED current: 00 value sets, 01 reads
            if (!app || n < 2) return;
            if (p[1] == 0x00 && n >= 3) current_ = p[2];
            if (p[1] == 0x01) Answer({current_});
            return;
        case 0x02:
            if (app && n >= 2) ledOn_ = p[1] != 0;
            return;
        case 0x03:
            if (app && n >= 2 && (p[1] == 1 || p[1] == 2)) powerOn_ = p[1] == 1;
            return;
        case 0x09:
            if (app && n >= 3 && p[2] >= 1 && p[2] <= 4) flip_ = p[2];
            return;
        case 0xF8:
            Answer(std::vector<uint8_t>(settings_.productId.begin(), settings_.productId.end()));
            return;
        case 0xF9:
            if (!app) return;
            ++startLoaders_;
            effect = Effect::Reboot;
            return;
        case 0xFA: {
            const uint32_t b = settings_.blockSize;
            Answer({static_cast<uint8_t>(b), static_cast<uint8_t>(b >> 8),
                    static_cast<uint8_t>(b >> 16), static_cast<uint8_t>(b >> 24)});
            return;
        }
        case 0xFB: {
            if (n < 9) return;
            const uint32_t address = Le32(p + 1);
            const uint32_t length = Le32(p + 5);
            auto& memory = Memory();
            if (length != n - 9 || address > memory.size() || length > memory.size() - address) {
                return;
            }
            std::memcpy(memory.data() + address, p + 9, length);
            writes_.emplace_back(address, length);
            return;
        }
        case 0xFC: {
            if (n != 9) return;
            const uint32_t address = Le32(p + 1);
            const uint32_t length = Le32(p + 5);
            const auto& memory = Memory();
            if (address > memory.size() || length > memory.size() - address ||
                length > kMaxPayload) {
                return;
            }
            Answer(
                std::vector<uint8_t>(memory.begin() + address, memory.begin() + address + length));
            return;
        }
        case 0xFD:
            if (app) return;
            ++finishes_;
            effect = Effect::Reboot;
            return;
        case 0xFE:
            if (app) {
                Answer({'A', 'P', 'P'});
            } else {
                Answer({kLoaderModeAnswer[0], kLoaderModeAnswer[1], kLoaderModeAnswer[2]});
            }
            return;
        default:
            return;  // unknown commands get no answer
    }
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
}

void VirtualEngine::setBlockSize(uint32_t size) {
    std::lock_guard l(mutex_);
    settings_.blockSize = size;
}

}  // namespace kq
