// The Update command's wait for the link and the dialog's stop, beside what
// arrives meanwhile: messages other programs send or post, input, and a link
// guard that fails. Both waits deliver sent messages, from any program.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>

#include "app/UpdateFirmwareDlg.h"
#include "simwin/kernel.h"
#include "support/program_run.h"

namespace {

constexpr sim::Ticks kLookMs = 100;

// The virtual time of the first event line that begins with `body` (after
// its time), if any.
std::optional<sim::Ticks> EventAt(const sim::EventLog& log, const std::string& body) {
  for (const std::string& line : log.Lines()) {
    const auto space = line.find(' ');
    if (line.compare(space + 1, std::string::npos, body) == 0) {
      return std::stoull(line.substr(0, space));
    }
  }
  return std::nullopt;
}

std::optional<sim::Ticks> MainDialogClosedAt(const sim::EventLog& log) {
  return EventAt(log, "dialog closed " + std::to_string(uft::kMainDialog));
}

// The main dialog went by `by` (virtual ms).
void ExpectClosedBy(const sim::EventLog& log, sim::Ticks by) {
  const auto closedAt = MainDialogClosedAt(log);
  ASSERT_TRUE(closedAt) << "the main dialog never closed";
  EXPECT_LE(*closedAt, by);
}

bool AboutBoxOpened(const sim::EventLog& log) {
  return EventAt(log, "dialog open " + std::to_string(uft::kAboutBox)).has_value();
}

bool ErasedAnyPage(const sim::HidBus& bus) {
  for (const sim::HidTransfer& t : bus.Capture()) {
    if (t.write && t.bytes[2] == CMD_ERASE_PAGE) return true;
  }
  return false;
}

bool MonitorHasEnded(sim::Script& s) {
  const auto monitor = uft::FindMonitorThread(s.Kern());
  return monitor && monitor->state == sim::ThreadState::kFinished;
}

// A joystick that takes `latency` ms for each transfer.
sim::HidId PlugJoystick(uft::ProgramMachine& machine, sim::Ticks latency) {
  sim::HidInterfaceSpec spec;
  spec.latency = latency;
  return machine.Hid().Plug(spec);
}

// A click that reaches the dialog at `at`, queued before the button could
// be enabled.
void QueuedClickAt(sim::Script& s, sim::Ticks at) {
  uft::AwaitMainDialog(s);
  s.At(at);
  uft::PostUpdateClick(s);
}

void SendCommand(sim::Script& s, WORD id) {
  ::SendMessageA(uft::MainDialog(s), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
}

struct EndingCase {
  const char* name;
  sim::Ticks latency;                 // of each transfer
  std::optional<sim::Ticks> stallAt;  // the joystick stops answering
  bool postClick;                     // a click queued earlier: gets through while disabled
  sim::Ticks clickAt;
  sim::Ticks endAt;
  UINT message;  // WM_CLOSE, or WM_COMMAND with `command`
  WORD command;
};

class EndingSentDuringTheLinkWait : public ::testing::TestWithParam<EndingCase> {};

// Update is clicked while the monitor thread holds the link, and another
// program sends the dialog an ending before the link comes free. The stop
// runs inside the wait; the command must then start no update under the
// ended dialog: nothing is erased, no box shows, and the dialog goes.
TEST_P(EndingSentDuringTheLinkWait, WinsOverTheUpdate) {
  const EndingCase& c = GetParam();
  uft::ProgramMachine machine;
  const sim::HidId stick = PlugJoystick(machine, c.latency);
  if (c.stallAt) machine.Hid().Faults(stick).stallAt = *c.stallAt;
  const auto result = machine.Run([&](sim::Script& s) {
    HWND dialog = uft::AwaitMainDialog(s);
    if (c.postClick) {
      QueuedClickAt(s, c.clickAt);
    } else {
      ASSERT_TRUE(uft::AwaitIdentified(s));
      s.At(c.clickAt);
      ASSERT_TRUE(uft::ClickUpdate(s));
    }
    s.At(c.endAt);
    if (c.message == WM_CLOSE) {
      ::SendMessageA(dialog, WM_CLOSE, 0, 0);
    } else {
      SendCommand(s, c.command);
    }
    s.WaitFor([&] { return uft::MainDialog(s) == nullptr; }, 5000);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_FALSE(ErasedAnyPage(machine.Hid()));
  EXPECT_TRUE(machine.Ui().Boxes().empty());
  ExpectClosedBy(machine.Events(), c.endAt + 1500);
}

INSTANTIATE_TEST_SUITE_P(
    Moments, EndingSentDuringTheLinkWait,
    ::testing::Values(
        // The click's wait begins at 1951 ms, while the keep-alive written at
        // 1850 ms takes until 2000 ms.
        EndingCase{"CancelDuringAKeepAlive", 150, {}, false, 1851, 1960, WM_COMMAND, IDCANCEL},
        // The first search identifies the joystick from 1000 to 1300 ms.
        EndingCase{"CloseDuringAnIdentification", 150, {}, true, 1050, 1200, WM_CLOSE, 0},
        // The keep-alive written at 1400 ms hangs until it is given up at 2400 ms.
        EndingCase{"OkDuringAStalledTransfer", 0, 1300, false, 1450, 1800, WM_COMMAND, IDOK},
        // Sent during the command's 100 ms sleep; the link is free when it ends.
        EndingCase{"CancelBeforeAFreeLink", 0, {}, false, 2050, 2080, WM_COMMAND, IDCANCEL}),
    [](const auto& info) { return std::string(info.param.name); });

struct SentCommandCase {
  const char* name;
  UINT message;
  WPARAM wParam;
};

class SentWhileStopping : public ::testing::TestWithParam<SentCommandCase> {};

// Escape closes the dialog within the first second; the stop waits for the
// monitor's first search, at 1000 ms. Another program sends the about item,
// or Help, meanwhile: no box may open over the closing dialog (it would hold
// the close until someone closed it).
TEST_P(SentWhileStopping, OpensNothing) {
  uft::ProgramMachine machine;
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    s.At(300);
    s.Ui().Key(VK_ESCAPE);
    s.At(500);
    ::SendMessageA(uft::MainDialog(s), GetParam().message, GetParam().wParam, 0);
    s.WaitFor([&] { return uft::MainDialog(s) == nullptr; }, 5000);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_FALSE(AboutBoxOpened(machine.Events()));
  EXPECT_TRUE(machine.Ui().Boxes().empty());
  ExpectClosedBy(machine.Events(), 1000 + kLookMs);
}

INSTANTIATE_TEST_SUITE_P(Commands, SentWhileStopping,
                         ::testing::Values(SentCommandCase{"AboutItem", WM_SYSCOMMAND,
                                                           IDM_ABOUTBOX},
                                           SentCommandCase{"Help", WM_COMMAND, ID_HELP}),
                         [](const auto& info) { return std::string(info.param.name); });

struct QueuedCase {
  const char* name;
  void (*arrive)(sim::Script& s);
  bool aboutOpens;  // else: the dialog ends
};

class QueuedDuringTheLinkWait : public ::testing::TestWithParam<QueuedCase> {};

// A click at 1050 ms waits for the link while the slow joystick (600 ms a
// transfer) is being identified. A command posted by another program, or a
// key, arrives during the wait, and then the monitor's control changes. The
// joystick goes at 2100 ms, so the command's search finds nothing and
// returns: what arrived must still be taken after it.
TEST_P(QueuedDuringTheLinkWait, IsTakenAfterIt) {
  const QueuedCase& c = GetParam();
  uft::ProgramMachine machine;
  const sim::HidId stick = PlugJoystick(machine, 600);
  const auto result = machine.Run([&](sim::Script& s) {
    QueuedClickAt(s, 1050);
    s.At(1300);
    c.arrive(s);
    s.At(2100);
    s.Hid().Unplug(stick);
    s.At(3000);
    if (HWND about = s.Ui().Dialog(uft::kAboutBox); about != nullptr) s.Ui().PostClose(about);
    s.After(500);
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_TRUE(machine.Ui().Boxes().empty());
  EXPECT_EQ(AboutBoxOpened(machine.Events()), c.aboutOpens);
  if (!c.aboutOpens) {
    ExpectClosedBy(machine.Events(), 2999);
  }
}

INSTANTIATE_TEST_SUITE_P(Arrivals, QueuedDuringTheLinkWait,
                         ::testing::Values(QueuedCase{"PostedAboutItem",
                                                      [](sim::Script& s) {
                                                        s.Ui().Post(uft::MainDialog(s),
                                                                    WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
                                                      },
                                                      true},
                                           QueuedCase{"EscapeKey",
                                                      [](sim::Script& s) { s.Ui().Key(VK_ESCAPE); },
                                                      false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The joystick is slow (600 ms a transfer): the monitor's first search
// identifies it from 1000 to 2200 ms. A click that reaches the dialog at
// 1010 ms (queued before the button could be enabled) waits for the link
// more than a second: a slow joystick that answers is no stuck one, and the
// update runs (at full speed, once the joystick is identified).
TEST(UpdateCommand, ClickDuringASlowIdentificationStillUpdates) {
  uft::ProgramMachine machine;
  const sim::HidId stick = PlugJoystick(machine, 600);
  const auto result = machine.Run([&](sim::Script& s) {
    QueuedClickAt(s, 1010);
    s.At(2100);
    s.Hid().SetLatency(stick, 0);
    ASSERT_TRUE(uft::AwaitBox(s, 5000));
    uft::AnswerBox(s);
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  ASSERT_EQ(machine.Ui().Boxes().size(), 1u);
  EXPECT_EQ(machine.Ui().Boxes()[0].caption, "OK");
  EXPECT_GE(machine.Ui().Boxes()[0].at, 2200u);
  EXPECT_TRUE(machine.Hid().JoystickOf(stick).UpdateCompleted());
}

// A click at 500 ms, before the first search: the update (at no latency)
// holds the link from 600 ms and its box stays up. The monitor's search pass
// waits for the link from 1000 ms, looking at the running flag every 100 ms.
// A close posted at 1550 ms (the box's loop dispatches it) stops the monitor
// at its next look and the stop sees it go at its own next look.
TEST(DialogStopping, EndsWithinALookOfAMonitorWaitingForTheLink) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  sim::Ticks closedAt = 0, monitorEndedAt = 0, endedAt = 0;
  const auto result = machine.Run([&](sim::Script& s) {
    QueuedClickAt(s, 500);
    ASSERT_TRUE(uft::AwaitBox(s));
    s.At(1550);
    closedAt = s.Now();
    s.Ui().PostClose(uft::MainDialog(s));
    ASSERT_TRUE(s.WaitFor([&] { return MonitorHasEnded(s); }, 5000));
    monitorEndedAt = s.Now();
    ASSERT_TRUE(s.WaitFor([&] { return !machine.Calls().Named("EndDialog").empty(); }, 5000));
    endedAt = s.Now();
    uft::AnswerBox(s);
    s.WaitFor([&] { return uft::MainDialog(s) == nullptr; }, 5000);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  ASSERT_EQ(machine.Ui().Boxes().size(), 1u);
  EXPECT_EQ(machine.Ui().Boxes()[0].caption, "OK");
  EXPECT_LE(monitorEndedAt - closedAt, kLookMs);
  EXPECT_LE(endedAt - monitorEndedAt, kLookMs);
}

// Another program keeps sending the dialog messages, every 40 ms, while it
// stops. Each is taken at once, and the stop's looks keep their 100 ms: the
// dialog ends within a look of the monitor's first search at 1000 ms.
TEST(DialogStopping, SentMessagesDoNotHoldUpTheLooks) {
  uft::ProgramMachine machine;
  int sent = 0;
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    s.At(300);
    s.Ui().PostClose(uft::MainDialog(s));
    while (s.Now() < 3000 && uft::MainDialog(s) != nullptr) {
      ::SendMessageA(uft::MainDialog(s), WM_NULL, 0, 0);
      ++sent;
      s.After(40);
    }
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_GT(sent, 10);
  ExpectClosedBy(machine.Events(), 1000 + kLookMs);
}

// The monitor's wait for the link fails while the update holds it (a click
// at 500 ms, the box up from 600 ms). A failed wait holds nothing: the
// monitor must not search, identify or write beside the update, and the
// guard stays the update's, so the keep-alive resumes only once the box is
// answered.
TEST(LinkGuardFaults, FailedMonitorWaitTouchesNoLink) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  DWORD monitor = 0;
  sim::Ticks answeredAt = 0;
  std::string nameUnderBox;
  const auto result = machine.Run([&](sim::Script& s) {
    HWND dialog = uft::AwaitMainDialog(s);
    const auto thread = uft::FindMonitorThread(s.Kern());
    ASSERT_TRUE(thread);
    monitor = thread->id;
    s.Kern().FailWaits(monitor, 900, 1100);
    QueuedClickAt(s, 500);
    ASSERT_TRUE(uft::AwaitBox(s));
    s.At(2000);
    nameUnderBox = s.Ui().Text(dialog, IDC_DEVICE_NAME);
    answeredAt = s.Now();
    uft::AnswerBox(s);
    s.After(1000);
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  ASSERT_FALSE(machine.Calls().Named("WaitForSingleObject").empty());
  bool failedWait = false;
  for (const sim::Call& call : machine.Calls().Named("WaitForSingleObject")) {
    failedWait |= call.thread == monitor && call.args.ends_with(" failed");
  }
  ASSERT_TRUE(failedWait) << "the monitor made no wait in the fault's window";
  EXPECT_EQ(nameUnderBox, "");
  std::size_t monitorTransfers = 0, keepAlivesAfter = 0;
  for (const sim::HidTransfer& t : machine.Hid().Capture()) {
    if (t.thread != monitor) continue;
    monitorTransfers += t.at < answeredAt;
    keepAlivesAfter += t.at >= answeredAt && t.write && t.bytes[2] == CMD_PING;
  }
  EXPECT_EQ(monitorTransfers, 0u);
  EXPECT_GE(keepAlivesAfter, 2u);
  EXPECT_EQ(machine.Hid().Opens().size(), 1u);  // the update's
}

// The guard cannot be created: nothing can keep the two threads off the
// link at once, so nothing uses it. The dialog runs as one whose monitor
// thread could not be started: no device is shown, Update stays disabled, a
// click that gets through opens nothing, and the close does not wait.
TEST(LinkGuardFaults, NoGuardNoLink) {
  uft::ProgramMachine machine;
  machine.Kern().FailEventCreation(1);
  machine.Hid().Plug();
  std::string name;
  bool updateEnabled = true;
  sim::Ticks closeAt = 0;
  const auto result = machine.Run([&](sim::Script& s) {
    HWND dialog = uft::AwaitMainDialog(s);
    s.At(2500);
    name = s.Ui().Text(dialog, IDC_DEVICE_NAME);
    updateEnabled = s.Ui().Enabled(s.Ui().Item(dialog, IDC_UPDATE));
    uft::PostUpdateClick(s);
    s.At(3500);
    closeAt = s.Now();
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  ASSERT_EQ(machine.Calls().Named("CreateEventA").front().args, "failed");
  EXPECT_FALSE(uft::FindMonitorThread(machine.Kern()));
  EXPECT_EQ(name, "");
  EXPECT_FALSE(updateEnabled);
  EXPECT_TRUE(machine.Hid().Opens().empty());
  EXPECT_TRUE(machine.Ui().Boxes().empty());
  const auto closedAt = MainDialogClosedAt(machine.Events());
  ASSERT_TRUE(closedAt);
  EXPECT_EQ(*closedAt, closeAt);
}

}  // namespace
