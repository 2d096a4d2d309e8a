// The firmware image that the program writes into the joystick, and the page
// checksums the joystick must report for it. The image and the table are
// generated together from firmware/UpdateFirmware.bin by tools/firmware_gen
// (firmware_image.cpp); regenerate both whenever the image changes.
#pragma once

#include <cstdint>

constexpr int FIRMWARE_PAGE_COUNT = 67;
constexpr int FIRMWARE_PAGE_SIZE = 512;
constexpr int FIRMWARE_CHUNK_SIZE = 64;  // image bytes in one data report
constexpr int FIRMWARE_IMAGE_SIZE = FIRMWARE_PAGE_COUNT * FIRMWARE_PAGE_SIZE;  // 34,304
constexpr unsigned int FIRMWARE_FILE_RELEASE = 0x112;                          // V1.12

// Page p is bytes p * 512 to p * 512 + 511.
extern const unsigned char g_FirmwareImage[FIRMWARE_IMAGE_SIZE];
// Word p + 1 is the checksum of page p; words 0 and FIRMWARE_PAGE_COUNT + 1 are 0.
extern const std::uint32_t g_FirmwareChecksums[FIRMWARE_PAGE_COUNT + 2];
