#include <cstring>
#include <vector>

#include "devlink/link.h"

namespace kq {
namespace {

uint8_t Code(CommandCode c) {
    return static_cast<uint8_t>(c);
}

}  // namespace

bool DeviceLink::Transact(uint8_t code, const uint8_t* args, uint32_t argLength, uint8_t* answer,
                          uint32_t answerLength, int timeoutMs) {
    if (args == nullptr && argLength > 0) return false;
    if (argLength >= kMaxPayload) return false;
    std::vector<uint8_t> payload(argLength + 1);
    payload[0] = code;
    if (argLength) std::memcpy(payload.data() + 1, args, argLength);
    std::lock_guard lock(mutex_);
    if (!SendFrame(payload.data(), argLength + 1, timeoutMs)) return false;
    if (answerLength == 0) return true;
    if (answer == nullptr) return false;
    return ReceiveFrame(answer, answerLength, timeoutMs);
}

bool DeviceLink::SetLedCurrent(uint8_t value) {
    const uint8_t args[] = {static_cast<uint8_t>(LedCurrentOp::Set), value};
    return Transact(Code(CommandCode::LedCurrent), args, 2, nullptr, 0, 100);
}

bool DeviceLink::GetLedCurrent(uint8_t& out) {
    const uint8_t args[] = {static_cast<uint8_t>(LedCurrentOp::Get)};
    uint8_t value = 0;
    if (Transact(Code(CommandCode::LedCurrent), args, 1, &value, 1, 50)) {
        out = value;
        return true;
    }
    out = 0;
    return false;
}

bool DeviceLink::SetLedSwitch(uint8_t on) {
    return Transact(Code(CommandCode::LedSwitch), &on, 1, nullptr, 0, 50);
}

bool DeviceLink::SetPower(bool on) {
    const uint8_t payload[] = {Code(CommandCode::PowerSwitch),
                               static_cast<uint8_t>(on ? PowerState::On : PowerState::Off)};
    return SendFrame(payload, 2, 1000);
}

bool DeviceLink::SetFlip(uint8_t x, uint8_t y) {
    const uint8_t args[] = {0x00, static_cast<uint8_t>(FlipModeFromFlags(x, y))};
    return Transact(Code(CommandCode::Flip), args, 2, nullptr, 0, 50);
}

bool DeviceLink::GetProductId(uint8_t* out) {
    if (out == nullptr) return false;
    const uint8_t request[] = {Code(CommandCode::ProductId), 0x00};
    uint8_t answer[8];
    std::lock_guard lock(mutex_);
    SendFrame(request, 2, 1000);  // the answer decides, as for every query
    if (!ReceiveFrame(answer, 8, 1000)) return false;
    answer[7] = static_cast<uint8_t>(answer[7] % 12);
    std::memcpy(out, answer, 8);
    return true;
}

bool DeviceLink::StartLoader() {
    const uint8_t payload[] = {Code(CommandCode::LoaderStart)};
    return SendFrame(payload, 1, 2000);
}

uint32_t DeviceLink::GetBlockSize() {
    const uint8_t request[] = {Code(CommandCode::BlockSize)};
    uint8_t answer[4];
    std::lock_guard lock(mutex_);
    SendFrame(request, 1, 1000);
    if (!ReceiveFrame(answer, 4, 1000)) return 0;
    return GetLe32(answer);
}

bool DeviceLink::ReadBlock(uint32_t address, uint32_t length, uint8_t* out) {
    if (out == nullptr) return false;
    const auto request = BlockHeader(CommandCode::BlockRead, address, length);
    {
        std::lock_guard lock(mutex_);
        if (!SendFrame(request.data(), kBlockHeaderSize, 2000)) return false;
        if (!ReceiveFrame(out, length, 2000)) return false;
    }
    DelayMilliseconds(20);
    return true;
}

bool DeviceLink::WriteBlockVerified(uint32_t address, uint32_t length, const uint8_t* data) {
    if (data == nullptr) return false;
    if (length > kMaxPayload - kBlockHeaderSize) {
        trace_.Note("block of " + std::to_string(length) + " bytes cannot be framed");
        return false;
    }
    const auto header = BlockHeader(CommandCode::BlockWrite, address, length);
    std::vector<uint8_t> request(header.begin(), header.end());
    request.insert(request.end(), data, data + length);
    const auto readRequest = BlockHeader(CommandCode::BlockRead, address, length);

    // The write and its read-back form one transaction: nothing may come between them.
    std::lock_guard lock(mutex_);
    if (!SendFrame(request.data(), length + 9, 2000)) return false;
    DelayMilliseconds(60);
    if (!SendFrame(readRequest.data(), kBlockHeaderSize, 2000)) return false;
    std::vector<uint8_t> readBack(length + 1);
    if (!ReceiveFrame(readBack.data(), length, 2000)) return false;
    return length == 0 || std::memcmp(readBack.data(), data, length) == 0;
}

bool DeviceLink::FinishUpgrade() {
    const uint8_t payload[] = {Code(CommandCode::UpgradeEnd)};
    return SendFrame(payload, 1, 2000);
}

bool DeviceLink::GetMode(uint8_t* out) {
    if (out == nullptr) return false;
    const uint8_t request[] = {Code(CommandCode::Mode)};
    std::lock_guard lock(mutex_);
    SendFrame(request, 1, 1000);
    return ReceiveFrame(out, 3, 1000);
}

DeviceMode DeviceLink::QueryDeviceMode() {
    if (DevicePresent.load() == 0) return DeviceMode::None;
    uint8_t mode[3] = {};
    if (GetMode(mode) && IsApplicationModeAnswer(mode)) {
        return DeviceMode::Application;
    }
    return DeviceMode::Other;
}

}  // namespace kq
