// Stand-ins for the machine's parts whose headers are not in the tree (or
// all of them when SIMWIN_CORE_ONLY builds the core alone). Weak, so that a
// real definition always wins.
#include "parts.h"

namespace sim {

#ifdef SIMWIN_UI_STAND_IN
__attribute__((weak)) std::unique_ptr<UiSystem> MakeUiSystem(Machine&) {
  return std::make_unique<UiSystem>();
}
__attribute__((weak)) void OnRunEnd(UiSystem&) {}
#endif

#ifdef SIMWIN_HID_STAND_IN
__attribute__((weak)) std::unique_ptr<HidBus> MakeHidBus(Machine&) {
  return std::make_unique<HidBus>();
}
__attribute__((weak)) void OnRunEnd(HidBus&) {}
#endif

}  // namespace sim
