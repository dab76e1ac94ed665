#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kq {

// A 16-byte interface class identifier, kept in the textual field order of its usual notation.
struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    std::array<uint8_t, 8> data4{};

    friend bool operator==(const Guid&, const Guid&) = default;

    // "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}": lower case, as interface paths carry it.
    std::string ToString() const;
};

// The engine driver's interface class (the printer class on USB).
inline constexpr Guid EngineInterfaceClass{
    0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};
// The class of USB device nodes.
inline constexpr Guid GUID_DEVINTERFACE_USB_DEVICE{
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

}  // namespace kq
