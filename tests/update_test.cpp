// The page-by-page update, end to end: the real program on the simulated
// machine, a click on Update, and what the joystick received.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/UpdateFirmwareDlg.h"
#include "firmware/firmware.h"
#include "simwin/kernel.h"
#include "support/program_run.h"

namespace {

using Report = std::vector<std::uint8_t>;

constexpr int kUpdateWrites = 749;
constexpr int kUpdateReads = 204;

// The reports a complete update writes, framed independently of the
// program: each report sets its own bytes and leaves the rest as they were.
std::vector<Report> ExpectedUpdateWrites(Report buffer) {
  std::vector<Report> writes;
  auto command = [&](std::uint8_t code) {
    buffer[0] = 0;
    buffer[1] = 0xA5;
    buffer[2] = code;
    buffer[3] = 0x5A;
    buffer[4] = static_cast<std::uint8_t>(0xFF - code);
  };
  auto addressed = [&](std::uint8_t code, unsigned page, std::uint8_t tail) {
    command(code);
    const unsigned address = page * 512;
    for (int i = 0; i < 4; ++i) buffer[5 + i] = static_cast<std::uint8_t>(address >> (8 * i));
    buffer[9] = tail;
    writes.push_back(buffer);
  };
  auto stream = [&](unsigned page) {
    for (unsigned chunk = 0; chunk < 8; ++chunk) {
      std::memcpy(&buffer[1], &g_FirmwareImage[page * 512 + chunk * 64], 64);
      writes.push_back(buffer);
    }
  };
  auto fullPage = [&](unsigned page) {
    addressed(0xE3, page, static_cast<std::uint8_t>(page));
    stream(page);
    command(0xE4);
    writes.push_back(buffer);
    addressed(0xE5, page, 1);
  };
  command(0xE1);
  writes.push_back(buffer);
  addressed(0xE3, 16, 16);
  stream(16);
  for (unsigned page = 0; page < 67; ++page) {
    if (page != 16) fullPage(page);
  }
  fullPage(16);
  command(0xE1);
  writes.push_back(buffer);
  command(0xE6);
  writes.push_back(buffer);
  return writes;
}

DWORD SumOfTableWords() {
  DWORD sum = 0;
  for (int word = 1; word <= 67; ++word) sum += g_FirmwareChecksums[word];
  return sum;
}

std::string SuccessText(DWORD release) {
  char text[96];
  std::snprintf(text, sizeof text, "Update and Verify OK!\nCheckSum:0x%08X\nRelease:0x%04X",
                static_cast<unsigned>(SumOfTableWords()), static_cast<unsigned>(release));
  return text;
}

// Fails these writes or reads (counted from 1) of the user-interface thread:
// during an update that thread is the only one writing to the device.
void FailUiTransfers(sim::HidBus& bus, sim::HidId stick, DWORD uiThread, bool write,
                     std::set<int> nths) {
  auto count = std::make_shared<int>(0);
  bus.Faults(stick).failIf = [=](DWORD thread, bool isWrite, const std::uint8_t*) {
    return thread == uiThread && isWrite == write && nths.contains(++*count);
  };
}

// The bodies (the time dropped) of the event lines from line `from` on that
// begin with one of `kinds`, in order.
std::vector<std::string> EventsOf(const sim::EventLog& log,
                                  std::initializer_list<std::string_view> kinds,
                                  std::size_t from = 0) {
  std::vector<std::string> bodies;
  for (std::size_t i = from; i < log.Lines().size(); ++i) {
    const std::string& line = log.Lines()[i];
    const std::string body = line.substr(line.find(' ') + 1);
    for (const std::string_view kind : kinds) {
      if (body.starts_with(kind)) {
        bodies.push_back(body);
        break;
      }
    }
  }
  return bodies;
}

// An update shows the wait cursor from its start and takes it away before
// the one box that ends it.
void ExpectWaitCursorUntilTheBox(const sim::EventLog& log) {
  const auto events = EventsOf(log, {"cursor ", "box "});
  ASSERT_EQ(events.size(), 3u) << log.Text();
  EXPECT_EQ(events[0], "cursor wait");
  EXPECT_EQ(events[1], "cursor normal");
  EXPECT_TRUE(events[2].starts_with("box ")) << events[2];
}

struct UpdateRun {
  std::optional<sim::MessageBoxRecord> box;
  HWND dialog = nullptr;
  bool dialogEnabledUnderBox = true;
  sim::ProgressInfo progress;
  std::string deviceVersion;
  std::vector<sim::HidTransfer> uiTransfers;
  sim::RunResult result;
};

// Starts the program, waits for the joystick to be identified, clicks
// Update, records the box that ends the update, answers it and closes.
// Whatever the outcome, the box is the dialog's: the dialog takes no input
// (a close, another click) while it is up.
UpdateRun RunUpdate(uft::ProgramMachine& machine,
                    const std::function<void(sim::Script&)>& beforeClick = {}) {
  UpdateRun run;
  run.result = machine.Run([&](sim::Script& s) {
    HWND dialog = uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    if (beforeClick) beforeClick(s);
    ASSERT_TRUE(uft::ClickUpdate(s));
    run.box = uft::AwaitBox(s);
    run.dialog = dialog;
    run.dialogEnabledUnderBox = s.Ui().Enabled(dialog);
    run.progress = s.Ui().Progress(s.Ui().Item(dialog, 1017));
    run.deviceVersion = s.Ui().Text(dialog, 1008);
    uft::AnswerBox(s);
    uft::CloseProgram(s);
  });
  if (run.box) {
    EXPECT_EQ(run.box->owner, run.dialog) << run.box->caption;
    EXPECT_FALSE(run.dialogEnabledUnderBox) << run.box->caption;
  }
  const DWORD ui = sim::kMainThreadId;
  for (const auto& t : machine.Hid().Capture()) {
    if (t.thread == ui) run.uiTransfers.push_back(t);
  }
  return run;
}

std::vector<Report> Writes(const std::vector<sim::HidTransfer>& transfers) {
  std::vector<Report> writes;
  for (const auto& t : transfers) {
    if (t.write) writes.push_back(t.bytes);
  }
  return writes;
}

TEST(Update, CompleteUpdateWritesAndVerifiesEveryPage) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  const UpdateRun run = RunUpdate(machine);
  ASSERT_EQ(run.result.outcome, sim::Outcome::kExited) << run.result.report;

