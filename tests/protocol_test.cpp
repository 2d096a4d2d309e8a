// The 65-byte report protocol: framing, and the identity query.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "app/UpdateFirmwareDlg.h"
#include "simwin/kernel.h"
#include "support/program_run.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes Head(const BYTE* report, int count) { return Bytes(report, report + count); }

struct FramingCase {
  BYTE code;
  DWORD page;
  BYTE tail;
  Bytes expected;  // bytes 0 to 9
};

TEST(Framing, AddressedCommandsCarryAddressLowByteFirst) {
  const FramingCase cases[] = {
      {CMD_ERASE_PAGE, 16, 16, {0x00, 0xA5, 0xE3, 0x5A, 0x1C, 0x00, 0x20, 0x00, 0x00, 0x10}},
      {CMD_ERASE_PAGE, 0, 0, {0x00, 0xA5, 0xE3, 0x5A, 0x1C, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {CMD_ERASE_PAGE, 66, 66, {0x00, 0xA5, 0xE3, 0x5A, 0x1C, 0x00, 0x84, 0x00, 0x00, 0x42}},
      {CMD_READ_CHECKSUM, 16, 1, {0x00, 0xA5, 0xE5, 0x5A, 0x1A, 0x00, 0x20, 0x00, 0x00, 0x01}},
  };
  for (const auto& c : cases) {
    BYTE report[HID_REPORT_SIZE];
    std::fill(std::begin(report), std::end(report), 0xCC);
    FrameAddressedCommand(report, c.code, c.page * 512, c.tail);
    EXPECT_EQ(Head(report, 10), c.expected) << "code " << int{c.code} << " page " << c.page;
    for (DWORD i = 10; i < HID_REPORT_SIZE; ++i) ASSERT_EQ(report[i], 0xCC) << "byte " << i;
  }
}

TEST(Framing, EveryCommandWordPairsCodeWithComplement) {
  const std::array<std::pair<BYTE, Bytes>, 6> words = {{
      {CMD_IDENTIFY, {0xA5, 0xE1, 0x5A, 0x1E}},
      {CMD_PING, {0xA5, 0xE2, 0x5A, 0x1D}},
      {CMD_ERASE_PAGE, {0xA5, 0xE3, 0x5A, 0x1C}},
      {CMD_PROGRAM_PAGE, {0xA5, 0xE4, 0x5A, 0x1B}},
      {CMD_READ_CHECKSUM, {0xA5, 0xE5, 0x5A, 0x1A}},
      {CMD_FINISH, {0xA5, 0xE6, 0x5A, 0x19}},
  }};
  for (const auto& [code, word] : words) {
    BYTE report[HID_REPORT_SIZE];
    std::fill(std::begin(report), std::end(report), 0x77);
    FrameCommand(report, code);
    EXPECT_EQ(report[0], 0);
    EXPECT_EQ(Bytes(report + 1, report + 5), word);
    for (DWORD i = 5; i < HID_REPORT_SIZE; ++i) ASSERT_EQ(report[i], 0x77) << "byte " << i;
  }
}

TEST(Framing, DataReportLeavesByteZeroAndFillsTheRest) {
  BYTE report[HID_REPORT_SIZE];
  std::fill(std::begin(report), std::end(report), 0);
  BYTE chunk[64];
  for (int i = 0; i < 64; ++i) chunk[i] = static_cast<BYTE>(0x80 + i);
  report[0] = 0x5E;  // whatever the previous command left there
  FrameDataReport(report, chunk);
  EXPECT_EQ(report[0], 0x5E);
  EXPECT_EQ(Bytes(report + 1, report + 65), Bytes(chunk, chunk + 64));
}

TEST(Framing, ChecksumAnswerIsLowByteFirst) {
  const BYTE one[HID_REPORT_SIZE] = {0, 0, 0, 0, 0, 0x01, 0x00, 0x00, 0x00};
  const BYTE high[HID_REPORT_SIZE] = {0, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x01};
  EXPECT_EQ(ReadDwordLowFirst(one, 5), 1u);
  EXPECT_EQ(ReadDwordLowFirst(high, 5), 1u << 24);
}

struct IdentityCase {
  const char* name;
  std::array<std::uint8_t, 4> answer;  // bytes 5-8
  BOOL identified;
  DWORD release;
};

class Identity : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(Identity, TypeDecidesReleaseIsStoredAnyway) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  machine.Hid().JoystickOf(stick).OverrideIdentity(GetParam().answer);
  g_nDeviceRelease = 0x0077;  // so that "stored 0" differs from "stored nothing"
  BOOL identified = FALSE;
  machine.RunThread([&] {
    CUpdateFirmwareDlg dlg;
    ASSERT_TRUE(dlg.FindDevice());
    identified = dlg.IdentifyDevice();
    StopTransferWatchdog();
  });
  EXPECT_EQ(identified, GetParam().identified);
  EXPECT_EQ(g_nDeviceRelease, GetParam().release);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Identity,
    ::testing::Values(IdentityCase{"Joystick", {0x04, 0x20, 0x01, 0x12}, TRUE, 0x112},
                      IdentityCase{"TypeBytesSwapped", {0x20, 0x04, 0x01, 0x12}, FALSE, 0x112},
                      IdentityCase{"Unprogrammed", {0x04, 0x20, 0xFF, 0xFF}, TRUE, 0},
                      IdentityCase{"AlmostUnprogrammed", {0x04, 0x20, 0xFF, 0xFE}, TRUE, 0xFFFE}),
    [](const auto& info) { return std::string(info.param.name); });

// A failed write makes no read; neither failure touches the stored release.
TEST(Identity, FailuresKeepTheLastRelease) {
  for (const bool failWrite : {true, false}) {
    uft::ProgramMachine machine;
    const sim::HidId stick = machine.Hid().Plug();
    auto& faults = machine.Hid().Faults(stick);
    (failWrite ? faults.writes : faults.reads).Fail(1);
    g_nDeviceRelease = 0x0077;
    BOOL identified = TRUE;
    machine.RunThread([&] {
      CUpdateFirmwareDlg dlg;
      ASSERT_TRUE(dlg.FindDevice());
      identified = dlg.IdentifyDevice();
      StopTransferWatchdog();
    });
    EXPECT_FALSE(identified);
    EXPECT_EQ(g_nDeviceRelease, 0x0077u);
    const auto& capture = machine.Hid().Capture();
    ASSERT_EQ(capture.size(), failWrite ? 1u : 2u);
    EXPECT_TRUE(capture[0].write);
  }
}

// A joystick that stops answering must not hold the caller: the transfer is
// given up after the time-out and counts as failed.
TEST(Identity, StalledJoystickTimesOut) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  machine.Hid().Faults(stick).stallAt = 0;
  BOOL identified = TRUE;
  sim::Ticks took = 0;
  const auto result = machine.RunThread([&] {
    CUpdateFirmwareDlg dlg;
    ASSERT_TRUE(dlg.FindDevice());
    const sim::Ticks start = sim::Now();
    identified = dlg.IdentifyDevice();
    took = sim::Now() - start;
    StopTransferWatchdog();
  });
  EXPECT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_FALSE(identified);
  EXPECT_GE(took, DEVICE_IO_TIMEOUT_MS);
  EXPECT_LT(took, DEVICE_IO_TIMEOUT_MS + 100);
}

}  // namespace
