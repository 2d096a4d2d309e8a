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
#include <commctrl.h>
#include <setupapi.h>
#include <windows.h>
extern "C" {
#include <hidsdi.h>
}
#else
#include "simwin/win32_api.h"
#endif