  const std::vector<Report> writes = Writes(run.uiTransfers);
  const auto reads = std::count_if(run.uiTransfers.begin(), run.uiTransfers.end(),
                                   [](const auto& t) { return !t.write; });
  EXPECT_EQ(writes.size(), static_cast<std::size_t>(kUpdateWrites));
  EXPECT_EQ(reads, kUpdateReads);
  // Bytes 5-64 of the first report hold what the buffer started with: zeros.
  const auto expected = ExpectedUpdateWrites(Report(HID_REPORT_SIZE, 0));
  ASSERT_EQ(writes.size(), expected.size());
  for (std::size_t i = 0; i < writes.size(); ++i)
    ASSERT_EQ(writes[i], expected[i]) << "write " << i;

  ASSERT_TRUE(run.box);
  EXPECT_EQ(run.box->caption, "OK");
  EXPECT_EQ(run.box->text, SuccessText(0x0112));
  EXPECT_EQ(run.box->style, MB_OK);
  EXPECT_EQ(run.box->cursor, "normal");
  EXPECT_EQ(run.progress, (sim::ProgressInfo{0, 68, 1, 68}));
  EXPECT_EQ(run.deviceVersion, "V1.12");
  ExpectWaitCursorUntilTheBox(machine.Events());
  // The closing query's release is shown before the bar's last step.
  const auto ending = EventsOf(machine.Events(), {"progress pos ", "text 1008 ", "box "});
  ASSERT_GE(ending.size(), 4u);
  EXPECT_EQ(
      std::vector(ending.end() - 4, ending.end() - 1),
      (std::vector<std::string>{"progress pos 67", "text 1008 \"V1.12\"", "progress pos 68"}));

