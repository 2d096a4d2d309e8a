// The link to the joystick: its identifiers, the 65-byte report protocol,
// interface discovery and the bounded report transfers.
#pragma once

#include "platform/win32.h"

// USB identifiers of the joystick.
constexpr USHORT JOYSTICK_VENDOR_ID = 0x1209;
constexpr USHORT JOYSTICK_PRODUCT_ID = 0xB4E7;

// Every write and read carries the report-ID byte and 64 payload bytes.
constexpr DWORD HID_REPORT_SIZE = 65;
// The one output buffer of every command and data report, and the one input
// buffer of every answer.
using COMMAND_REPORT = BYTE[HID_REPORT_SIZE];
using RESPONSE_REPORT = BYTE[HID_REPORT_SIZE];
constexpr BYTE CMD_PREFIX = 0xA5;
constexpr WORD DEVICE_TYPE_ID = 0x0420;

constexpr BYTE CMD_IDENTIFY = 0xE1;
constexpr BYTE CMD_PING = 0xE2;
constexpr BYTE CMD_ERASE_PAGE = 0xE3;
constexpr BYTE CMD_PROGRAM_PAGE = 0xE4;
constexpr BYTE CMD_READ_CHECKSUM = 0xE5;
constexpr BYTE CMD_FINISH = 0xE6;

// A release read as 0xFFFF (an unprogrammed word) counts as release 0.
constexpr WORD RELEASE_UNPROGRAMMED = 0xFFFF;

// A transfer that the device has not completed after this long is given up
// and counts as failed, so that a device that stops answering cannot hang
// either thread.
constexpr DWORD DEVICE_IO_TIMEOUT_MS = 1000;

// The release of the last successful identity read.
extern DWORD g_nDeviceRelease;

// Opens the interface with this index of the device-interface class: null
// when there is no interface to open there, INVALID_HANDLE_VALUE when it
// exists but cannot be opened, else the open handle.
HANDLE OpenHidDevice(const GUID& interfaceClass, DWORD index);

// Report framing. Each sets only its own bytes; the rest of the buffer goes
// out as earlier reports left it.
void FrameCommand(BYTE* report, BYTE code);                                     // bytes 0-4
void FrameAddressedCommand(BYTE* report, BYTE code, DWORD address, BYTE tail);  // 0-9
void FrameDataReport(BYTE* report, const BYTE* chunk);                          // bytes 1-64
WORD ReadWordHighFirst(const BYTE* report, int offset);
DWORD ReadDwordLowFirst(const BYTE* report, int offset);

// One report write or read of HID_REPORT_SIZE bytes on a synchronous handle,
// given up after DEVICE_IO_TIMEOUT_MS. TRUE exactly when the platform call
// succeeded in time.
BOOL WriteReport(HANDLE hDevice, const BYTE* report, DWORD* pWritten);
BOOL ReadReport(HANDLE hDevice, BYTE* report, DWORD* pRead);

// Ends the thread that enforces the time-out (it starts with the first
// transfer). Call when no transfer can be under way any more.
void StopTransferWatchdog();
// Forgets the watchdog of a process that has ended without stopping it. Only
// the host harness needs this: it runs many simulated processes in one.
void AbandonTransferWatchdog();
