#include "devlink/codec.h"

#include <algorithm>

namespace kq {
namespace {

constexpr std::array<uint16_t, 256> MakeTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x8005 : crc << 1;
        }
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}

constexpr auto kTable = MakeTable();
static_assert(kTable[1] == 0x8005 && kTable[2] == 0x800F && kTable[3] == 0x000A &&
              kTable[255] == 0x0202);

}  // namespace

uint16_t Crc16(std::span<const uint8_t> data) {
    uint16_t crc = 0;
    for (uint8_t byte : data) {
        crc = static_cast<uint16_t>(kTable[((crc >> 8) ^ byte) & 0xFF] ^ (crc << 8));
    }
    return crc;
}

std::optional<std::vector<uint8_t>> BuildFrame(std::span<const uint8_t> payload) {
    if (payload.size() > kMaxPayload) return std::nullopt;
    const size_t total = payload.size() + kFrameOverhead;
    std::vector<uint8_t> frame;
    frame.reserve(total);
    frame.push_back(static_cast<uint8_t>(total & 0xFF));
    frame.push_back(static_cast<uint8_t>((total >> 8) & 0xFF));
    frame.insert(frame.end(), payload.begin(), payload.end());
    const uint16_t crc = Crc16(frame);
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    return frame;
}

std::optional<std::span<const uint8_t>> UnpackFrame(std::span<const uint8_t> frame) {
    if (frame.size() < kFrameOverhead) return std::nullopt;
    if (frame[0] + 256u * frame[1] != frame.size()) return std::nullopt;
    if (Crc16(frame) != 0) return std::nullopt;
    return frame.subspan(2, frame.size() - kFrameOverhead);
}

void PutLe32(std::span<uint8_t> out, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLe32(std::span<const uint8_t> in) {
    return in[0] | in[1] << 8 | in[2] << 16 | static_cast<uint32_t>(in[3]) << 24;
}

std::array<uint8_t, kBlockHeaderSize> BlockHeader(CommandCode code, uint32_t address,
                                                  uint32_t length) {
    std::array<uint8_t, kBlockHeaderSize> header{static_cast<uint8_t>(code)};
    PutLe32(std::span(header).subspan(1), address);
    PutLe32(std::span(header).subspan(5), length);
    return header;
}

std::optional<BlockRange> ParseBlockHeader(std::span<const uint8_t> payload) {
    if (payload.size() < kBlockHeaderSize) return std::nullopt;
    return BlockRange{GetLe32(payload.subspan(1)), GetLe32(payload.subspan(5))};
}

FlipMode FlipModeFromFlags(uint8_t x, uint8_t y) {
    if (x == 1 && y == 0) return FlipMode::FlipX;
    if (x == 0 && y == 1) return FlipMode::FlipY;
    if (x == 1 && y == 1) return FlipMode::FlipXY;
    return FlipMode::FlipNone;
}

bool IsApplicationModeAnswer(std::span<const uint8_t> answer) {
    return std::ranges::equal(answer, kApplicationModeAnswer);
}

}  // namespace kq
