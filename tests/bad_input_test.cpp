// Devices that answer badly, late or not at all, and enumerations that go
// wrong: each ends in a clear display or box, nothing hangs and nothing is
// left open.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/UpdateFirmwareDlg.h"
#include "simwin/kernel.h"
#include "support/program_run.h"

namespace {

constexpr char kJoystickName[] = "Brelt Kestrune Arcade Joystick";
constexpr char kUnknownDevice[] = "Unknown Device !";
constexpr int kUpdateTransfers = 953;

struct Display {
  std::string name;
  std::string version;
  bool updateEnabled = false;
};

Display Read(sim::Script& s) {
  HWND dialog = uft::MainDialog(s);
  return {s.Ui().Text(dialog, IDC_DEVICE_NAME), s.Ui().Text(dialog, IDC_DEVICE_VERSION),
          s.Ui().Enabled(s.Ui().Item(dialog, IDC_UPDATE))};
}

// Closes the dialog and returns how long it took to go (virtual ms).
sim::Ticks CloseTimed(sim::Script& s) {
  const sim::Ticks from = s.Now();
  uft::CloseProgram(s);
  return s.Now() - from;
}

std::size_t DeviceHandlesOpen(sim::Machine& machine) {
  std::size_t n = 0;
  for (const auto& h : machine.Kern().OpenHandles()) {
    n += h.description.starts_with("HID device ");
  }
  return n;
}

// The end every run here must have: the program exited, its threads
// returned by themselves, no set left, and no handle but the device's when
// one was open at the end (the program leaves that one to its exit).
void ExpectCleanEnd(sim::Machine& machine, const sim::RunResult& result, const std::string& what,
                    std::size_t deviceHandles) {
  EXPECT_EQ(result.outcome, sim::Outcome::kExited) << what << '\n' << result.report;
  for (const auto& t : machine.Kern().Threads()) {
    if (t.script || t.otherProgram || t.id == sim::kMainThreadId) continue;
    EXPECT_FALSE(t.endedByRunEnd) << what << ": " << t.description << " in " << t.blockedIn;
  }
  EXPECT_EQ(machine.Hid().OpenDeviceInfoSets(), 0u) << what;
  std::size_t others = machine.Kern().OpenHandleCount() - DeviceHandlesOpen(machine);
  EXPECT_EQ(others, 0u) << what;
  EXPECT_EQ(DeviceHandlesOpen(machine), deviceHandles) << what;
}

// 1 when the device-name field last showed a device (the program keeps that
// one open until it ends), 0 when it was last cleared.
std::size_t DeviceShownAtEnd(sim::Machine& machine) {
  std::size_t shown = 0;
  for (const std::string& line : machine.Events().Lines()) {
    if (line.find(" text 1014 ") != std::string::npos) shown = line.ends_with(" \"\"") ? 0 : 1;
  }
  return shown;
}

std::string ReleaseText(unsigned release) {
  char text[16];
  std::snprintf(text, sizeof text, "V%X.%02X", release >> 8, release & 0xFF);
  return text;
}

// ---- identity answers of any content ------------------------------------------------

using Identity = std::array<std::uint8_t, 4>;  // type high, type low, release high, low

// What the dialog must show for an identity answer.
Display Expected(const Identity& id) {
  if (id[0] != 0x04 || id[1] != 0x20) return {kUnknownDevice, "", false};
  unsigned release = static_cast<unsigned>(id[2] << 8 | id[3]);
  if (release == 0xFFFF) release = 0;
  return {kJoystickName, ReleaseText(release), true};
}

Display ShownFor(const Identity& id, std::uint64_t seed, sim::RunResult* result,
                 uft::ProgramMachine& machine) {
  const sim::HidId stick = machine.Hid().Plug();
  machine.Hid().JoystickOf(stick).OverrideIdentity(id);
  Display shown;
  sim::Ticks closing = 0;
  *result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    s.At(1500);
    shown = Read(s);
    closing = CloseTimed(s);
  });
  EXPECT_LE(closing, 400u) << "seed " << seed;
  return shown;
}

