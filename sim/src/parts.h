// The parts a machine owns besides its kernel: user32 (UiSystem) and the HID
// bus (HidBus). The machine needs their complete types to destroy them. When
// a part's header is missing (or SIMWIN_CORE_ONLY builds the core alone),
// an empty stand-in takes its place and parts_stub.cpp supplies its factory.
#pragma once

#include "simwin/machine.h"

#if __has_include("simwin/ui.h") && !defined(SIMWIN_CORE_ONLY)
#include "simwin/ui.h"
#else
#define SIMWIN_UI_STAND_IN 1
namespace sim {
class UiSystem {};
}  // namespace sim
#endif

#if __has_include("simwin/hid.h") && !defined(SIMWIN_CORE_ONLY)
#include "simwin/hid.h"
#else
#define SIMWIN_HID_STAND_IN 1
namespace sim {
class HidBus {};
}  // namespace sim
#endif
