// The main dialog ended by WM_QUIT in its modal loop, without passing
// through its handlers: the monitor thread is still running when the window
// starts to go.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "app/UpdateFirmwareDlg.h"
#include "simwin/kernel.h"
#include "support/program_run.h"

namespace {

// As another program might post it to the user-interface thread.
void PostQuit() { ASSERT_TRUE(::PostThreadMessageA(sim::kMainThreadId, WM_QUIT, 0, 0)); }

struct QuitCase {
  const char* name;
  sim::Ticks quitAt;
  // What happens next, while the window goes.
  std::function<void(sim::Script&, sim::HidId)> then;
};

class QuitWhileMonitoring : public ::testing::TestWithParam<QuitCase> {};

// The monitor thread's last pass changes the display while the window goes;
// the thread then ends by itself and the program exits.
TEST_P(QuitWhileMonitoring, ThreadEndsBeforeTheDialog) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    s.At(GetParam().quitAt);
    PostQuit();
    GetParam().then(s, stick);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  const auto monitor = uft::FindMonitorThread(machine.Kern());
  ASSERT_TRUE(monitor);
  EXPECT_FALSE(monitor->endedByRunEnd);
  EXPECT_EQ(monitor->exitCode, 1u);
}

INSTANTIATE_TEST_SUITE_P(Passes, QuitWhileMonitoring,
                         ::testing::Values(
                             // The first search, at 1000 ms, identifies the joystick.
                             QuitCase{"JoystickFound", 500, [](sim::Script&, sim::HidId) {}},
                             // Watched from 1000 ms; the keep-alive at 1600 ms fails.
                             QuitCase{
                                 "JoystickLost", 1500,
                                 [](sim::Script& s, sim::HidId stick) { s.Hid().Unplug(stick); }}),
                         [](const auto& info) { return std::string(info.param.name); });

struct StuckCase {
  const char* name;
  std::function<void(sim::Script&)> end;
  sim::Ticks endsBy;  // the bound on the process's end
};

class ThreadStuckInTheDriver : public ::testing::TestWithParam<StuckCase> {};

// The keep-alive write from 1600 ms hangs in a driver that ignores the
// cancel, so the monitor thread cannot stop. However the dialog is ended, the
// process still ends, within the stop's bound, and frees nothing that the
// stuck thread uses: every handle open before the end is still open when the
// process has ended.
TEST_P(ThreadStuckInTheDriver, EndsTheProcessWithinTheStopsBound) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  machine.Hid().Faults(stick).stallAt = 1500;
  machine.Hid().Faults(stick).ignoresCancel = true;
  std::vector<HANDLE> before;
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    s.At(2000);
    for (const auto& h : machine.Kern().OpenHandles()) before.push_back(h.handle);
    GetParam().end(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_LE(machine.Kern().Now(), GetParam().endsBy);
  std::vector<HANDLE> after;
  for (const auto& h : machine.Kern().OpenHandles()) after.push_back(h.handle);
  for (HANDLE h : before) {
    EXPECT_NE(std::find(after.begin(), after.end(), h), after.end()) << "closed: " << h;
  }
  const auto monitor = uft::FindMonitorThread(machine.Kern());
  ASSERT_TRUE(monitor);
  EXPECT_TRUE(monitor->endedByRunEnd);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, ThreadStuckInTheDriver,
    ::testing::Values(
        StuckCase{"Quit", [](sim::Script&) { PostQuit(); }, 2000 + 10000 + 200},
        StuckCase{"WmClose", [](sim::Script& s) { s.Ui().PostClose(uft::MainDialog(s)); },
                  2000 + 10000 + 200},
        StuckCase{"Escape", [](sim::Script& s) { s.Ui().Key(VK_ESCAPE); }, 2000 + 10000 + 200},
        // The click's wait for the link that the stuck thread holds gives up
        // (showing nothing); the close, posted meanwhile, comes after it.
        StuckCase{"ClickThenWmClose",
                  [](sim::Script& s) {
                    ASSERT_TRUE(uft::ClickUpdate(s));
                    s.After(1000);
                    s.Ui().PostClose(uft::MainDialog(s));
                  },
                  2000 + 100 + 10000 + 10000 + 200}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