TEST(BadIdentity, EveryAnswerShowsTheJoystickOrUnknownDevice) {
  std::vector<Identity> answers = {
      {0x04, 0x20, 0xFF, 0xFF}, {0x04, 0x20, 0x00, 0x00}, {0x04, 0x20, 0xFF, 0xFE},
      {0x04, 0x21, 0x01, 0x00}, {0x20, 0x04, 0x01, 0x12}, {0x00, 0x00, 0x00, 0x00},
      {0xFF, 0xFF, 0xFF, 0xFF}, {0x04, 0x20, 0x01, 0x13},
  };
  std::uint64_t state = 0x5EED;
  for (int n = 0; n < 40; ++n) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    answers.push_back(
        {static_cast<std::uint8_t>(state >> 56), static_cast<std::uint8_t>(state >> 48),
         static_cast<std::uint8_t>(state >> 40), static_cast<std::uint8_t>(state >> 32)});
  }
  answers.push_back({0x04, 0x20, 0x12, 0x34});
  std::uint64_t seed = 1;
  for (const Identity& id : answers) {
    uft::ProgramMachine machine(seed);
    sim::RunResult result;
    const Display shown = ShownFor(id, seed, &result, machine);
    const Display expected = Expected(id);
    const std::string what = "answer " + std::to_string(id[0]) + "," + std::to_string(id[1]) + "," +
                             std::to_string(id[2]) + "," + std::to_string(id[3]);
    EXPECT_EQ(shown.name, expected.name) << what;
    EXPECT_EQ(shown.version, expected.version) << what;
    EXPECT_EQ(shown.updateEnabled, expected.updateEnabled) << what;
    ExpectCleanEnd(machine, result, what, 1);
    ++seed;
  }
}

// A device with the joystick's ids whose reports are not 65 bytes long: its
// identity query fails, so it is shown as an unknown device; its first
// keep-alive fails too, which clears the display again, and so on. The
// Update button is never enabled.
TEST(BadIdentity, DeviceWithOtherReportsIsUnknownAndNeverUpdatable) {
  uft::ProgramMachine machine;
  sim::HidInterfaceSpec spec;
  spec.model = sim::HidModel::kForeignRejecting;
  machine.Hid().Plug(spec);
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    s.At(5500);
    // The monitor thread may be in its one-second wait between searches.
    EXPECT_LE(CloseTimed(s), 1100u);
  });
  const std::string events = machine.Events().Text();
  EXPECT_NE(events.find("text 1014 \"Unknown Device !\""), std::string::npos) << events;
  EXPECT_EQ(events.find("enable 1000 1"), std::string::npos) << events;
  ExpectCleanEnd(machine, result, "rejecting device", 1);
}

// ---- answers that come too late ------------------------------------------------------

// Each failed read of the user-interface thread and how long it took from
// the write before it.
std::vector<sim::Ticks> FailedReadDurations(const std::vector<sim::HidTransfer>& capture,
                                            DWORD thread) {
  std::vector<sim::Ticks> durations;
  std::optional<sim::Ticks> lastWrite;
  for (const auto& t : capture) {
    if (t.thread != thread) continue;
    if (t.write) lastWrite = t.at;
    if (!t.write && !t.ok && lastWrite) durations.push_back(t.at - *lastWrite);
  }
  return durations;
}

TEST(LateAnswer, IdentificationTimesOutAndShowsUnknownDevice) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  machine.Hid().Faults(stick).extraReadLatency = 1100;
  Display shown;
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    s.At(3000);
    shown = Read(s);
    EXPECT_LE(CloseTimed(s), 1200u);
  });
  EXPECT_EQ(shown.name, kUnknownDevice);
  EXPECT_FALSE(shown.updateEnabled);
  const auto monitor = uft::FindMonitorThread(machine.Kern());
  ASSERT_TRUE(monitor);
  const auto durations = FailedReadDurations(machine.Hid().Capture(), monitor->id);
  ASSERT_FALSE(durations.empty());
  EXPECT_GE(durations.front(), 1000u);
  EXPECT_LE(durations.front(), 1020u);
  ExpectCleanEnd(machine, result, "late identity answer", 1);
}

TEST(LateAnswer, UpdateGivesUpOnTheChecksumAndEndsWithAnError) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  std::optional<sim::MessageBoxRecord> box;
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    s.Hid().Faults(stick).extraReadLatency = 1100;
    ASSERT_TRUE(uft::ClickUpdate(s));
    box = uft::AwaitBox(s, 20000);
    uft::AnswerBox(s);
    EXPECT_LE(CloseTimed(s), 400u);
  });
  ASSERT_TRUE(box);
  EXPECT_EQ(box->caption, "Error");
  EXPECT_EQ(box->text, "Checksum error!");
  EXPECT_EQ(box->cursor, "normal");
  EXPECT_EQ(machine.Ui().Boxes().size(), 1u);
  // Every read given up after the time-out, none long after it.
  const auto durations = FailedReadDurations(machine.Hid().Capture(), sim::kMainThreadId);
  ASSERT_FALSE(durations.empty());
  for (const sim::Ticks d : durations) {
    EXPECT_GE(d, 1000u);
    EXPECT_LE(d, 1020u);
  }
  EXPECT_FALSE(machine.Hid().JoystickOf(stick).UpdateCompleted());
  ExpectCleanEnd(machine, result, "late answers during an update", 1);
}

