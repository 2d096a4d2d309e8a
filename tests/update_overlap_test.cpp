// The Update command beside the device monitor thread: what the display
// shows while an update runs, a device that the command's search dropped,
// and clicks that reach the dialog while an update is under way.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/UpdateFirmwareDlg.h"
#include "simwin/kernel.h"
#include "support/program_run.h"

namespace {

constexpr char kJoystickName[] = "Brelt Kestrune Arcade Joystick";

// Display changes (texts, enabled states, the bar's position) logged while
// the first message box was up, in the order they happened.
std::vector<std::string> ChangesUnderTheBox(uft::ProgramMachine& machine, sim::Ticks answeredAt) {
  std::vector<std::string> changes;
  bool boxUp = false;
  for (const std::string& line : machine.Events().Lines()) {
    std::istringstream in(line);
    sim::Ticks at = 0;
    std::string kind, what;
    in >> at >> kind >> what;
    if (at >= answeredAt) break;
    if (kind == "box") boxUp = true;
    if (!boxUp) continue;
    if (kind == "text" || kind == "enable" || (kind == "progress" && what == "pos")) {
      changes.push_back(line);
    }
  }
  return changes;
}

// Identifies the joystick, clicks Update at `clickAt`, leaves the update's box
// up for `heldMs` (after `whileUp`) and answers it, then closes the program
// 500 ms later. Returns the time at which the box was answered.
sim::Ticks RunUpdateHoldingItsBox(uft::ProgramMachine& machine, sim::Ticks clickAt,
                                  sim::Ticks heldMs,
                                  const std::function<void(sim::Script&)>& whileUp = {}) {
  sim::Ticks answeredAt = 0;
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    s.At(clickAt);
    ASSERT_TRUE(uft::ClickUpdate(s));
    ASSERT_TRUE(uft::AwaitBox(s));
    if (whileUp) whileUp(s);
    s.After(heldMs);
    answeredAt = s.Now();
    uft::AnswerBox(s);
    s.After(500);
    uft::CloseProgram(s);
  });
  EXPECT_EQ(result.outcome, sim::Outcome::kExited) << "seed " << machine.Seed() << result.report;
  return answeredAt;
}

// Keep-alive reports of the monitor thread that started within [from, to].
std::size_t KeepAlivesBetween(uft::ProgramMachine& machine, sim::Ticks from, sim::Ticks to) {
  std::size_t n = 0;
  for (const auto& t : machine.Hid().Capture()) {
    n += t.thread != sim::kMainThreadId && t.write && t.bytes[2] == CMD_PING && t.at >= from &&
         t.at <= to;
  }
  return n;
}

// What the dialog shows of the device and the update.
struct Display {
  std::string name, version;
  bool updateEnabled = false;
  int bar = -1;
};

Display ReadDisplay(sim::Script& s) {
  HWND dialog = uft::MainDialog(s);
  return {s.Ui().Text(dialog, IDC_DEVICE_NAME), s.Ui().Text(dialog, IDC_DEVICE_VERSION),
          s.Ui().Enabled(s.Ui().Item(dialog, IDC_UPDATE)),
          s.Ui().Progress(s.Ui().Item(dialog, IDC_UPDATE_PROGRESS)).pos};
}

// The identified joystick is unplugged at 2010 ms, before a keep-alive tells
// of it, and a click at 2150 ms searches and finds nothing; the keep-alive
// due at 2200 ms falls into the command's wait and writes nothing.
void UnplugUnnoticedThenClick(sim::Script& s, sim::HidId stick) {
  ASSERT_TRUE(uft::AwaitIdentified(s));
  s.At(2010);
  s.Hid().Unplug(stick);
  s.At(2150);
  ASSERT_TRUE(uft::ClickUpdate(s));
}

TEST(UpdateBesideMonitor, DisplayStaysWhileTheSuccessBoxIsUp) {
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    uft::ProgramMachine machine(seed);
    machine.Hid().Plug();
    const sim::Ticks answeredAt = RunUpdateHoldingItsBox(machine, 2100, 1500);
    ASSERT_EQ(machine.Ui().Boxes().size(), 1u) << "seed " << seed;
    EXPECT_EQ(machine.Ui().Boxes()[0].caption, "OK") << "seed " << seed;
    const auto changes = ChangesUnderTheBox(machine, answeredAt);
    EXPECT_TRUE(changes.empty()) << "seed " << seed << ": " << changes.front();
    // The monitor thread kept to keep-alive passes: after the box they go on
    // with the handle that the update opened, and nothing searched again.
    EXPECT_EQ(machine.Hid().Opens().size(), 2u) << "seed " << seed;
  }
}

