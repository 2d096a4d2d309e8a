// updater-sim: runs the real program on the simulated Windows against a
// simulated joystick and prints what the dialog shows, line by line.
//
//   updater-sim [--seed N] [--events FILE] [--capture FILE] [--close-at MS]
//               [--no-device] [--device-release HEX] [--device-type HEX]
//               [--latency MS] [--click-at MS]... [--no-click] [--shift left|right]
//               [--unplug-at MS]... [--plug-at MS]... [--stall-at MS]
//               [--unplug-after KIND:N] [--stall-after KIND:N]
//               [--fail-write N]... [--fail-read N]... [--bad-checksum PAGE]...
//               [--syscommand MS:ID]... [--send-command MS:ID]...
//               [--send-syscommand MS:ID]... [--key MS:NAME]...
//
// Numbers are decimal or 0x-hex. Key names: Enter, Escape, F1, Alt+F4.
// Update is clicked at 2000 ms unless --click-at or --no-click says otherwise.
// Each transfer takes 1 ms unless --latency says otherwise. Message boxes are
// answered with OK 500 virtual ms after they appear. Without --close-at the
// dialog is closed once every action has run and no update is under way;
// with it, at that time, and actions due later are dropped (a line on stderr
// names them). --syscommand posts WM_SYSCOMMAND with any value to the dialog,
// as another program may; --send-syscommand sends it, and --send-command
// sends WM_COMMAND with the id and BN_CLICKED (lParam the dialog's control
// with that id, else null, as a click or the dialog manager gives it), each
// from a thread of another program that waits for the reply. What became of
// each send is told on stderr. KIND:N is the joystick's Nth report of a kind
// (identify, ping, erase, data, program, checksum, finish, or report for any):
// the device is unplugged, or stalls, as the next transfer starts.
//
// Exit codes: 0 the program ran and ended; 1 bad usage; 2 deadlock;
// 3 time limit (a hang); 4 the script failed; 5 the program crashed.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "simwin/kernel.h"
#include "simwin/sched.h"
#include "simwin/ui.h"
#include "support/cli.h"
#include "support/program_run.h"
#include "support/report_trigger.h"