  const sim::Joystick& joystick = machine.Hid().JoystickOf(stick);
  EXPECT_TRUE(joystick.UpdateCompleted());
  EXPECT_TRUE(std::equal(joystick.Flash().begin(), joystick.Flash().end(), g_FirmwareImage));
}

struct WriteFailure {
  const char* name;
  int write;  // nth write of the update, from 1
  const char* text;
  int bar;  // progress position left behind; -1: the bar was never set up
};

class UpdateWriteFails : public ::testing::TestWithParam<WriteFailure> {};

// Index of the first write of main-pass page p (erase), counting from 1.
constexpr int MainPage(int p) { return 10 + 11 * (p < 16 ? p : p - 1) + 1; }

TEST_P(UpdateWriteFails, EndsWithOneErrorBox) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  const WriteFailure& c = GetParam();
  const UpdateRun run = RunUpdate(machine, [&](sim::Script& s) {
    FailUiTransfers(s.Hid(), stick, sim::kMainThreadId, true, {c.write});
  });
  ASSERT_EQ(run.result.outcome, sim::Outcome::kExited) << run.result.report;
  ASSERT_TRUE(run.box);
  EXPECT_EQ(run.box->caption, "Error");
  EXPECT_EQ(run.box->text, c.text);
  EXPECT_EQ(run.box->style, MB_OK);
  EXPECT_EQ(run.box->cursor, "normal");
  EXPECT_EQ(machine.Ui().Boxes().size(), 1u);
  ExpectWaitCursorUntilTheBox(machine.Events());
  if (c.bar < 0) {
    EXPECT_EQ(run.progress, (sim::ProgressInfo{0, 100, 10, 0}));
  } else {
    EXPECT_EQ(run.progress, (sim::ProgressInfo{0, 68, 1, c.bar}));
  }
  // Nothing follows the failed write, and what went before is as planned.
  const auto writes = Writes(run.uiTransfers);
  ASSERT_EQ(writes.size(), static_cast<std::size_t>(c.write));
  const auto expected = ExpectedUpdateWrites(Report(HID_REPORT_SIZE, 0));
  for (std::size_t i = 0; i < writes.size(); ++i)
    ASSERT_EQ(writes[i], expected[i]) << "write " << i;
  ASSERT_TRUE(run.uiTransfers.back().write);
  EXPECT_FALSE(run.uiTransfers.back().ok);
  for (std::size_t i = 0; i + 1 < run.uiTransfers.size(); ++i) {
    if (run.uiTransfers[i].write) {
      EXPECT_TRUE(run.uiTransfers[i].ok) << "write " << i;
    }
  }
  EXPECT_FALSE(machine.Hid().JoystickOf(stick).UpdateCompleted());
}

INSTANTIATE_TEST_SUITE_P(
    AtEveryStage, UpdateWriteFails,
    ::testing::Values(
        WriteFailure{"FirstIdentity", 1, "Device version Read Error!", -1},
        WriteFailure{"FirstPassErase", 2, "Device Rom Erase error!", 0},
        WriteFailure{"FirstPassData", 6, "Device Rom Update error!", 0},
        WriteFailure{"EraseBelowSixteen", MainPage(5), "Device Rom Erase error!", 5},
        WriteFailure{"DataBelowSixteen", MainPage(5) + 8, "Device Rom Update error!", 5},
        WriteFailure{"ProgramBelowSixteen", MainPage(5) + 9, "Device Rom Write error!", 5},
        WriteFailure{"ChecksumBelowSixteen", MainPage(5) + 10, "Device Checksum Read error!", 5},
        WriteFailure{"EraseAboveSixteen", MainPage(40), "Device Rom Erase error!", 39},
        WriteFailure{"DataAboveSixteen", MainPage(40) + 1, "Device Rom Update error!", 39},
        WriteFailure{"ProgramAboveSixteen", MainPage(40) + 9, "Device Rom Write error!", 39},
        WriteFailure{"ChecksumAboveSixteen", MainPage(40) + 10, "Device Checksum Read error!", 39},
        WriteFailure{"FinalPassErase", 737, "Device Rom Erase error!", 66},
        WriteFailure{"FinalPassChecksum", 747, "Device Checksum Read error!", 66},
        WriteFailure{"ClosingIdentity", 748, "Firmware version error!", 67},
        WriteFailure{"Finish", 749, "Firmware version error!", 68}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Update, ChecksumMismatchStopsAtThatPage) {
  for (const auto& [page, bar] : {std::pair{3, 3}, std::pair{17, 16}}) {
    uft::ProgramMachine machine;
    const sim::HidId stick = machine.Hid().Plug();
    machine.Hid().JoystickOf(stick).BadChecksumForPage(page);
    const UpdateRun run = RunUpdate(machine);
    ASSERT_TRUE(run.box) << "page " << page;
    EXPECT_EQ(run.box->caption, "Error");
    EXPECT_EQ(run.box->text, "Checksum error!");
    EXPECT_EQ(run.progress.pos, bar) << "page " << page;
    // The mismatching page's checksum request was the last write.
    const auto writes = Writes(run.uiTransfers);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back()[2], 0xE5);
    EXPECT_EQ(writes.back()[6], static_cast<std::uint8_t>(2 * page));
  }
}

