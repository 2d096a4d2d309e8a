// The Update button: the monitor thread held off, the joystick found again,
// the update run, and the link used by one thread at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "app/UpdateFirmwareDlg.h"
#include "simwin/kernel.h"
#include "support/program_run.h"

namespace {

bool IsMonitor(const sim::HidTransfer& t) { return t.thread != sim::kMainThreadId; }

// The update's exchanges (from its first identity query to its last report)
// must not have the monitor thread's transfers among them.
void ExpectNoInterleaving(const std::vector<sim::HidTransfer>& capture) {
  std::size_t first = capture.size(), last = 0;
  for (std::size_t i = 0; i < capture.size(); ++i) {
    if (IsMonitor(capture[i])) continue;
    first = std::min(first, i);
    last = i;
  }
  for (std::size_t i = first; i < last && i < capture.size(); ++i) {
    EXPECT_FALSE(IsMonitor(capture[i]))
        << "monitor transfer at " << capture[i].at << " inside the update";
  }
}

std::size_t MonitorWritesAfter(const std::vector<sim::HidTransfer>& capture, sim::Ticks t) {
  std::size_t n = 0;
  for (const auto& x : capture) n += IsMonitor(x) && x.write && x.at > t;
  return n;
}

TEST(UpdateCommand, HoldsTheKeepAliveOffAndResumesItAfterwards) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  sim::Ticks boxClosed = 0;
  std::size_t handlesDuringWatch = 0, handlesAfter = 0;
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    s.After(150);
    handlesDuringWatch = machine.Kern().OpenHandleCount();
    ASSERT_TRUE(uft::ClickUpdate(s));
    ASSERT_TRUE(uft::AwaitBox(s));
    uft::AnswerBox(s);
    boxClosed = s.Now();
    s.After(1000);
    handlesAfter = machine.Kern().OpenHandleCount();
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  const auto& capture = machine.Hid().Capture();
  ExpectNoInterleaving(capture);
  // The command opened the joystick anew, and closed the handle it replaced.
  EXPECT_EQ(machine.Hid().Opens().size(), 2u);
  EXPECT_EQ(handlesAfter, handlesDuringWatch);
  // Keep-alive reports every 200 ms again after the update.
  EXPECT_GE(MonitorWritesAfter(capture, boxClosed), 4u);
}

TEST(UpdateCommand, ClickAfterAnUnnoticedUnplugShowsNothing) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  std::string nameAfterSearch;
  bool enabledAfterSearch = false;
  std::string nameLater;
  const auto result = machine.Run([&](sim::Script& s) {
    HWND dialog = uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    s.At(2010);
    s.Hid().Unplug(stick);
    ASSERT_TRUE(uft::ClickUpdate(s));
    s.At(2130);  // the command's search has run; the monitor's next test is at 2200
    nameAfterSearch = s.Ui().Text(dialog, 1014);
    enabledAfterSearch = s.Ui().Enabled(s.Ui().Item(dialog, 1000));
    s.At(2500);
    nameLater = s.Ui().Text(dialog, 1014);
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_TRUE(machine.Ui().Boxes().empty());
  EXPECT_EQ(nameAfterSearch, "Brelt Kestrune Arcade Joystick");
  EXPECT_TRUE(enabledAfterSearch);
  // The keep-alive pass under way wrote to the null handle and cleared the display.
  EXPECT_EQ(nameLater, "");
}

TEST(UpdateCommand, ErrorEndsTheUpdateAndTheKeepAliveResumes) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  machine.Hid().JoystickOf(stick).BadChecksumForPage(3);
  sim::Ticks boxClosed = 0;
  machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    ASSERT_TRUE(uft::ClickUpdate(s));
    const auto box = uft::AwaitBox(s);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->caption, "Error");
    uft::AnswerBox(s);
    boxClosed = s.Now();
    s.After(1000);
    uft::CloseProgram(s);
  });
  EXPECT_GE(MonitorWritesAfter(machine.Hid().Capture(), boxClosed), 4u);
}