// ---- devices that take writes and never answer ------------------------------------------

struct SilentCase {
  const char* name;
  // Plugs the device and arranges its silence; the script then runs `act`.
  std::function<sim::HidId(sim::HidBus&)> plug;
  std::function<void(sim::Script&, sim::HidId)> act;
  sim::Ticks closeAt;
  // The dialog is gone this long after the close: the monitor thread looks
  // at the stop request between its passes, so it may first finish the
  // one-second wait of a search and one transfer given up after 1000 ms.
  sim::Ticks closeBound;
  bool boxExpected;
};

class Silent : public ::testing::TestWithParam<SilentCase> {};

TEST_P(Silent, NothingHangsAndTheDialogClosesPromptly) {
  const SilentCase& c = GetParam();
  uft::ProgramMachine machine;
  const sim::HidId device = c.plug(machine.Hid());
  sim::Ticks closing = 0;
  Display shown;
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    if (c.act) c.act(s, device);
    s.At(std::max(s.Now(), c.closeAt));
    shown = Read(s);
    closing = CloseTimed(s);
  });
  EXPECT_LE(closing, c.closeBound);
  EXPECT_NE(shown.name, kJoystickName);
  EXPECT_FALSE(shown.updateEnabled);
  EXPECT_EQ(machine.Ui().Boxes().size(), c.boxExpected ? 1u : 0u);
  for (const auto& box : machine.Ui().Boxes()) {
    EXPECT_EQ(box.caption, "Error");
    EXPECT_EQ(box.cursor, "normal");
  }
  ExpectCleanEnd(machine, result, c.name, 1);
}

sim::HidId StalledJoystick(sim::HidBus& bus) {
  const sim::HidId stick = bus.Plug();
  bus.Faults(stick).stallAt = 0;
  return stick;
}

sim::HidId SilentWithJoystickIds(sim::HidBus& bus) {
  sim::HidInterfaceSpec spec;
  spec.model = sim::HidModel::kForeignSilent;
  return bus.Plug(spec);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, Silent,
    ::testing::Values(
        // The identity query of the search at 1000 ms waits for an answer
        // until 2000; the close comes in the middle of it.
        SilentCase{"StalledFromTheStart", StalledJoystick, {}, 1500, 1200, false},
        SilentCase{"SilentDeviceWithTheJoysticksIds", SilentWithJoystickIds, {}, 1500, 1200, false},
        SilentCase{"SilentDeviceWatchedForLong", SilentWithJoystickIds, {}, 6050, 1200, false},
        // Stalls between two keep-alive reports: the next one is given up.
        SilentCase{"StallWhileWatched", [](sim::HidBus& bus) { return bus.Plug(); },
                   [](sim::Script& s, sim::HidId stick) {
                     ASSERT_TRUE(uft::AwaitIdentified(s));
                     s.Hid().Faults(stick).stallAt = s.Now() + 50;
                   },
                   3000, 2100, false},
        // Stalls in the middle of an update: the write is given up, one box.
        SilentCase{"StallDuringAnUpdate", [](sim::HidBus& bus) { return bus.Plug(); },
                   [](sim::Script& s, sim::HidId stick) {
                     ASSERT_TRUE(uft::AwaitIdentified(s));
                     s.Hid().SetLatency(stick, 2);
                     ASSERT_TRUE(uft::ClickUpdate(s));
                     s.Hid().Faults(stick).stallAt = s.Now() + 600;
                     ASSERT_TRUE(uft::AwaitBox(s, 10000));
                     uft::AnswerBox(s);
                     s.After(1500);  // the next keep-alive is given up
                   },
                   0, 2100, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- unplugged at every transfer of an update -------------------------------------------

struct UnplugRun {
  std::vector<sim::MessageBoxRecord> boxes;
  std::size_t uiTransfersAfterUnplug = 0;
  Display after;
  bool completed = false;
  sim::RunResult result;
};

// Starts an update and unplugs the joystick during its nth transfer (from 1).
UnplugRun UnplugDuringUpdate(int nth) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  UnplugRun run;
  auto uiTransfers = std::make_shared<int>(0);
  run.result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    sim::InterfaceFaults& faults = s.Hid().Faults(stick);
    faults.failIf = [&faults, uiTransfers, nth](DWORD thread, bool, const std::uint8_t*) {
      if (thread == sim::kMainThreadId && ++*uiTransfers == nth) {
        faults.unplugAtTransfer = faults.writes.Count() + faults.reads.Count();
      }
      return false;
    };
    ASSERT_TRUE(uft::ClickUpdate(s));
    uft::AwaitBox(s, 10000);
    uft::AnswerBox(s);
    s.After(300);  // the next keep-alive finds the joystick gone
    run.after = Read(s);
    uft::CloseProgram(s);
  });
  run.boxes = machine.Ui().Boxes();
  run.completed = machine.Hid().JoystickOf(stick).UpdateCompleted();
  bool unplugged = false;
  for (const auto& t : machine.Hid().Capture()) {
    if (t.thread != sim::kMainThreadId) continue;
    if (unplugged) ++run.uiTransfersAfterUnplug;
    unplugged |= t.error == ERROR_DEVICE_NOT_CONNECTED;
  }
  ExpectCleanEnd(machine, run.result, "unplugged at transfer " + std::to_string(nth), 0);
  return run;
}