// A checksum that cannot be read does not verify its page, even when the
// input buffer still holds an equal word from the page before.
TEST(Update, UnreadChecksumIsAMismatch) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  // Reads of the update: identity, first-pass erase, then erase, program and
  // checksum answers of each page; page 66's are reads 198 to 200. With all
  // three failed, the buffer still holds page 65's checksum answer, and pages
  // 59 to 66 of the image are alike (all 0xFF), so its word equals page 66's.
  // Taking that word would pass page 66 and fail only at page 16 (bar 66).
  ASSERT_EQ(g_FirmwareChecksums[66], g_FirmwareChecksums[67]);
  const UpdateRun run = RunUpdate(machine, [&](sim::Script& s) {
    FailUiTransfers(s.Hid(), stick, sim::kMainThreadId, false, {198, 199, 200});
  });
  ASSERT_TRUE(run.box);
  EXPECT_EQ(run.box->text, "Checksum error!");
  EXPECT_EQ(run.progress.pos, 65);
}

struct DowngradeCase {
  const char* name;
  std::uint16_t release;
  int shiftKey;  // 0: none
  bool refused;
  std::vector<std::string> keysAsked;
};

class Downgrade : public ::testing::TestWithParam<DowngradeCase> {};

TEST_P(Downgrade, NewerDeviceNeedsShift) {
  const DowngradeCase& c = GetParam();
  uft::ProgramMachine machine;
  sim::HidInterfaceSpec spec;
  spec.joystick.release = c.release;
  const sim::HidId stick = machine.Hid().Plug(spec);
  std::size_t callsBefore = 0;
  const UpdateRun run = RunUpdate(machine, [&](sim::Script& s) {
    if (c.shiftKey != 0) s.Ui().SetKeyDown(c.shiftKey, true);
    callsBefore = s.M().Calls().All().size();
  });
  ASSERT_TRUE(run.box);
  if (c.refused) {
    EXPECT_EQ(run.box->caption, "Error");
    EXPECT_EQ(run.box->text, "Device version is higher than File version\nCan't be Updated!");
    EXPECT_EQ(run.progress, (sim::ProgressInfo{0, 68, 1, 0}));
    EXPECT_EQ(Writes(run.uiTransfers).size(), 1u);  // the identity query only
  } else {
    EXPECT_EQ(run.box->caption, "OK");
  }
  std::vector<std::string> asked;
  const auto& calls = machine.Calls().All();
  for (std::size_t i = callsBefore; i < calls.size(); ++i) {
    if (calls[i].name == "GetKeyState") asked.push_back(calls[i].args);
  }
  EXPECT_EQ(asked, c.keysAsked);
  (void)stick;
}

