// updater-sim: runs the real program on the simulated Windows against a
// simulated joystick and prints what the dialog shows, line by line.
//
//   updater-sim [--seed N] [--events FILE] [--capture FILE] [--close-at MS]
//               [--no-device] [--device-release HEX] [--device-type HEX]
//               [--latency MS] [--click-at MS]... [--shift left|right]
//               [--unplug-at MS]... [--plug-at MS]... [--stall-at MS]
//               [--fail-write N]... [--fail-read N]... [--bad-checksum PAGE]...
//               [--syscommand MS:ID]... [--key MS:NAME]...
//
// Numbers are decimal or 0x-hex. Key names: Enter, Escape, F1, Alt+F4.
// Message boxes are answered with OK 500 virtual ms after they appear.
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
#include "support/cli.h"
#include "support/program_run.h"

namespace {

using uft::ParseNumber;

constexpr sim::Ticks kBoxAnswerDelay = 500;
constexpr sim::Ticks kDefaultClickAt = 2000;
constexpr sim::Ticks kDefaultCloseAt = 3000;

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
  sim::Ticks latency = 0;
  std::vector<sim::Ticks> clicks;
  std::optional<int> shiftKey;
  std::vector<sim::Ticks> unplugs;
  std::vector<sim::Ticks> plugs;
  std::optional<sim::Ticks> stallAt;
  std::vector<std::uint64_t> failWrites;
  std::vector<std::uint64_t> failReads;
  std::vector<std::size_t> badChecksumPages;
  std::vector<std::pair<sim::Ticks, UINT>> sysCommands;
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
    } else if (flag == "--fail-write") {
      options.failWrites.push_back(ParseNumber(value()));
    } else if (flag == "--fail-read") {
      options.failReads.push_back(ParseNumber(value()));
    } else if (flag == "--bad-checksum") {
      options.badChecksumPages.push_back(ParseNumber(value()));
    } else if (flag == "--syscommand") {
      auto [at, id] = ParseTimed(value());
      options.sysCommands.emplace_back(at, static_cast<UINT>(ParseNumber(id)));
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
  if (options.clicks.empty() && options.device) options.clicks.push_back(kDefaultClickAt);
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
                         if (HWND dialog = MainDialog(s)) s.Ui().SysCommand(dialog, id);
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
// closes the dialog once nothing is left to do.
void PlayScript(sim::Script& s, const std::vector<Action>& actions, sim::Ticks closeAt,
                bool closeExplicit) {
  std::size_t next = 0;
  auto dialogGone = [&] { return s.Ui().Dialog(uft::kMainDialog) == nullptr; };
  bool opened = false;
  for (;;) {
    if (!opened) opened = s.Ui().Dialog(uft::kMainDialog) != nullptr;
    if (opened && dialogGone() && !s.Ui().OpenBox()) return;
    const sim::Ticks due = next < actions.size() ? actions[next].at : closeAt;
    const sim::Ticks now = s.Now();
    if (now < due) {
      s.WaitFor([&] { return s.Ui().OpenBox().has_value() || (opened && dialogGone()); },
                due - now);
      if (AnswerOpenBox(s)) continue;
      if (s.Now() < due) continue;
    }
    if (AnswerOpenBox(s)) continue;
    if (next < actions.size()) {
      actions[next++].run(s);
      continue;
    }
    // Nothing left: close, unless an update or a box is still under way.
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
    s.WaitFor([&] { return dialogGone() || s.Ui().OpenBox().has_value(); }, 60000);
    if (dialogGone()) return;
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
           "  [--click-at MS]... [--shift left|right] [--unplug-at MS]... [--plug-at MS]...\n"
           "  [--stall-at MS] [--fail-write N]... [--fail-read N]... [--bad-checksum PAGE]...\n"
           "  [--syscommand MS:ID]... [--key MS:Enter|Escape|F1|Alt+F4]...\n";
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
  }

  const std::vector<Action> actions = BuildActions(options, joystick);
  sim::Ticks closeAt = options.closeAt.value_or(kDefaultCloseAt);
  if (!options.closeAt && !actions.empty()) closeAt = std::max(closeAt, actions.back().at + 1000);

  const sim::RunResult result = machine.Run(
      [&](sim::Script& s) { PlayScript(s, actions, closeAt, options.closeAt.has_value()); });

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
