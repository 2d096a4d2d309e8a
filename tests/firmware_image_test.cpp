// The carried firmware: the checksum table must hold what the joystick will
// answer for each page of the carried image, or every update ends in
// "Checksum error!".
#include <gtest/gtest.h>

#include <span>

#include "firmware/firmware.h"
#include "simwin/joystick_checksum.h"

namespace {

TEST(FirmwareImage, TableHoldsTheJoystickChecksumOfEveryPage) {
  static_assert(sizeof g_FirmwareImage == 34304);
  static_assert(sizeof g_FirmwareChecksums / sizeof g_FirmwareChecksums[0] == 69);
  EXPECT_EQ(g_FirmwareChecksums[0], 0u);
  EXPECT_EQ(g_FirmwareChecksums[FIRMWARE_PAGE_COUNT + 1], 0u);
  for (int p = 0; p < FIRMWARE_PAGE_COUNT; ++p) {
    const std::span<const unsigned char, FIRMWARE_PAGE_SIZE> page(
        g_FirmwareImage + p * FIRMWARE_PAGE_SIZE, FIRMWARE_PAGE_SIZE);
    EXPECT_EQ(g_FirmwareChecksums[p + 1], sim::JoystickPageChecksum(page)) << "page " << p;
  }
}

}  // namespace