INSTANTIATE_TEST_SUITE_P(
    Releases, Downgrade,
    ::testing::Values(DowngradeCase{"Equal", 0x0112, 0, false, {}},
                      DowngradeCase{"Older", 0x0100, VK_LSHIFT, false, {}},
                      DowngradeCase{"NewerRefused", 0x0113, 0, true, {"0xA0", "0xA1"}},
                      DowngradeCase{"NewerLeftShift", 0x0113, VK_LSHIFT, false, {"0xA0"}},
                      DowngradeCase{"NewerRightShift", 0x0113, VK_RSHIFT, false, {"0xA0", "0xA1"}},
                      // Compared as unsigned: releases with the top bit set are newer.
                      DowngradeCase{"TopBitSet", 0x8000, 0, true, {"0xA0", "0xA1"}},
                      DowngradeCase{"AlmostUnprogrammed", 0xFFFE, 0, true, {"0xA0", "0xA1"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Update, UnprogrammedReleaseCountsAsZeroOnlyBeforeTheUpdate) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  machine.Hid().JoystickOf(stick).OverrideIdentity(
      std::array<std::uint8_t, 4>{0x04, 0x20, 0xFF, 0xFF});
  const UpdateRun run = RunUpdate(machine);
  ASSERT_TRUE(run.box);
  EXPECT_EQ(run.box->caption, "OK");
  EXPECT_EQ(run.box->text, SuccessText(0xFFFF));
  EXPECT_EQ(run.deviceVersion, "VFF.FF");
}

// A failed read of the closing query leaves the release the first query read.
TEST(Update, UnreadClosingReleaseKeepsTheOneReadBefore) {
  uft::ProgramMachine machine;
  sim::HidInterfaceSpec spec;
  spec.joystick.release = 0x0105;
  spec.joystick.updatedRelease = 0x0112;
  const sim::HidId stick = machine.Hid().Plug(spec);
  const UpdateRun run = RunUpdate(machine, [&](sim::Script& s) {
    FailUiTransfers(s.Hid(), stick, sim::kMainThreadId, false, {kUpdateReads});
  });
  ASSERT_TRUE(run.box);
  EXPECT_EQ(run.box->caption, "OK");
  EXPECT_EQ(run.box->text, SuccessText(0x0105));
  EXPECT_EQ(run.deviceVersion, "V1.05");
}

// A failed read of the first query: the release the monitor read decides
// the downgrade check and the bar is set up. The answer that was not read
// is still queued, so the device's answers are one behind from then on and
// the first checksum does not match.
TEST(Update, UnreadFirstReleaseUsesTheMonitorsRelease) {
  uft::ProgramMachine machine;
  sim::HidInterfaceSpec spec;
  spec.joystick.release = 0x0100;
  const sim::HidId stick = machine.Hid().Plug(spec);
  const UpdateRun run = RunUpdate(machine, [&](sim::Script& s) {
    FailUiTransfers(s.Hid(), stick, sim::kMainThreadId, false, {1});
  });
  ASSERT_TRUE(run.box);
  EXPECT_EQ(run.box->text, "Checksum error!");
  EXPECT_EQ(run.progress, (sim::ProgressInfo{0, 68, 1, 0}));
  EXPECT_TRUE(machine.Calls().Named("GetKeyState").empty());
}

TEST(Update, SecondUpdateStartsAgainFromTheTop) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  std::vector<std::optional<sim::MessageBoxRecord>> boxes;
  std::size_t eventsBeforeSecond = 0;
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    for (int i = 0; i < 2; ++i) {
      eventsBeforeSecond = machine.Events().Lines().size();
      ASSERT_TRUE(uft::ClickUpdate(s));
      boxes.push_back(uft::AwaitBox(s));
      uft::AnswerBox(s);
      s.After(500);
    }
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  ASSERT_EQ(boxes.size(), 2u);
  for (const auto& box : boxes) {
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, SuccessText(0x0112));
  }
  int uiWrites = 0;
  for (const auto& t : machine.Hid().Capture()) {
    if (t.write && t.thread == sim::kMainThreadId) ++uiWrites;
  }
  EXPECT_EQ(uiWrites, 2 * kUpdateWrites);
  // The first update left the bar full; the second empties it before its
  // first step and fills it again one step at a time.
  std::vector<std::string> expected;
  for (int pos = 0; pos <= 68; ++pos) expected.push_back("progress pos " + std::to_string(pos));
  EXPECT_EQ(EventsOf(machine.Events(), {"progress pos "}, eventsBeforeSecond), expected);
}

}  // namespace
