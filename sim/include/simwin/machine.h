// A simulated machine: one run of the program on the simulated Windows, with a
// script thread that plays the user and the devices at virtual times.
//
//   sim::Machine m({.seed = 7, .entry = &WinMain, .resources = ProgramResources()});
//   auto result = m.Run([&](sim::Script& s) {
//     s.At(1500);
//     EXPECT_EQ(s.Ui().Text(s.Ui().Dialog(102), 1014), "");
//     s.Ui().Close(s.Ui().Dialog(102));
//   });
//   EXPECT_EQ(result.outcome, sim::Outcome::kExited);
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "simwin/sched.h"

namespace sim {

class UiSystem;  // user32/comctl32: windows, input, observation (simwin/ui.h)
class HidBus;    // HID interfaces and the joystick model (simwin/hid.h)
class Kernel;    // handles, threads, module (simwin/kernel.h)

// One line per visible change, in the events format of the design notes.
class EventLog {
 public:
  void Add(std::string line);  // prefixed with the virtual time by the log
  const std::vector<std::string>& Lines() const { return lines_; }
  std::string Text() const;  // all lines, '\n'-terminated
 private:
  std::vector<std::string> lines_;
};

// Platform calls the program made, for assertions such as "GetKeyState was
// not asked" or "WinHelpA got context 0x20066".
struct Call {
  Ticks at;
  DWORD thread;
  std::string name;   // e.g. "GetKeyState"
  std::string args;   // e.g. "0xA0"
  std::uint64_t seq;  // its place in the run's event sequence (NextSequence)
};
class CallLog {
 public:
  void Add(std::string name, std::string args);
  const std::vector<Call>& All() const { return calls_; }
  std::vector<Call> Named(std::string_view name) const;

 private:
  std::vector<Call> calls_;
};

using ProgramEntry = int (*)(HINSTANCE, HINSTANCE, LPSTR, int);

struct MachineOptions {
  std::uint64_t seed = 1;
  // The program's entry (the program's WinMain); the sim library itself does
  // not reference the program.
  ProgramEntry entry = nullptr;
  // The program's compiled resource section (.res bytes from windres).
  std::span<const std::uint8_t> resources;
  // Sees through the program's own thread-start wrapper (a class library
  // starts its threads in one entry routine that runs the thread object's
  // procedure): given what CreateThread was passed, the procedure the new
  // thread runs, or null when `start` is no such wrapper. Asked at each
  // thread's creation, while the wrapper's object is alive.
  std::function<ThreadRoutine(LPTHREAD_START_ROUTINE start, LPVOID parameter)> threadProcedure;
  std::string moduleFileName = "C:\\Program Files\\UpdateFirmware\\UpdateFirmware.exe";
  std::string commandLine = "UpdateFirmware.exe";
  // Virtual time after which the run is stopped as a hang.
  Ticks limit = 10 * 60 * 1000;
  // Real-time guard: a run that takes longer than this on the host is a hang.
  int realSecondsLimit = 60;
};

enum class Outcome {
  kExited,        // WinMain returned; ExitProcess semantics ended other threads
  kDeadlock,      // no thread could run and nothing was due
  kTimeLimit,     // virtual or real time limit reached
  kScriptFailed,  // the script threw (a failed check inside the script)
  kCrashed        // a program thread ended with an unhandled exception, or misused an API
                  // in a way that would crash a real process
};

// Thrown by a script to fail the run (kScriptFailed; the message goes into
// the report). Any other std::exception from the script does the same.
struct ScriptFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct RunResult {
  Outcome outcome = Outcome::kExited;
  int exitCode = 0;    // WinMain's result (kExited only)
  std::string report;  // seed, what ended the run, and each thread's position
  // Program threads still alive when the run ended ("thread 0x104: <its blocking call>").
  std::vector<std::string> threadsAliveAtExit;
};

class Script;
class Machine;

// Each part of the sim defines its factory and its end-of-run hook (ui_*.cpp,
// hid_*.cpp). The machine creates the parts after its kernel, in this order,
// and calls the hooks on Run's calling thread after every simulated thread
// has ended and been joined (Machine::Current() still answers; nothing can
// block any more).
std::unique_ptr<UiSystem> MakeUiSystem(Machine& machine);
std::unique_ptr<HidBus> MakeHidBus(Machine& machine);
void OnRunEnd(UiSystem& ui);
void OnRunEnd(HidBus& bus);

class Machine {
 public:
  explicit Machine(MachineOptions options);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Runs WinMain on the simulated main thread and `script` on the script
  // thread. Returns when the program has exited (and the script has ended),
  // or on a hang. Can be called once per machine.
  RunResult Run(const std::function<void(Script&)>& script);

  // Runs an arbitrary function as the simulated main thread instead of
  // WinMain (for unit tests of product pieces, e.g. FindDevice).
  RunResult RunThread(const std::function<void()>& body,
                      const std::function<void(Script&)>& script = {});

  std::uint64_t Seed() const;
  const MachineOptions& Options() const;
  UiSystem& Ui();
  HidBus& Hid();
  Kernel& Kern();
  EventLog& Events();
  CallLog& Calls();

  // The machine whose run is under way (the sim API functions use it): the
  // one that last started a run, or failing that the newest one constructed,
  // while it is alive. Throws std::logic_error when there is none.
  static Machine& Current();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// What the script thread can do. All calls run with the baton held.
class Script {
 public:
  explicit Script(Machine& machine) : machine_(machine) {}
  void At(Ticks when);   // sleep until virtual time `when`
  void After(Ticks ms);  // sleep `ms` more
  // Waits (in virtual time) until `condition` holds; false on time-out.
  bool WaitFor(const std::function<bool()>& condition, Ticks timeoutMs = 60000);
  Ticks Now() const;
  UiSystem& Ui() { return machine_.Ui(); }
  HidBus& Hid() { return machine_.Hid(); }
  Kernel& Kern() { return machine_.Kern(); }
  Machine& M() { return machine_; }

 private:
  Machine& machine_;
};

}  // namespace sim
