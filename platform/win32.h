// The one header through which the program reaches the operating system.
// On Windows it is the SDK; on the host, the simulated Windows declares the
// same names, types and values.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// windows.h must come first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}
// clang-format on
#else
#include "simwin/win32_api.h"
#endif