// The keep-alive passes test the flag at 1200, 1400 ... ms. A click at 2150
// holds its search until 2250, so the test at 2200 falls into the command's
// wait: that pass writes nothing, nor does any pass until the box is answered.
// The paused monitor thread still wakes every 200 ms while the box is up.
TEST(UpdateBesideMonitor, KeepAliveDueDuringTheCommandsWaitIsSkipped) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  const sim::Ticks answeredAt = RunUpdateHoldingItsBox(machine, 2150, 500);
  EXPECT_EQ(KeepAlivesBetween(machine, 2150, answeredAt), 0u);
  EXPECT_GE(KeepAlivesBetween(machine, answeredAt, answeredAt + 500), 2u);
  const auto monitor = uft::FindMonitorThread(machine.Kern());
  ASSERT_TRUE(monitor);
  int keepAliveSleeps = 0;
  for (const sim::Call& c : machine.Calls().Named("Sleep")) {
    keepAliveSleeps +=
        c.thread == monitor->id && c.args == "200" && c.at > answeredAt - 500 && c.at < answeredAt;
  }
  EXPECT_GE(keepAliveSleeps, 2);
}

// A click posted at 2200 ms, just as a keep-alive pass wakes, with the
// user-interface thread run first from then on: in the schedules where the
// pass tests the flag before the click sets it, the command has set it by the
// time the pass takes the link. That pass must test again and write nothing,
// and no later pass writes until the box is answered.
TEST(UpdateBesideMonitor, KeepAliveThatTakesTheLinkAfterThePauseWritesNothing) {
  int racedSeeds = 0;
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    uft::ProgramMachine machine(seed);
    machine.Hid().Plug();
    machine.Kern().FavourThread(sim::kMainThreadId, 2200, 2200);
    sim::Ticks answeredAt = 0;
    const auto result = machine.Run([&](sim::Script& s) {
      uft::AwaitMainDialog(s);
      ASSERT_TRUE(uft::AwaitIdentified(s));
      s.At(2200);
      uft::PostUpdateClick(s);
      ASSERT_TRUE(uft::AwaitBox(s));
      s.After(300);
      answeredAt = s.Now();
      uft::AnswerBox(s);
      s.After(500);
      uft::CloseProgram(s);
    });
    ASSERT_EQ(result.outcome, sim::Outcome::kExited) << "seed " << seed << result.report;
    EXPECT_EQ(KeepAlivesBetween(machine, 2201, answeredAt - 1), 0u) << "seed " << seed;
    // Did the pass at 2200 take the link after the command's wait began?
    const auto monitor = uft::FindMonitorThread(machine.Kern());
    ASSERT_TRUE(monitor);
    std::optional<std::uint64_t> paused, linkTaken;
    for (const sim::Call& c : machine.Calls().All()) {
      if (c.at != 2200) continue;
      if (c.thread == sim::kMainThreadId && c.name == "Sleep") paused = c.seq;
      if (c.thread == monitor->id && c.name == "WaitForSingleObject" &&
          c.args.ends_with(" signaled")) {
        linkTaken = c.seq;
      }
    }
    const bool raced = paused && linkTaken && *linkTaken > *paused;
    EXPECT_FALSE(raced && KeepAlivesBetween(machine, 2200, 2200) > 0) << "seed " << seed;
    racedSeeds += raced;
  }
  EXPECT_GT(racedSeeds, 0) << "no schedule took the link after the pause began";
}

// A click's search finds nothing (the joystick was unplugged unnoticed) while
// the keep-alive skips its write; the joystick comes back and a second click
// updates it. The monitor's next search waits for the link until the box is
// answered and finds the joystick: nothing changes under the box, and the
// joystick is shown after it.
TEST(UpdateBesideMonitor, DisplayStaysUnderTheBoxAfterASearchThatFoundNothing) {
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    uft::ProgramMachine machine(seed);
    const sim::HidId stick = machine.Hid().Plug();
    sim::Ticks answeredAt = 0;
    Display after;
    const auto result = machine.Run([&](sim::Script& s) {
      uft::AwaitMainDialog(s);
      UnplugUnnoticedThenClick(s, stick);
      s.At(2260);
      s.Hid().Replug(stick);
      s.At(2320);
      ASSERT_TRUE(uft::ClickUpdate(s));
      ASSERT_TRUE(uft::AwaitBox(s));
      s.After(1500);
      answeredAt = s.Now();
      uft::AnswerBox(s);
      s.After(1500);
      after = ReadDisplay(s);
      uft::CloseProgram(s);
    });
    ASSERT_EQ(result.outcome, sim::Outcome::kExited) << "seed " << seed << result.report;
    ASSERT_EQ(machine.Ui().Boxes().size(), 1u) << "seed " << seed;
    EXPECT_EQ(machine.Ui().Boxes()[0].caption, "OK") << "seed " << seed;
    const auto changes = ChangesUnderTheBox(machine, answeredAt);
    EXPECT_TRUE(changes.empty()) << "seed " << seed << ": " << changes.front();
    EXPECT_EQ(after.name, kJoystickName) << "seed " << seed;
    EXPECT_EQ(after.version, "V1.12") << "seed " << seed;
    EXPECT_TRUE(after.updateEnabled) << "seed " << seed;
    EXPECT_EQ(after.bar, 68) << "seed " << seed;
  }
}