namespace {

using uft::ParseNumber;

constexpr sim::Ticks kBoxAnswerDelay = 500;
constexpr sim::Ticks kDefaultClickAt = 2000;
constexpr sim::Ticks kDefaultCloseAt = 3000;
constexpr sim::Ticks kDefaultLatency = 1;
constexpr sim::Ticks kCloseGraceMs = 60000;

struct Action {
  sim::Ticks at = 0;
  std::string name;  // for the readable timeline
  std::function<void(sim::Script&)> run;
};

struct Options {
  std::uint64_t seed = 1;
  std::string eventsFile;
  std::string captureFile;
  std::optional<sim::Ticks> closeAt;
  bool device = true;
  std::uint16_t deviceRelease = 0x0100;
  std::uint16_t deviceType = 0x0420;
  sim::Ticks latency = kDefaultLatency;
  std::vector<sim::Ticks> clicks;
  bool click = true;
  std::optional<int> shiftKey;
  std::vector<sim::Ticks> unplugs;
  std::vector<sim::Ticks> plugs;
  std::optional<sim::Ticks> stallAt;
  std::optional<uft::ReportTrigger> unplugAfter;
  std::optional<uft::ReportTrigger> stallAfter;
  std::vector<std::uint64_t> failWrites;
  std::vector<std::uint64_t> failReads;
  std::vector<std::size_t> badChecksumPages;
  std::vector<std::pair<sim::Ticks, UINT>> sysCommands;
  std::vector<std::pair<sim::Ticks, UINT>> sentCommands;
  std::vector<std::pair<sim::Ticks, UINT>> sentSysCommands;
  std::vector<std::pair<sim::Ticks, std::string>> keys;
};

std::uint64_t ParseHex(const std::string& text) {
  std::size_t used = 0;
  const std::uint64_t value = std::stoull(text, &used, 16);
  if (used != text.size()) throw std::invalid_argument("not a hexadecimal number: " + text);
  return value;
}

// "MS:REST" → {MS, REST}
std::pair<sim::Ticks, std::string> ParseTimed(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) throw std::invalid_argument("expected MS:VALUE, got " + text);
  return {ParseNumber(text.substr(0, colon)), text.substr(colon + 1)};
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    auto value = [&] { return uft::OptionValue(argc, argv, i); };
    if (flag == "--seed") {
      options.seed = ParseNumber(value());
    } else if (flag == "--events") {
      options.eventsFile = value();
    } else if (flag == "--capture") {
      options.captureFile = value();
    } else if (flag == "--close-at") {
      options.closeAt = ParseNumber(value());
    } else if (flag == "--no-device") {
      options.device = false;
    } else if (flag == "--device-release") {
      options.deviceRelease = static_cast<std::uint16_t>(ParseHex(value()));
    } else if (flag == "--device-type") {
      options.deviceType = static_cast<std::uint16_t>(ParseHex(value()));
    } else if (flag == "--latency") {
      options.latency = ParseNumber(value());
    } else if (flag == "--click-at") {
      options.clicks.push_back(ParseNumber(value()));
    } else if (flag == "--no-click") {
      options.click = false;
    } else if (flag == "--shift") {
      const std::string side = value();
      if (side == "left") {
        options.shiftKey = VK_LSHIFT;
      } else if (side == "right") {
        options.shiftKey = VK_RSHIFT;
      } else {
        throw std::invalid_argument("--shift takes left or right");
      }
    } else if (flag == "--unplug-at") {
      options.unplugs.push_back(ParseNumber(value()));
    } else if (flag == "--plug-at") {
      options.plugs.push_back(ParseNumber(value()));
    } else if (flag == "--stall-at") {
      options.stallAt = ParseNumber(value());
    } else if (flag == "--unplug-after") {
      options.unplugAfter = uft::ParseReportTrigger(value());
    } else if (flag == "--stall-after") {
      options.stallAfter = uft::ParseReportTrigger(value());
    } else if (flag == "--fail-write") {
      options.failWrites.push_back(ParseNumber(value()));
    } else if (flag == "--fail-read") {
      options.failReads.push_back(ParseNumber(value()));
    } else if (flag == "--bad-checksum") {
      options.badChecksumPages.push_back(ParseNumber(value()));
    } else if (flag == "--syscommand") {
      auto [at, id] = ParseTimed(value());
      options.sysCommands.emplace_back(at, static_cast<UINT>(ParseNumber(id)));
    } else if (flag == "--send-command") {
      auto [at, id] = ParseTimed(value());
      const std::uint64_t number = ParseNumber(id);
      if (number > 0xFFFF) throw std::invalid_argument("--send-command takes an id up to 0xFFFF");
      options.sentCommands.emplace_back(at, static_cast<UINT>(number));
    } else if (flag == "--send-syscommand") {
      auto [at, id] = ParseTimed(value());
      options.sentSysCommands.emplace_back(at, static_cast<UINT>(ParseNumber(id)));
    } else if (flag == "--key") {
      auto [at, name] = ParseTimed(value());
      if (name != "Enter" && name != "Escape" && name != "F1" && name != "Alt+F4") {
        throw std::invalid_argument("unknown key " + name + " (Enter, Escape, F1, Alt+F4)");
      }
      options.keys.emplace_back(at, name);
    } else if (flag == "--help" || flag == "-h") {
      throw std::invalid_argument("");
    } else {
      throw std::invalid_argument("unknown option " + flag);
    }
  }
  if (!options.click && !options.clicks.empty()) {
    throw std::invalid_argument("--no-click and --click-at exclude each other");
  }
  if (options.click && options.clicks.empty() && options.device) {
    options.clicks.push_back(kDefaultClickAt);
  }
  return options;
}

HWND MainDialog(sim::Script& s) { return s.Ui().Dialog(uft::kMainDialog); }

void PressKey(sim::Script& s, const std::string& name) {
  if (name == "Enter") {
    s.Ui().Key(VK_RETURN);
  } else if (name == "Escape") {
    s.Ui().Key(VK_ESCAPE);
  } else if (name == "F1") {
    s.Ui().Key(VK_F1);
  } else {
    s.Ui().KeyAltF4();
  }
}

std::vector<Action> BuildActions(const Options& options, sim::HidId joystick) {
  std::vector<Action> actions;
  for (sim::Ticks at : options.clicks) {
    actions.push_back({at, "click Update", [shift = options.shiftKey](sim::Script& s) {
                         HWND dialog = MainDialog(s);
                         if (dialog == nullptr) return;
                         if (shift) s.Ui().SetKeyDown(*shift, true);
                         s.Ui().Click(s.Ui().Item(dialog, 1000));
                       }});
  }
  for (sim::Ticks at : options.unplugs) {
    actions.push_back({at, "unplug", [joystick](sim::Script& s) {
                         if (s.Hid().Present(joystick)) s.Hid().Unplug(joystick);
                       }});
  }
  for (sim::Ticks at : options.plugs) {
    actions.push_back({at, "plug", [joystick](sim::Script& s) {
                         if (!s.Hid().Present(joystick)) s.Hid().Replug(joystick);
                       }});
  }
  for (const auto& [at, id] : options.sysCommands) {
    actions.push_back({at, "system command", [id = id](sim::Script& s) {
                         if (HWND dialog = MainDialog(s)) s.Ui().Post(dialog, WM_SYSCOMMAND, id, 0);
                       }});
  }
  for (const auto& [at, id] : options.sentCommands) {
    actions.push_back({at, "send command " + std::to_string(id), [id = id](sim::Script& s) {
                         HWND dialog = MainDialog(s);
                         if (dialog == nullptr) return;
                         // The dialog's control with that id; null when it has none.
                         const HWND control = ::GetDlgItem(dialog, static_cast<int>(id));
                         s.Ui().SendFromOtherProgram(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                                     reinterpret_cast<LPARAM>(control));
                       }});
  }
  for (const auto& [at, id] : options.sentSysCommands) {
    actions.push_back({at, "send system command " + std::to_string(id), [id = id](sim::Script& s) {
                         if (HWND dialog = MainDialog(s))
                           s.Ui().SendFromOtherProgram(dialog, WM_SYSCOMMAND, id, 0);
                       }});
  }
  for (const auto& [at, name] : options.keys) {
    actions.push_back({at, "key " + name, [name = name](sim::Script& s) { PressKey(s, name); }});
  }
  std::stable_sort(actions.begin(), actions.end(),
                   [](const Action& a, const Action& b) { return a.at < b.at; });
  return actions;
}

