// The checksum that the joystick computes over one flash page and answers to
// the read-checksum command. The simulated joystick and the firmware table
// generator (tools/firmware_gen) both use this function, so the table carried
// by the program agrees with what the device reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace sim {

inline constexpr std::size_t kJoystickPageSize = 512;

// CRC-16/CCITT (polynomial 0x1021, initial value 0xFFFF, no reflection) over
// the page's bytes. A CRC rather than a plain sum so that a page of 0x00 and a
// page of 0xFF, or two swapped bytes, do not give the same answer. The device
// never answers 0 (it would read as "no checksum"), so a CRC of 0 is reported
// as 1. Results are always in 1..0xFFFF.
constexpr std::uint32_t JoystickPageChecksum(
    std::span<const std::uint8_t, kJoystickPageSize> page) {
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t byte : page) {
    crc = static_cast<std::uint16_t>(crc ^ (static_cast<std::uint16_t>(byte) << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0 ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                : static_cast<std::uint16_t>(crc << 1);
    }
  }
  return crc == 0 ? 1u : crc;
}

}  // namespace sim
