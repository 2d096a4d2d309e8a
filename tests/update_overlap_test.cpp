// The Update command beside the device monitor thread: what the display
// shows while an update runs, a device that the command's search dropped,
// and clicks that reach the dialog while an update is under way.
#include <gtest/gtest.h>

#include <functional>
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

TEST(UpdateBesideMonitor, DisplayStaysWhileTheSuccessBoxIsUp) {
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    uft::ProgramMachine machine(seed);
    machine.Hid().Plug();
    const sim::Ticks answeredAt = RunUpdateHoldingItsBox(machine, 2100, 1500);
    ASSERT_EQ(machine.Ui().Boxes().size(), 1u) << "seed " << seed;
    EXPECT_EQ(machine.Ui().Boxes()[0].caption, "OK") << "seed " << seed;
    const auto changes = ChangesUnderTheBox(machine, answeredAt);
    EXPECT_TRUE(changes.empty()) << "seed " << seed << ": " << changes.front();
  }
}

// The keep-alive passes test the flag at 1200, 1400 ... ms. A click at 2150
// holds its search until 2250, so the test at 2200 falls into the command's
// wait: that pass writes nothing, nor does any pass until the box is answered.
TEST(UpdateBesideMonitor, KeepAliveDueDuringTheCommandsWaitIsSkipped) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  const sim::Ticks answeredAt = RunUpdateHoldingItsBox(machine, 2150, 500);
  EXPECT_EQ(KeepAlivesBetween(machine, 2150, answeredAt), 0u);
  EXPECT_GE(KeepAlivesBetween(machine, answeredAt, answeredAt + 500), 2u);
}

// The joystick is unplugged unnoticed; two clicks search and find nothing,
// and each holds off the keep-alive pass due meanwhile (at 2200 and 2400), so
// no keep-alive write fails to tell of the loss. The pass after them finds no
// device open: the display must not go on showing the joystick.
TEST(UpdateBesideMonitor, DeviceDroppedBySearchesIsNotLeftOnShow) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  std::string nameBetween, nameLater;
  bool enabledLater = true;
  const auto result = machine.Run([&](sim::Script& s) {
    HWND dialog = uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    s.At(2010);
    s.Hid().Unplug(stick);
    s.At(2150);
    ASSERT_TRUE(uft::ClickUpdate(s));
    s.At(2350);
    nameBetween = s.Ui().Text(dialog, IDC_DEVICE_NAME);
    ASSERT_TRUE(uft::ClickUpdate(s));
    s.At(4000);
    nameLater = s.Ui().Text(dialog, IDC_DEVICE_NAME);
    enabledLater = s.Ui().Enabled(s.Ui().Item(dialog, IDC_UPDATE));
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_TRUE(machine.Ui().Boxes().empty());
  EXPECT_EQ(nameBetween, kJoystickName);  // nothing has told of the loss yet
  EXPECT_EQ(nameLater, "");
  EXPECT_FALSE(enabledLater);
  EXPECT_EQ(KeepAlivesBetween(machine, 2010, 4000), 0u);
}

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
  std::string versionUnderBox, versionLater;
  int barLater = -1;
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
    versionLater = s.Ui().Text(dialog, IDC_DEVICE_VERSION);
    barLater = s.Ui().Progress(s.Ui().Item(dialog, IDC_UPDATE_PROGRESS)).pos;
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  ASSERT_EQ(machine.Ui().Boxes().size(), 1u);
  EXPECT_EQ(machine.Ui().Boxes()[0].caption, "OK");
  EXPECT_EQ(versionUnderBox, "V1.12");
  EXPECT_EQ(versionLater, "");
  EXPECT_EQ(barLater, 0);
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

}  // namespace
