#include "devlink/commands.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <vector>

namespace kq {
namespace {

uint8_t Code(CommandCode c) {
    return static_cast<uint8_t>(c);
}

// One request and, when answer is given, its answer, in one transaction. An empty answer is
// still a frame to read (a block read of 0 bytes), unlike no answer. Nothing is read when the
// request was not sent, so an answer left over from an earlier exchange is never taken for
// this one.
bool Exchange(DeviceLink& link, std::span<const uint8_t> request,
              std::optional<std::span<uint8_t>> answer, int timeoutMs) {
    auto transaction = link.Begin();
    if (!transaction.SendFrame(request, timeoutMs)) return false;
    return !answer || transaction.ReceiveFrame(*answer, timeoutMs);
}

}  // namespace

bool CommandSet::Transact(uint8_t code, const uint8_t* args, uint32_t argLength, uint8_t* answer,
                          uint32_t answerLength, int timeoutMs) {
    if (args == nullptr && argLength > 0) return false;
    if (argLength >= kMaxPayload) return false;
    std::vector<uint8_t> payload{code};
    if (argLength) payload.insert(payload.end(), args, args + argLength);
    auto transaction = link_.Begin();
    if (!transaction.SendFrame(payload, timeoutMs)) return false;
    if (answerLength == 0) return true;
    if (answer == nullptr) return false;
    return transaction.ReceiveFrame({answer, answerLength}, timeoutMs);
}

bool CommandSet::SetLedCurrent(uint8_t value) {
    const uint8_t args[] = {static_cast<uint8_t>(LedCurrentOp::Set), value};
    return Transact(Code(CommandCode::LedCurrent), args, 2, nullptr, 0, 100);
}

bool CommandSet::GetLedCurrent(uint8_t& out) {
    const uint8_t args[] = {static_cast<uint8_t>(LedCurrentOp::Get)};
    uint8_t value = 0;
    if (Transact(Code(CommandCode::LedCurrent), args, 1, &value, 1, 50)) {
        out = value;
        return true;
    }
    out = 0;
    return false;
}

bool CommandSet::SetLedSwitch(uint8_t on) {
    return Transact(Code(CommandCode::LedSwitch), &on, 1, nullptr, 0, 50);
}

bool CommandSet::SetPower(bool on) {
    const uint8_t request[] = {Code(CommandCode::PowerSwitch),
                               static_cast<uint8_t>(on ? PowerState::On : PowerState::Off)};
    return Exchange(link_, request, {}, 1000);
}

bool CommandSet::SetFlip(uint8_t x, uint8_t y) {
    const uint8_t args[] = {0x00, static_cast<uint8_t>(FlipModeFromFlags(x, y))};
    return Transact(Code(CommandCode::Flip), args, 2, nullptr, 0, 50);
}

bool CommandSet::GetProductId(uint8_t* out) {
    if (out == nullptr) return false;
    // One further byte after the code, which the tool leaves 0.
    const uint8_t request[] = {Code(CommandCode::ProductId), 0x00};
    std::array<uint8_t, 8> answer;
    if (!Exchange(link_, request, answer, 1000)) return false;
    answer[7] = static_cast<uint8_t>(answer[7] % 12);
    std::copy(answer.begin(), answer.end(), out);
    return true;
}

bool CommandSet::StartLoader() {
    const uint8_t request[] = {Code(CommandCode::LoaderStart)};
    return Exchange(link_, request, {}, 2000);
}

uint32_t CommandSet::GetBlockSize() {
    const uint8_t request[] = {Code(CommandCode::BlockSize)};
    std::array<uint8_t, 4> answer;
    if (!Exchange(link_, request, answer, 1000)) return 0;
    return GetLe32(answer);
}

bool CommandSet::ReadBlock(uint32_t address, uint32_t length, uint8_t* out,
                           const std::function<void()>& afterRead) {
    if (out == nullptr) return false;
    const auto request = BlockHeader(CommandCode::BlockRead, address, length);
    if (!Exchange(link_, request, std::span(out, length), 2000)) return false;
    if (afterRead) afterRead();
    DelayMilliseconds(20);
    return true;
}

bool CommandSet::WriteBlockVerified(uint32_t address, uint32_t length, const uint8_t* data) {
    if (data == nullptr) return false;
    if (length > kMaxPayload - kBlockHeaderSize) {
        link_.trace().Note("block of " + std::to_string(length) + " bytes cannot be framed");
        return false;
    }
    const auto header = BlockHeader(CommandCode::BlockWrite, address, length);
    std::vector<uint8_t> request(header.begin(), header.end());
    request.insert(request.end(), data, data + length);
    const auto readRequest = BlockHeader(CommandCode::BlockRead, address, length);
    std::vector<uint8_t> readBack(length);
    {
        // The write and its read-back form one transaction: nothing may come between them.
        auto transaction = link_.Begin();
        if (!transaction.SendFrame(request, 2000)) return false;
        transaction.Delay(std::chrono::milliseconds(60));
        if (!transaction.SendFrame(readRequest, 2000)) return false;
        if (!transaction.ReceiveFrame(readBack, 2000)) return false;
    }
    return std::equal(readBack.begin(), readBack.end(), data);
}

bool CommandSet::FinishUpgrade() {
    const uint8_t request[] = {Code(CommandCode::UpgradeEnd)};
    return Exchange(link_, request, {}, 2000);
}

bool CommandSet::GetMode(uint8_t* out) {
    if (out == nullptr) return false;
    const uint8_t request[] = {Code(CommandCode::Mode)};
    return Exchange(link_, request, std::span(out, kApplicationModeAnswer.size()), 1000);
}

DeviceMode CommandSet::QueryDeviceMode() {
    switch (QueryEngineState()) {
        case EngineState::None:
            return DeviceMode::None;
        case EngineState::Application:
            return DeviceMode::Application;
        default:
            return DeviceMode::Other;
    }
}

EngineState CommandSet::QueryEngineState() {
    if (link_.DevicePresent.load() == 0) return EngineState::None;
    std::array<uint8_t, kApplicationModeAnswer.size()> mode{};
    if (!GetMode(mode.data())) return EngineState::Silent;
    return IsApplicationModeAnswer(mode) ? EngineState::Application : EngineState::Loader;
}

void CommandSet::DelayMicroseconds(uint32_t us) {
    if (us == 0) return;
    link_.sleeper().SleepFor(std::chrono::microseconds(us));
}

void CommandSet::DelayMilliseconds(uint32_t ms) {
    DelayMicroseconds((ms & 0xFFFF) * 1000u);
}

std::string FormatProductId(const uint8_t* id) {
    char text[24];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", id[0], id[1], id[2], id[3],
                  id[4], id[5]);
    return text;
}

}  // namespace kq