// 953 positions in blocks, so that ctest can run the blocks side by side.
constexpr int kPositionsPerBlock = 64;

class UnplugAtTransfer : public ::testing::TestWithParam<int> {};

TEST_P(UnplugAtTransfer, EndsWithOneErrorBoxAndAClearedDisplay) {
  const int first = 1 + GetParam() * kPositionsPerBlock;
  const int last = std::min(kUpdateTransfers, first + kPositionsPerBlock - 1);
  for (int nth = first; nth <= last; ++nth) {
    const UnplugRun run = UnplugDuringUpdate(nth);
    ASSERT_EQ(run.boxes.size(), 1u) << "unplugged at transfer " << nth;
    EXPECT_EQ(run.boxes[0].caption, "Error") << "unplugged at transfer " << nth;
    EXPECT_EQ(run.boxes[0].cursor, "normal") << "unplugged at transfer " << nth;
    // At most an unanswered read and the next write follow the lost transfer.
    EXPECT_LE(run.uiTransfersAfterUnplug, 2u) << "unplugged at transfer " << nth;
    EXPECT_FALSE(run.completed) << "unplugged at transfer " << nth;
    EXPECT_EQ(run.after.name, "") << "unplugged at transfer " << nth;
    EXPECT_FALSE(run.after.updateEnabled) << "unplugged at transfer " << nth;
  }
}

INSTANTIATE_TEST_SUITE_P(Positions, UnplugAtTransfer,
                         ::testing::Range(0, (kUpdateTransfers + kPositionsPerBlock - 1) /
                                                 kPositionsPerBlock));

// ---- enumeration anomalies across a whole run ---------------------------------------------

struct EnumerationCase {
  const char* name;
  // Sets the anomaly; the joystick is at enumeration index 1, after a
  // foreign device. A search ends at the first index that cannot be read,
  // so an anomaly at the foreign device hides the joystick too.
  std::function<void(sim::HidBus&, sim::HidId stick, sim::HidId foreign)> arrange;
  bool foundDuringAnomaly;
};

class Enumeration : public ::testing::TestWithParam<EnumerationCase> {};

TEST_P(Enumeration, AnomalyEndsInAClearDisplayAndNothingLeftOpen) {
  const EnumerationCase& c = GetParam();
  uft::ProgramMachine machine;
  sim::HidInterfaceSpec foreignSpec;
  foreignSpec.model = sim::HidModel::kForeignSilent;
  foreignSpec.vendorId = 0x046D;
  foreignSpec.productId = 0xC216;
  const sim::HidId foreign = machine.Hid().Plug(foreignSpec);
  const sim::HidId stick = machine.Hid().Plug();
  c.arrange(machine.Hid(), stick, foreign);
  Display during, after;
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    s.At(4500);
    during = Read(s);
    // The anomaly goes; the joystick is found by the next search.
    for (const sim::HidId id : {stick, foreign}) {
      s.Hid().Faults(id).requiredSize.reset();
      s.Hid().Faults(id).detail.Clear();
    }
    s.Hid().Discovery().enumFailsAtIndex.reset();
    s.Hid().Discovery().classDevs.Clear();
    s.At(6100);
    after = Read(s);
    EXPECT_LE(CloseTimed(s), 400u);
  });
  EXPECT_EQ(during.name, c.foundDuringAnomaly ? kJoystickName : "") << c.name;
  EXPECT_EQ(during.updateEnabled, c.foundDuringAnomaly) << c.name;
  EXPECT_EQ(after.name, kJoystickName) << c.name;
  EXPECT_TRUE(after.updateEnabled) << c.name;
  ExpectCleanEnd(machine, result, c.name, 1);
}

