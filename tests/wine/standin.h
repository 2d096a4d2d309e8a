// What the stand-in setupapi.dll and hid.dll share: the HID interface class
// and where the list of stand-in interfaces comes from.
//
// The stand-ins let the unmodified UpdateFirmware.exe find and talk to the
// joystick emulator (uf_joystick.exe) under Wine: each HID interface is a
// named pipe, listed in the environment variable UF_HID_PIPES (paths
// separated by ';'), and the vendor and product ids are part of the pipe's
// name ("...vid_1209&pid_b4e7...").
#pragma once

#include <windows.h>

namespace standin {

inline constexpr char kPipeListVariable[] = "UF_HID_PIPES";

// The device interface class of HID devices, as HidD_GetHidGuid answers it.
inline constexpr GUID kHidInterfaceClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

}  // namespace standin
