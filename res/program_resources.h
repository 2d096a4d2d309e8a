// The program's compiled resources on the host build: the bytes of the .res
// file windres makes from UpdateFirmware.rc, the same resources the Windows
// build links into UpdateFirmware.exe. The simulated Windows loads the
// dialogs, strings, icon and pictures from them.
#pragma once

#include <cstdint>
#include <span>

std::span<const std::uint8_t> ProgramResources();