// The watched joystick stalls; a click waits for the link while the
// keep-alive write from 3200 ms hangs, until that write is given up at
// 4200 ms and the joystick counts as lost. The user-interface thread, run
// first from then on, takes the link at once and its search finds the
// joystick again (it is still attached) before the monitor thread looks at
// the field. The monitor's next pass searches all the same, and shows the
// joystick once the update's box is answered.
TEST(UpdateBesideMonitor, LostJoystickTakenOverByTheCommandIsShownAgain) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  machine.Hid().Faults(stick).stallAt = 3100;
  machine.Kern().FavourThread(sim::kMainThreadId, 4200, 4200);
  Display later;
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    s.At(3250);
    ASSERT_TRUE(uft::ClickUpdate(s));
    s.At(4400);
    s.Hid().Faults(stick).stallAt.reset();
    ASSERT_TRUE(uft::AwaitBox(s));
    s.After(500);
    uft::AnswerBox(s);
    s.After(2000);
    later = ReadDisplay(s);
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_EQ(later.name, kJoystickName);
  EXPECT_TRUE(later.updateEnabled);
}

// A click at 2100 ms: the command searches at 2200 ms, just as the
// keep-alive pass wakes, tests the flag, writes nothing, and the monitor
// thread picks its next pass by whether a device is open. While the
// command's search runs the field still holds the joystick's old handle, so
// whatever the order of the two threads (a few of these seeds have the
// monitor choose in the midst of the search), that next pass watches, and
// after the update the keep-alive goes on with the handle the update used:
// nothing searches again.
TEST(UpdateBesideMonitor, PassChosenDuringTheCommandsSearchWatches) {
  for (std::uint64_t seed = 1; seed <= 160; ++seed) {
    uft::ProgramMachine machine(seed);
    machine.Hid().Plug();
    RunUpdateHoldingItsBox(machine, 2100, 300);
    EXPECT_EQ(machine.Hid().Opens().size(), 2u) << "seed " << seed;
  }
}

struct DroppedCase {
  const char* name;
  bool otherDevice;  // plugged meanwhile: the joystick's ids, another device type
  const char* nameShown;
};

class DeviceDroppedBySearches : public ::testing::TestWithParam<DroppedCase> {};

// The joystick is unplugged unnoticed; two clicks search and find nothing,
// and each holds off the keep-alive pass due meanwhile (at 2200 and 2400), so
// no keep-alive write fails to tell of the loss. The search pass after them
// finds nothing, or a device it cannot identify: the display must not go on
// showing the joystick's release, nor offer Update.
TEST_P(DeviceDroppedBySearches, IsNotLeftOnShow) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  std::string nameBetween;
  Display later;
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    UnplugUnnoticedThenClick(s, stick);
    s.At(2350);
    nameBetween = ReadDisplay(s).name;
    ASSERT_TRUE(uft::ClickUpdate(s));
    if (GetParam().otherDevice) {
      s.At(2500);
      sim::HidInterfaceSpec other;
      other.joystick.deviceType = 0x0421;
      s.Hid().Plug(other);
    }
    s.At(4000);
    later = ReadDisplay(s);
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_TRUE(machine.Ui().Boxes().empty());
  EXPECT_EQ(nameBetween, kJoystickName);  // nothing has told of the loss yet
  EXPECT_EQ(later.name, GetParam().nameShown);
  EXPECT_EQ(later.version, "");
  EXPECT_FALSE(later.updateEnabled);
  EXPECT_EQ(KeepAlivesBetween(machine, 2010, 3000), 0u);
}

