#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace kq::os {

using Sha256Digest = std::array<uint8_t, 32>;

// The SHA-256 of bytes, from the system's cryptographic library (nettle; BCrypt on Windows).
Sha256Digest Sha256(std::span<const uint8_t> bytes);
// The same in lower-case hex, as sha256sum prints it.
std::string Sha256Hex(std::span<const uint8_t> bytes);

}  // namespace kq::os