// Answers every message box that is open for kBoxAnswerDelay with OK.
bool AnswerOpenBox(sim::Script& s) {
  if (!s.Ui().OpenBox()) return false;
  s.After(kBoxAnswerDelay);
  if (s.Ui().OpenBox()) s.Ui().PressBoxButton(IDOK);
  return true;
}

// Plays the actions at their times, answering boxes as they come, then
// closes the dialog: at closeAt when it was asked for, else once nothing is
// left to do and no update is under way.
void PlayScript(sim::Script& s, const std::vector<Action>& actions, sim::Ticks closeAt,
                bool closeExplicit) {
  std::size_t next = 0;
  auto dialogGone = [&] { return s.Ui().Dialog(uft::kMainDialog) == nullptr; };
  bool opened = false;
  std::optional<sim::Ticks> closeDeadline;  // set once WM_CLOSE is posted
  for (;;) {
    if (!opened) opened = !dialogGone();
    if (opened && dialogGone() && !s.Ui().OpenBox()) return;
    if (AnswerOpenBox(s)) continue;
    const sim::Ticks due = closeDeadline           ? *closeDeadline
                           : next < actions.size() ? actions[next].at
                                                   : closeAt;
    if (s.Now() < due) {
      s.WaitFor([&] { return s.Ui().OpenBox().has_value() || (opened && dialogGone()); },
                due - s.Now());
      continue;
    }
    if (closeDeadline) return;  // the dialog did not go; the run's outcome tells
    if (next < actions.size()) {
      actions[next++].run(s);
      continue;
    }
    HWND dialog = s.Ui().Dialog(uft::kMainDialog);
    if (dialog == nullptr) {
      if (opened) return;
      s.After(100);
      continue;
    }
    if (!closeExplicit && s.Ui().Cursor() == "wait") {
      s.After(100);
      continue;
    }
    s.Ui().PostClose(dialog);
    closeDeadline = s.Now() + kCloseGraceMs;
  }
}

// Faults that begin after the joystick's Nth report of a kind take effect
// as the next transfer starts, before it reaches the device.
void ArmReportFaults(uft::ProgramMachine& machine, sim::HidId joystick, const Options& options) {
  if (!options.unplugAfter && !options.stallAfter) return;
  machine.Hid().Faults(joystick).failIf =
      [&machine, joystick, unplugAfter = options.unplugAfter, stallAfter = options.stallAfter,
       unplugged = false, stalled = false](DWORD, bool, const std::uint8_t*) mutable {
        sim::HidBus& hid = machine.Hid();
        const sim::Joystick& device = hid.JoystickOf(joystick);
        if (unplugAfter && !unplugged && unplugAfter->Reached(device)) {
          unplugged = true;
          hid.Unplug(joystick);
        }
        if (stallAfter && !stalled && stallAfter->Reached(device)) {
          stalled = true;
          hid.Faults(joystick).stallAt = sim::Now();
        }
        return false;
      };
}

// With an explicit close time, the actions due after it never run.
void DropActionsAfter(std::vector<Action>& actions, sim::Ticks closeAt) {
  auto later = std::find_if(actions.begin(), actions.end(),
                            [closeAt](const Action& a) { return a.at > closeAt; });
  if (later == actions.end()) return;
  std::cerr << "updater-sim: closing at " << closeAt << " ms drops the later actions:";
  for (auto it = later; it != actions.end(); ++it) std::cerr << " " << it->name << " at " << it->at;
  std::cerr << "\n";
  actions.erase(later, actions.end());
}

