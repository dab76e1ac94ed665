#pragma once

// The wire format of the engine, as pure functions: what a frame and a request look like, with
// no I/O and no state. Both sides use it, the link and the virtual engine, so tests of this
// header compare against bytes written out by hand, never against its own output.
//
// A frame of n payload bytes is n + 4 bytes: the whole frame's length (16 bits, low byte first),
// the payload, and a CRC-16 over length and payload (high byte first). A request payload is a
// command code and its arguments; an answer payload is the answer bytes alone.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kq {

enum class CommandCode : uint8_t {
    LedCurrent = 0x01,
    LedSwitch = 0x02,
    PowerSwitch = 0x03,
    Flip = 0x09,
    ProductId = 0xF8,
    LoaderStart = 0xF9,
    BlockSize = 0xFA,
    BlockWrite = 0xFB,
    BlockRead = 0xFC,
    UpgradeEnd = 0xFD,
    Mode = 0xFE,
};

// The byte after LedCurrent: set the value that follows, or read it.
enum class LedCurrentOp : uint8_t { Set = 0x00, Get = 0x01 };

// The argument of PowerSwitch.
enum class PowerState : uint8_t { On = 1, Off = 2 };

enum class DeviceMode : int { None = 0, Application = 1, Other = 2 };

enum class FlipMode : uint8_t { FlipNone = 1, FlipX = 2, FlipY = 3, FlipXY = 4 };

// The length field is 16 bits and counts the 4 bytes of length and CRC too.
inline constexpr uint32_t kMaxPayload = 65531;
inline constexpr size_t kFrameOverhead = 4;
// BlockWrite and BlockRead start with code, address and length (both 32-bit little-endian).
inline constexpr size_t kBlockHeaderSize = 9;

// The Mode answer of an engine that runs its application.
inline constexpr std::array<uint8_t, 3> kApplicationModeAnswer{'A', 'P', 'P'};

// CRC-16 with polynomial 0x8005, initial value 0, no reflection; 0 over a whole valid frame.
uint16_t Crc16(std::span<const uint8_t> data);

// The frame that carries payload; std::nullopt when the payload is longer than kMaxPayload.
std::optional<std::vector<uint8_t>> BuildFrame(std::span<const uint8_t> payload);

// The payload of a received frame: its length field must equal the bytes received and the CRC
// over the whole frame must be 0. std::nullopt otherwise. The view points into frame.
std::optional<std::span<const uint8_t>> UnpackFrame(std::span<const uint8_t> frame);

// Little-endian 32-bit fields: the first four bytes of the span (which must have them).
void PutLe32(std::span<uint8_t> out, uint32_t value);
uint32_t GetLe32(std::span<const uint8_t> in);

// The fixed part of a BlockWrite or BlockRead request.
std::array<uint8_t, kBlockHeaderSize> BlockHeader(CommandCode code, uint32_t address,
                                                  uint32_t length);

struct BlockRange {
    uint32_t address = 0;
    uint32_t length = 0;
};
// Address and length of a block request payload; std::nullopt when it is shorter than a header.
std::optional<BlockRange> ParseBlockHeader(std::span<const uint8_t> payload);

// The mirror mode of the X and Y flags; a flag value other than 0 or 1 counts as neither.
FlipMode FlipModeFromFlags(uint8_t x, uint8_t y);

bool IsApplicationModeAnswer(std::span<const uint8_t> answer);

}  // namespace kq
