// Running the program on a fresh simulated machine.
#pragma once

#include <cstdint>
#include <optional>

#include "simwin/hid.h"
#include "simwin/kernel.h"
#include "simwin/machine.h"
#include "simwin/ui.h"

namespace uft {

inline constexpr int kMainDialog = 102;
inline constexpr int kAboutBox = 100;

// Options for a machine that runs the program: its entry, its resources and
// how its threads start.
sim::MachineOptions ProgramOptions(std::uint64_t seed = 1);

// Gives the program's process-wide values the state of a new process. One host
// process runs many simulated ones; every machine constructor here calls it.
void ResetProgramState();

// A machine ready to run the program.
class ProgramMachine : public sim::Machine {
 public:
  explicit ProgramMachine(std::uint64_t seed = 1) : ProgramMachine(ProgramOptions(seed)) {}
  explicit ProgramMachine(sim::MachineOptions options);
};

// The thread that runs the dialog's monitor procedure, found by that
// procedure; none when the program started no such thread.
std::optional<sim::ThreadInfo> FindMonitorThread(const sim::Kernel& kernel);

// Script steps shared by the scenarios.
HWND MainDialog(sim::Script& s);
// Waits until the main dialog is up (created, initialised and shown).
HWND AwaitMainDialog(sim::Script& s);
// Waits until the device-name field shows the identified joystick.
bool AwaitIdentified(sim::Script& s, sim::Ticks timeoutMs = 5000);
// Clicks the Update button; false when the click went nowhere (disabled).
bool ClickUpdate(sim::Script& s);
// Posts the Update button's click notification to the dialog, as a click
// queued earlier arrives: it gets through even while the button is disabled.
void PostUpdateClick(sim::Script& s);
// Waits for the next message box and returns it (still open).
std::optional<sim::MessageBoxRecord> AwaitBox(sim::Script& s, sim::Ticks timeoutMs = 120000);
// Answers the open box with OK and waits until it has gone.
void AnswerBox(sim::Script& s);
// Closes the main dialog as the close box does and waits for it to go.
void CloseProgram(sim::Script& s);

}  // namespace uft