auto RequiredSize(bool onStick, DWORD size) {
  return [onStick, size](sim::HidBus& bus, sim::HidId stick, sim::HidId foreign) {
    bus.Faults(onStick ? stick : foreign).requiredSize = size;
  };
}

INSTANTIATE_TEST_SUITE_P(
    Anomalies, Enumeration,
    ::testing::Values(EnumerationCase{"ForeignSizeZero", RequiredSize(false, 0), false},
                      EnumerationCase{"ForeignSizeOdd", RequiredSize(false, 7), false},
                      EnumerationCase{"ForeignSizeHuge", RequiredSize(false, 0xFFFFFFFF), false},
                      EnumerationCase{"ForeignSizeTooSmallForItsPath", RequiredSize(false, 9),
                                      false},
                      EnumerationCase{"JoystickSizeOne", RequiredSize(true, 1), false},
                      EnumerationCase{"JoystickSizeOddTooSmall", RequiredSize(true, 33), false},
                      EnumerationCase{"JoystickSizeOddLarger", RequiredSize(true, 4097), true},
                      EnumerationCase{"JoystickSizeOverLimit", RequiredSize(true, 0x10001), false},
                      EnumerationCase{"EnumerationFailsAtTheForeignDevice",
                                      [](sim::HidBus& bus, sim::HidId, sim::HidId) {
                                        bus.Discovery().enumFailsAtIndex = 0;
                                      },
                                      false},
                      EnumerationCase{"EnumerationFailsAtTheJoystick",
                                      [](sim::HidBus& bus, sim::HidId, sim::HidId) {
                                        bus.Discovery().enumFailsAtIndex = 1;
                                      },
                                      false},
                      EnumerationCase{"EnumerationFailsAfterTheJoystick",
                                      [](sim::HidBus& bus, sim::HidId, sim::HidId) {
                                        bus.Discovery().enumFailsAtIndex = 2;
                                      },
                                      true},
                      EnumerationCase{"DetailQueryFailsForTheForeignDevice",
                                      [](sim::HidBus& bus, sim::HidId, sim::HidId foreign) {
                                        bus.Faults(foreign).detail.FailFrom(1);
                                      },
                                      false},
                      // Each index of a search builds its own set: the first two searches
                      // fail, the third finds the joystick.
                      EnumerationCase{"InterfaceSetsFailInTheFirstSearches",
                                      [](sim::HidBus& bus, sim::HidId, sim::HidId) {
                                        bus.Discovery().classDevs.Fail(1);
                                        bus.Discovery().classDevs.Fail(2);
                                      },
                                      true}),
    [](const auto& info) { return std::string(info.param.name); });

// Enumeration failing at a random index, changing every second, with the
// joystick coming and going, for many seeds: once the enumeration works
// again the joystick is found, and nothing was left open on the way.
TEST(Enumeration, RandomFailingIndexesOverAWholeRun) {
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    uft::ProgramMachine machine(seed);
    sim::HidInterfaceSpec foreignSpec;
    foreignSpec.model = sim::HidModel::kForeignSilent;
    foreignSpec.vendorId = 0x045E;
    machine.Hid().Plug(foreignSpec);
    const sim::HidId stick = machine.Hid().Plug();
    std::uint64_t state = seed;
    const auto result = machine.Run([&](sim::Script& s) {
      uft::AwaitMainDialog(s);
      for (sim::Ticks t = 500; t < 8500; t += 1000) {
        s.At(t);
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const DWORD index = static_cast<DWORD>((state >> 33) % 4);
        s.Hid().Discovery().enumFailsAtIndex = index;
        if ((state >> 40) % 3 == 0) s.Hid().Unplug(stick);
        if ((state >> 40) % 3 == 1 && !s.Hid().Present(stick)) s.Hid().Replug(stick);
      }
      s.Hid().Discovery().enumFailsAtIndex.reset();
      if (!s.Hid().Present(stick)) s.Hid().Replug(stick);
      EXPECT_TRUE(uft::AwaitIdentified(s, 2500)) << "seed " << seed;
      EXPECT_EQ(Read(s).name, kJoystickName) << "seed " << seed;
      EXPECT_LE(CloseTimed(s), 400u) << "seed " << seed;
    });
    ExpectCleanEnd(machine, result, "seed " + std::to_string(seed), DeviceShownAtEnd(machine));
  }
}

}  // namespace
