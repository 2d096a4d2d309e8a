#include "device/device_link.h"

void FrameCommand(BYTE* report, BYTE code) {
  report[0] = 0;  // report identifier
  report[1] = CMD_PREFIX;
  report[2] = code;
  report[3] = static_cast<BYTE>(~CMD_PREFIX);
  report[4] = static_cast<BYTE>(~code);
}

void FrameAddressedCommand(BYTE* report, BYTE code, DWORD address, BYTE tail) {
  FrameCommand(report, code);
  report[5] = static_cast<BYTE>(address);
  report[6] = static_cast<BYTE>(address >> 8);
  report[7] = static_cast<BYTE>(address >> 16);
  report[8] = static_cast<BYTE>(address >> 24);
  report[9] = tail;
}

void FrameDataReport(BYTE* report, const BYTE* chunk) {
  // Byte 0 keeps the report identifier that the preceding command wrote.
  for (int i = 0; i < 64; ++i) report[1 + i] = chunk[i];
}

WORD ReadWordHighFirst(const BYTE* report, int offset) {
  return static_cast<WORD>(report[offset] << 8 | report[offset + 1]);
}

DWORD ReadDwordLowFirst(const BYTE* report, int offset) {
  return static_cast<DWORD>(report[offset]) | static_cast<DWORD>(report[offset + 1]) << 8 |
         static_cast<DWORD>(report[offset + 2]) << 16 |
         static_cast<DWORD>(report[offset + 3]) << 24;
}