// Each message sent from another program, and what it got back, on stderr.
void ReportSends(const sim::UiSystem& ui) {
  for (const sim::OtherProgramSend& send : ui.OtherProgramSends()) {
    std::cerr << "updater-sim: " << (send.message == WM_COMMAND ? "WM_COMMAND" : "WM_SYSCOMMAND")
              << " 0x" << std::hex << send.wParam << " sent at " << std::dec << send.sentAt
              << " ms ";
    if (send.returnedAt) {
      std::cerr << "returned " << send.result << " at " << *send.returnedAt << " ms\n";
    } else {
      std::cerr << "had no reply when the run ended\n";
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const std::exception& error) {
    if (error.what()[0] != '\0') std::cerr << "updater-sim: " << error.what() << "\n";
    std::cerr
        << "usage: updater-sim [--seed N] [--events FILE] [--capture FILE] [--close-at MS]\n"
           "  [--no-device] [--device-release HEX] [--device-type HEX] [--latency MS]\n"
           "  [--click-at MS]... [--no-click] [--shift left|right] [--unplug-at MS]...\n"
           "  [--plug-at MS]... [--stall-at MS] [--unplug-after KIND:N] [--stall-after KIND:N]\n"
           "  [--fail-write N]... [--fail-read N]... [--bad-checksum PAGE]...\n"
           "  [--syscommand MS:ID]... [--send-command MS:ID]... [--send-syscommand MS:ID]...\n"
           "  [--key MS:Enter|Escape|F1|Alt+F4]...\n"
           "Update is clicked at 2000 ms unless --click-at or --no-click is given; each\n"
           "transfer takes 1 ms unless --latency is given. Boxes are answered with OK after\n"
           "500 ms. --close-at closes the dialog at that time and drops later actions;\n"
           "without it the dialog is closed when every action has run and no update is\n"
           "under way. --syscommand posts WM_SYSCOMMAND with any value to the dialog;\n"
           "--send-syscommand sends it, and --send-command sends WM_COMMAND with that id\n"
           "and BN_CLICKED (lParam the dialog's control with that id, else 0), each from a\n"
           "thread of another program that waits for the reply; stderr tells what each\n"
           "send returned and when.\n"
           "KIND:N: the joystick's Nth report of a kind (identify, ping, erase, data,\n"
           "program, checksum, finish, report); the fault begins as the next transfer starts.\n";
    return 1;
  }

  uft::ProgramMachine machine(options.seed);
  sim::HidId joystick = 0;
  if (options.device || !options.plugs.empty()) {
    sim::HidInterfaceSpec spec;
    spec.latency = options.latency;
    spec.joystick.deviceType = options.deviceType;
    spec.joystick.release = options.deviceRelease;
    joystick = machine.Hid().Plug(spec);
    if (!options.device) machine.Hid().Unplug(joystick);
    auto& faults = machine.Hid().Faults(joystick);
    for (auto n : options.failWrites) faults.writes.Fail(n);
    for (auto n : options.failReads) faults.reads.Fail(n);
    if (options.stallAt) faults.stallAt = *options.stallAt;
    for (auto page : options.badChecksumPages)
      machine.Hid().JoystickOf(joystick).BadChecksumForPage(page);
    ArmReportFaults(machine, joystick, options);
  }

  std::vector<Action> actions = BuildActions(options, joystick);
  sim::Ticks closeAt = options.closeAt.value_or(kDefaultCloseAt);
  if (options.closeAt) {
    DropActionsAfter(actions, closeAt);
  } else if (!actions.empty()) {
    closeAt = std::max(closeAt, actions.back().at + 1000);
  }

  const sim::RunResult result = machine.Run(
      [&](sim::Script& s) { PlayScript(s, actions, closeAt, options.closeAt.has_value()); });

  ReportSends(machine.Ui());
  const std::string events = machine.Events().Text();
  std::cout << "seed " << machine.Seed() << "\n" << events;
  if (!options.eventsFile.empty()) std::ofstream(options.eventsFile, std::ios::binary) << events;
  if (!options.captureFile.empty()) {
    std::ofstream(options.captureFile, std::ios::binary)
        << machine.Hid().CaptureText(sim::kMainThreadId);
  }
  switch (result.outcome) {
    case sim::Outcome::kExited:
      return 0;
    case sim::Outcome::kDeadlock:
      std::cerr << "updater-sim: deadlock\n" << result.report << "\n";
      return 2;
    case sim::Outcome::kTimeLimit:
      std::cerr << "updater-sim: the run did not end (time limit)\n" << result.report << "\n";
      return 3;
    case sim::Outcome::kScriptFailed:
      std::cerr << "updater-sim: the script failed\n" << result.report << "\n";
      return 4;
    case sim::Outcome::kCrashed:
      std::cerr << "updater-sim: the program crashed\n" << result.report << "\n";
      return 5;
  }
  return 4;
}