TEST(UpdateCommand, TwoJoysticksTheFirstIsUpdated) {
  uft::ProgramMachine machine;
  const sim::HidId first = machine.Hid().Plug();
  const sim::HidId second = machine.Hid().Plug();
  machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    ASSERT_TRUE(uft::ClickUpdate(s));
    ASSERT_TRUE(uft::AwaitBox(s));
    uft::AnswerBox(s);
    uft::CloseProgram(s);
  });
  EXPECT_TRUE(machine.Hid().JoystickOf(first).UpdateCompleted());
  EXPECT_FALSE(machine.Hid().JoystickOf(second).UpdateCompleted());
}

// True while a thread of the program is inside a device write.
bool MonitorWriting(sim::Script& s) {
  const auto threads = s.Kern().Threads();
  return std::any_of(threads.begin(), threads.end(),
                     [](const auto& t) { return t.blockedIn.starts_with("WriteFile("); });
}

// A keep-alive that is slower than the command's 100 ms wait: the command
// waits for it, taking the monitor's messages meanwhile.
TEST(UpdateCommand, SlowKeepAliveIsNotInterleaved) {
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    uft::ProgramMachine machine(seed);
    sim::HidInterfaceSpec spec;
    spec.latency = 150;
    machine.Hid().Plug(spec);
    std::optional<sim::MessageBoxRecord> box;
    const auto result = machine.Run([&](sim::Script& s) {
      uft::AwaitMainDialog(s);
      ASSERT_TRUE(uft::AwaitIdentified(s));
      // Just after the first keep-alive write has started (the capture has
      // a transfer only once it is over).
      ASSERT_TRUE(s.WaitFor([&] { return MonitorWriting(s); }, 5000));
      s.After(1);
      ASSERT_TRUE(uft::ClickUpdate(s));
      box = uft::AwaitBox(s, 600000);
      uft::AnswerBox(s);
      uft::CloseProgram(s);
    });
    ASSERT_EQ(result.outcome, sim::Outcome::kExited) << "seed " << seed << result.report;
    ASSERT_TRUE(box) << "seed " << seed;
    EXPECT_EQ(box->caption, "OK") << "seed " << seed;
    ExpectNoInterleaving(machine.Hid().Capture());
    // Nor does the command's search close the handle under the keep-alive.
    for (const auto& t : machine.Hid().Capture()) {
      if (IsMonitor(t)) {
        EXPECT_TRUE(t.ok) << "seed " << seed << ": monitor transfer at " << t.at;
      }
    }
  }
}

// A click that reaches the dialog while the monitor thread is identifying a
// joystick (here: posted as a click queued earlier would arrive): the command
// waits for the link, and while it waits it carries out the monitor's control
// changes, so neither thread waits for the other for ever.
TEST(UpdateCommand, ClickDuringTheMonitorsIdentificationWaitsForIt) {
  uft::ProgramMachine machine;
  sim::HidInterfaceSpec spec;
  spec.latency = 300;  // the identification holds the link from 1000 to 1600
  machine.Hid().Plug(spec);
  std::optional<sim::MessageBoxRecord> box;
  std::string nameAtBox;
  const auto result = machine.Run([&](sim::Script& s) {
    HWND dialog = uft::AwaitMainDialog(s);
    s.At(1100);
    uft::PostUpdateClick(s);
    box = uft::AwaitBox(s, 600000);
    nameAtBox = s.Ui().Text(dialog, IDC_DEVICE_NAME);
    uft::AnswerBox(s);
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  ASSERT_TRUE(box);
  EXPECT_EQ(box->caption, "OK");
  EXPECT_EQ(nameAtBox, "Brelt Kestrune Arcade Joystick");
  ExpectNoInterleaving(machine.Hid().Capture());
}

TEST(UpdateCommand, DoubleClickRunsOneUpdateAtATime) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    uft::ClickUpdate(s);
    uft::ClickUpdate(s);
    for (int i = 0; i < 2; ++i) {
      if (!uft::AwaitBox(s, 5000)) break;
      uft::AnswerBox(s);
    }
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  ASSERT_FALSE(machine.Ui().Boxes().empty());
  for (const auto& box : machine.Ui().Boxes()) EXPECT_EQ(box.caption, "OK");
  ExpectNoInterleaving(machine.Hid().Capture());
}

}  // namespace