INSTANTIATE_TEST_SUITE_P(Found, DeviceDroppedBySearches,
                         ::testing::Values(DroppedCase{"Nothing", false, ""},
                                           DroppedCase{"UnknownDevice", true, "Unknown Device !"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The monitor thread is in a search pass while the Update command opens the
// second joystick and updates it: the watched one stalled, the command waited
// for the link, and the stalled keep-alive failed when that joystick was
// unplugged. The updated joystick goes too before the box is answered; the
// monitor's search then drops the handle the update used and finds nothing.
// The release the update showed must not stay on show without a device.
TEST(UpdateBesideMonitor, DeviceDroppedByTheMonitorsSearchIsNotLeftOnShow) {
  uft::ProgramMachine machine;
  const sim::HidId watched = machine.Hid().Plug();
  const sim::HidId updated = machine.Hid().Plug();
  machine.Hid().Faults(watched).stallAt = 1500;
  std::string versionUnderBox;
  Display later;
  const auto result = machine.Run([&](sim::Script& s) {
    HWND dialog = uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    s.At(1650);
    ASSERT_TRUE(uft::ClickUpdate(s));
    s.At(1800);
    s.Hid().Unplug(watched);
    ASSERT_TRUE(uft::AwaitBox(s));
    versionUnderBox = s.Ui().Text(dialog, IDC_DEVICE_VERSION);
    s.At(2500);
    s.Hid().Unplug(updated);
    s.At(3000);
    uft::AnswerBox(s);
    s.At(4500);
    later = ReadDisplay(s);
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  ASSERT_EQ(machine.Ui().Boxes().size(), 1u);
  EXPECT_EQ(machine.Ui().Boxes()[0].caption, "OK");
  EXPECT_EQ(versionUnderBox, "V1.12");
  EXPECT_EQ(later.version, "");
  EXPECT_EQ(later.bar, 0);
}

// Another program posts a click while the update's box is up: the box's
// modal loop dispatches it, and it must neither start a second update nor
// wait for the link that the running update holds.
TEST(UpdateBesideMonitor, ClickPostedWhileTheBoxIsUpIsIgnored) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  sim::Ticks postedAt = 0;
  const sim::Ticks answeredAt = RunUpdateHoldingItsBox(machine, 0, 1000, [&](sim::Script& s) {
    postedAt = s.Now();
    HWND dialog = uft::MainDialog(s);
    ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_UPDATE, BN_CLICKED),
                   reinterpret_cast<LPARAM>(s.Ui().Item(dialog, IDC_UPDATE)));
  });
  EXPECT_EQ(machine.Ui().Boxes().size(), 1u);
  EXPECT_EQ(machine.Hid().Opens().size(), 2u);  // the monitor's and the one update's
  // The update's pause holds until its box is answered, then the keep-alive resumes.
  EXPECT_EQ(KeepAlivesBetween(machine, postedAt, answeredAt), 0u);
  EXPECT_GE(KeepAlivesBetween(machine, answeredAt, answeredAt + 500), 2u);
}

struct StoppingCase {
  const char* name;
  std::function<void(sim::Script&)> stop;
};

class ClickWhileStopping : public ::testing::TestWithParam<StoppingCase> {};

// The dialog is stopping, waiting for the monitor thread's keep-alive pass
// (due at 1400 ms), when another program sends a click. The stop's wait
// delivers sent messages, but the click must not start an update under the
// closing dialog.
TEST_P(ClickWhileStopping, IsIgnored) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  const auto result = machine.Run([&](sim::Script& s) {
    HWND dialog = uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    s.At(1250);
    GetParam().stop(s);
    s.At(1300);
    ::SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_UPDATE, BN_CLICKED),
                   reinterpret_cast<LPARAM>(s.Ui().Item(dialog, IDC_UPDATE)));
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_TRUE(machine.Ui().Boxes().empty());
  for (const sim::HidTransfer& t : machine.Hid().Capture()) {
    EXPECT_NE(t.thread, sim::kMainThreadId) << "the user-interface thread wrote at " << t.at;
  }
  // Nor may it hold up the stop: a sleep there takes no sent messages, so
  // the monitor's last control changes would wait with it.
  for (const sim::Call& c : machine.Calls().Named("Sleep")) {
    EXPECT_FALSE(c.thread == sim::kMainThreadId && c.at >= 1250) << "slept at " << c.at;
  }
}

INSTANTIATE_TEST_SUITE_P(Stops, ClickWhileStopping,
                         ::testing::Values(StoppingCase{"WmClose",
                                                        [](sim::Script& s) {
                                                          s.Ui().PostClose(uft::MainDialog(s));
                                                        }},
                                           StoppingCase{"Quit",
                                                        [](sim::Script&) {
                                                          ASSERT_TRUE(::PostThreadMessageA(
                                                              sim::kMainThreadId, WM_QUIT, 0, 0));
                                                        }}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
