// The simulated HID bus and joystick: what the program's discovery and
// report exchanges will meet, so these must behave as Windows and the device do.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "simwin/hid.h"
#include "simwin/joystick.h"
#include "simwin/joystick_checksum.h"
#include "simwin/machine.h"

namespace {

using sim::HidBus;
using sim::HidId;
using sim::HidReport;
using sim::Joystick;
using Kind = sim::JoystickEvent::Kind;

constexpr DWORD kOpenAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kOpenShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

HidReport Command(std::uint8_t code, std::uint32_t address = 0, std::uint8_t byte9 = 0) {
  HidReport r{};
  r[1] = 0xA5;
  r[2] = code;
  r[3] = 0x5A;
  r[4] = static_cast<std::uint8_t>(0xFF - code);
  for (int i = 0; i < 4; ++i) r[5 + i] = static_cast<std::uint8_t>(address >> (8 * i));
  r[9] = byte9;
  return r;
}

HidReport Data(const std::uint8_t* chunk) {
  HidReport r{};
  std::memcpy(r.data() + 1, chunk, sim::kJoystickChunkSize);
  return r;
}

std::uint32_t Le32At5(const HidReport& r) {
  return r[5] | r[6] << 8 | r[7] << 16 | static_cast<std::uint32_t>(r[8]) << 24;
}

template <class F>
sim::HidInterfaceSpec Spec(F configure) {
  sim::HidInterfaceSpec spec;
  configure(spec);
  return spec;
}

SP_DEVICE_INTERFACE_DATA InterfaceData() {
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  return data;
}

// Runs `body` as the simulated main thread of a fresh machine.
void OnMachine(const std::function<void(HidBus&)>& setup, const std::function<void(HidBus&)>& body,
               const std::function<void(sim::Script&)>& script = {}) {
  sim::Machine machine(sim::MachineOptions{});
  setup(machine.Hid());
  machine.RunThread([&] { body(machine.Hid()); }, script);
}

// The path of interface `index` in a fresh set, or "" when there is none.
std::string PathAt(DWORD index) {
  GUID hid;
  HidD_GetHidGuid(&hid);
  HDEVINFO set =
      SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return "";
  SP_DEVICE_INTERFACE_DATA data = InterfaceData();
  std::string path;
  if (SetupDiEnumDeviceInterfaces(set, nullptr, &hid, index, &data)) {
    std::vector<char> buffer(512);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, 512, nullptr, nullptr)) {
      path = detail->DevicePath;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return path;
}

HANDLE Open(const std::string& path) {
  return CreateFileA(path.c_str(), kOpenAccess, kOpenShare, nullptr, OPEN_EXISTING, 0, nullptr);
}

// One call's result and GetLastError after a failure.
struct Result {
  bool ok;
  DWORD error;
  bool operator==(const Result&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Result& r) {
  return os << (r.ok ? "ok" : "fail") << " error " << r.error;
}
constexpr Result kOk{true, 0};
constexpr Result Failed(DWORD error) { return {false, error}; }

Result Write(HANDLE h, const HidReport& r) {
  DWORD n = 0;
  if (WriteFile(h, r.data(), static_cast<DWORD>(r.size()), &n, nullptr)) return kOk;
  return Failed(GetLastError());
}
Result Read(HANDLE h, HidReport& r) {
  DWORD n = 0;
  if (ReadFile(h, r.data(), static_cast<DWORD>(r.size()), &n, nullptr)) return kOk;
  return Failed(GetLastError());
}

// ---- the checksum -----------------------------------------------------------------

TEST(JoystickChecksum, IsNonZeroSixteenBitAndTellsTypicalPagesApart) {
  std::array<std::uint8_t, 512> zeros{}, ones{}, counting{}, swapped{};
  ones.fill(0xFF);
  std::iota(counting.begin(), counting.end(), std::uint8_t{0});
  swapped = counting;
  std::swap(swapped[10], swapped[11]);
  std::vector<std::uint32_t> sums;
  for (const auto& page : {zeros, ones, counting, swapped}) {
    const std::uint32_t c = sim::JoystickPageChecksum(page);
    EXPECT_GT(c, 0u);
    EXPECT_LT(c, 0x10000u);
    for (std::uint32_t earlier : sums) EXPECT_NE(c, earlier);
    sums.push_back(c);
  }
}

// ---- the joystick model -------------------------------------------------------------

TEST(JoystickModel, IdentityAnswerCarriesTypeAndReleaseHighByteFirst) {
  struct Case {
    const char* name;
    std::function<void(Joystick&)> configure;
    std::array<std::uint8_t, 4> bytes5to8;
  } cases[] = {
      {"defaults", [](Joystick&) {}, {0x04, 0x20, 0x01, 0x00}},
      {"configured release", [](Joystick& j) { j.SetRelease(0xFFFE); }, {0x04, 0x20, 0xFF, 0xFE}},
      {"other device type", [](Joystick& j) { j.SetDeviceType(0x2004); }, {0x20, 0x04, 0x01, 0x00}},
      {"override",
       [](Joystick& j) {
         j.OverrideIdentity({{1, 2, 3, 4}});
       },
       {1, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Joystick stick;
    c.configure(stick);
    auto answer = stick.Receive(Command(sim::kCmdIdentify), 0);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)[0], 0);
    EXPECT_EQ((std::array{(*answer)[5], (*answer)[6], (*answer)[7], (*answer)[8]}), c.bytes5to8);
  }
}

TEST(JoystickModel, AnswersExactlyTheCommandsThatHaveAnAnswer) {
  Joystick stick;
  EXPECT_TRUE(stick.Receive(Command(sim::kCmdIdentify), 0));
  EXPECT_FALSE(stick.Receive(Command(sim::kCmdPing), 0));
  EXPECT_TRUE(stick.Receive(Command(sim::kCmdErasePage, 0x2000, 16), 0));
  std::array<std::uint8_t, 64> chunk{};
  for (int i = 0; i < 8; ++i) EXPECT_FALSE(stick.Receive(Data(chunk.data()), 0));
  EXPECT_TRUE(stick.Receive(Command(sim::kCmdProgramPage), 0));
  EXPECT_TRUE(stick.Receive(Command(sim::kCmdReadChecksum, 0x2000, 1), 0));
  EXPECT_FALSE(stick.Receive(Command(sim::kCmdFinish), 0));
  EXPECT_FALSE(stick.Receive(Command(0xE7), 0));
  EXPECT_EQ(stick.EventCount(Kind::kUnknownCommand), 1u);
}

// Writes one page the way the update does: erase, eight chunks, program.
void ProgramPage(Joystick& stick, std::size_t page, const std::uint8_t* bytes) {
  const auto address = static_cast<std::uint32_t>(page * 512);
  stick.Receive(Command(sim::kCmdErasePage, address, static_cast<std::uint8_t>(page)), 0);
  for (int c = 0; c < 8; ++c) stick.Receive(Data(bytes + c * 64), 0);
  stick.Receive(Command(sim::kCmdProgramPage), 0);
}

std::uint32_t AskChecksum(Joystick& stick, std::size_t page) {
  auto answer =
      stick.Receive(Command(sim::kCmdReadChecksum, static_cast<std::uint32_t>(page * 512), 1), 0);
  return answer ? Le32At5(*answer) : 0;
}

TEST(JoystickModel, ProgrammedPageHoldsTheDataAndAnswersItsChecksum) {
  Joystick stick;
  std::array<std::uint8_t, 512> page{};
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(i * 7 + 1);
  // A chunk that begins with a command word is still data after an erase.
  const HidReport lookalike = Command(sim::kCmdIdentify);
  std::memcpy(page.data() + 128, lookalike.data() + 1, 64);

  ProgramPage(stick, 3, page.data());

  EXPECT_TRUE(std::equal(page.begin(), page.end(), stick.FlashPage(3).begin()));
  EXPECT_TRUE(stick.Programmed(3));
  EXPECT_EQ(stick.EventCount(Kind::kData), 8u);
  EXPECT_EQ(stick.EventCount(Kind::kIdentify), 0u);
  EXPECT_EQ(AskChecksum(stick, 3), sim::JoystickPageChecksum(page));

  stick.BadChecksumForPage(3);
  EXPECT_NE(AskChecksum(stick, 3), sim::JoystickPageChecksum(page));
}

TEST(JoystickModel, EraseWithoutProgramLeavesTheErasedPage) {
  Joystick stick;
  std::array<std::uint8_t, 512> page{};
  page.fill(0x11);
  // The update streams page 16 once without programming it, then moves on.
  stick.Receive(Command(sim::kCmdErasePage, 0x2000, 16), 0);
  for (int c = 0; c < 8; ++c) stick.Receive(Data(page.data() + c * 64), 0);
  ProgramPage(stick, 0, page.data());

  std::array<std::uint8_t, 512> erased;
  erased.fill(0xFF);
  EXPECT_TRUE(std::equal(erased.begin(), erased.end(), stick.FlashPage(16).begin()));
  EXPECT_FALSE(stick.Programmed(16));
  EXPECT_TRUE(std::equal(page.begin(), page.end(), stick.FlashPage(0).begin()));
}

TEST(JoystickModel, ReportsTheNewReleaseOnceEveryPageIsWritten) {
  std::vector<std::uint8_t> image(sim::kJoystickFlashSize, 0x5C);
  struct Case {
    const char* name;
    std::size_t pagesSkipped;  // from the end
    bool finish;
    std::uint16_t release;
    bool completed;
  } cases[] = {
      {"complete", 0, true, 0x0112, true},
      {"no finish yet", 0, false, 0x0112, false},
      {"last page missing", 1, true, 0x0100, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Joystick stick;
    for (std::size_t p = 0; p + c.pagesSkipped < sim::kJoystickPageCount; ++p) {
      ProgramPage(stick, p, image.data() + p * 512);
    }
    if (c.finish) stick.Receive(Command(sim::kCmdFinish), 0);
    auto answer = stick.Receive(Command(sim::kCmdIdentify), 0);
    EXPECT_EQ((*answer)[7] << 8 | (*answer)[8], c.release);
    EXPECT_EQ(stick.UpdateCompleted(), c.completed);
  }
}

// ---- discovery ----------------------------------------------------------------------

TEST(HidDiscovery, SetIsASnapshotInEnumerationOrder) {
  OnMachine(
      [](HidBus& bus) {
        bus.Plug();
        bus.Plug(Spec([](auto& s) {
          s.model = sim::HidModel::kForeignSilent;
          s.vendorId = 0x046D;
          s.productId = 0xC077;
          s.position = 0;
        }));
      },
      [](HidBus& bus) {
        EXPECT_EQ(PathAt(0), bus.Path(2));
        EXPECT_EQ(PathAt(1), bus.Path(1));
        EXPECT_EQ(PathAt(2), "");
        EXPECT_EQ(bus.Path(1),
                  "\\\\?\\hid#vid_1209&pid_b4e7#7&2a5c1e01&0&0000#{4d1e55b2-f16f-11cf-88cb-"
                  "001111000030}");

        GUID hid;
        HidD_GetHidGuid(&hid);
        EXPECT_EQ(hid.Data1, 0x4D1E55B2u);
        HDEVINFO set =
            SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        ASSERT_NE(set, nullptr);
        EXPECT_EQ(bus.OpenDeviceInfoSets(), 1u);
        bus.Unplug(2);
        bus.Plug();
        SP_DEVICE_INTERFACE_DATA data = InterfaceData();
        for (DWORD i = 0; i < 2; ++i)
          EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &hid, i, &data));
        EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &hid, 2, &data));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        EXPECT_EQ(bus.OpenDeviceInfoSets(), 0u);
        EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        // A new set sees the change.
        EXPECT_EQ(PathAt(0), bus.Path(1));
        EXPECT_EQ(PathAt(1), bus.Path(3));
      });
}

TEST(HidDiscovery, StructureSizesAndDetailSizeQueryBehaveAsWindows) {
  OnMachine(
      [](HidBus& bus) { bus.Plug(); },
      [](HidBus& bus) {
        GUID hid;
        HidD_GetHidGuid(&hid);
        HDEVINFO set =
            SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        SP_DEVICE_INTERFACE_DATA data = InterfaceData();
        data.cbSize -= 4;
        EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &hid, 0, &data));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
        data.cbSize = sizeof data;
        ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &hid, 0, &data));

        DWORD required = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        const std::string& path = bus.Path(1);
        EXPECT_EQ(required, 4 + path.size() + 1);

        std::vector<char> buffer(required);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        struct Case {
          DWORD cbSize;
          DWORD size;
          Result expected;
        } cases[] = {
            {5, required, Failed(ERROR_INVALID_USER_BUFFER)},  // the 32-bit value
            {required, required, Failed(ERROR_INVALID_USER_BUFFER)},
            {8, 4, Failed(ERROR_INVALID_USER_BUFFER)},
            {8, required - 1, Failed(ERROR_INSUFFICIENT_BUFFER)},
            {8, required, kOk},
        };
        for (const Case& c : cases) {
          SCOPED_TRACE(testing::Message() << "cbSize " << c.cbSize << " size " << c.size);
          detail->cbSize = c.cbSize;
          const BOOL ok =
              SetupDiGetDeviceInterfaceDetailA(set, &data, detail, c.size, nullptr, nullptr);
          EXPECT_EQ((Result{ok != FALSE, ok ? 0 : GetLastError()}), c.expected);
        }
        EXPECT_EQ(std::string(detail->DevicePath), path);
        SetupDiDestroyDeviceInfoList(set);
      });
}

TEST(HidDiscovery, OpenRecordsItsArgumentsAndGivesTheAttributes) {
  OnMachine([](HidBus& bus) { bus.Plug(Spec([](auto& s) { s.versionNumber = 0x0203; })); },
            [](HidBus& bus) {
              std::string path = bus.Path(1);
              for (char& c : path) c = static_cast<char>(std::toupper(c));  // case does not matter
              HANDLE h = Open(path);
              ASSERT_NE(h, INVALID_HANDLE_VALUE);
              HIDD_ATTRIBUTES attributes{};
              attributes.Size = sizeof attributes;
              EXPECT_EQ(HidD_GetAttributes(h, &attributes), TRUE);
              EXPECT_EQ(attributes.VendorID, sim::kJoystickVendorId);
              EXPECT_EQ(attributes.ProductID, sim::kJoystickProductId);
              EXPECT_EQ(attributes.VersionNumber, 0x0203);
              CloseHandle(h);

              EXPECT_EQ(Open("\\\\?\\hid#vid_0000&pid_0000#0#{x}"), INVALID_HANDLE_VALUE);
              EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

              ASSERT_EQ(bus.Opens().size(), 2u);
              const sim::HidOpen& open = bus.Opens()[0];
              EXPECT_TRUE(open.ok);
              EXPECT_EQ(open.device, 1);
              EXPECT_EQ(open.access, kOpenAccess);
              EXPECT_EQ(open.share, kOpenShare);
              EXPECT_EQ(open.creation, OPEN_EXISTING);
              EXPECT_EQ(open.flags, 0u);
              EXPECT_FALSE(bus.Opens()[1].ok);
            });
}

// ---- fault injection ----------------------------------------------------------------

// Walks discovery and one identity exchange as the program does; names the
// first step that fails and its error.
struct WalkEnd {
  std::string step;
  DWORD error;
  bool operator==(const WalkEnd&) const = default;
};
std::ostream& operator<<(std::ostream& os, const WalkEnd& w) {
  return os << w.step << " error " << w.error;
}

WalkEnd Walk() {
  GUID hid;
  HidD_GetHidGuid(&hid);
  HDEVINFO set =
      SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return {"classdevs", GetLastError()};
  std::vector<char> buffer(512);
  auto end = [&](std::string step) {
    const DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    return WalkEnd{std::move(step), error};
  };
  SP_DEVICE_INTERFACE_DATA data = InterfaceData();
  if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hid, 0, &data)) return end("enum");
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return end("detail size");
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, 512, nullptr, nullptr)) {
    return end("detail");
  }
  HANDLE h = Open(detail->DevicePath);
  if (h == INVALID_HANDLE_VALUE) return end("open");
  SetupDiDestroyDeviceInfoList(set);
  WalkEnd result{"done", 0};
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  HidReport answer{};
  if (HidD_GetAttributes(h, &attributes) != TRUE) {
    result = {"attributes", GetLastError()};
  } else if (Result w = Write(h, Command(sim::kCmdIdentify)); !w.ok) {
    result = {"write", w.error};
  } else if (Result r = Read(h, answer); !r.ok) {
    result = {"read", r.error};
  }
  CloseHandle(h);
  return result;
}

TEST(HidFaults, EachInjectedFaultFailsItsStepWithItsError) {
  struct Case {
    const char* name;
    std::function<void(HidBus&, HidId)> arm;
    WalkEnd expected;
  } cases[] = {
      {"none", [](HidBus&, HidId) {}, {"done", 0}},
      {"set",
       [](HidBus& b, HidId) { b.Discovery().classDevs.FailNext(); },
       {"classdevs", ERROR_NOT_ENOUGH_MEMORY}},
      {"enumeration",
       [](HidBus& b, HidId) { b.Discovery().enumFailsAtIndex = 0; },
       {"enum", ERROR_GEN_FAILURE}},
      {"size query",
       [](HidBus& b, HidId id) { b.Faults(id).detail.Fail(1); },
       {"detail size", ERROR_GEN_FAILURE}},
      {"detail",
       [](HidBus& b, HidId id) { b.Faults(id).detail.Fail(2); },
       {"detail", ERROR_GEN_FAILURE}},
      {"open",
       [](HidBus& b, HidId id) { b.Faults(id).open.FailNext(); },
       {"open", ERROR_ACCESS_DENIED}},
      {"attributes",
       [](HidBus& b, HidId id) { b.Faults(id).attributes.FailNext(); },
       {"attributes", ERROR_GEN_FAILURE}},
      {"write",
       [](HidBus& b, HidId id) { b.Faults(id).writes.Fail(1); },
       {"write", ERROR_GEN_FAILURE}},
      {"read",
       [](HidBus& b, HidId id) { b.Faults(id).reads.Fail(1); },
       {"read", ERROR_GEN_FAILURE}},
      {"predicate",
       [](HidBus& b, HidId id) {
         b.Faults(id).failIf = [](DWORD, bool write, const std::uint8_t* buffer) {
           return !write && buffer != nullptr;
         };
       },
       {"read", ERROR_GEN_FAILURE}},
      {"unplug in write",
       [](HidBus& b, HidId id) { b.Faults(id).unplugAtTransfer = 1; },
       {"write", ERROR_DEVICE_NOT_CONNECTED}},
      {"unplug in read",
       [](HidBus& b, HidId id) { b.Faults(id).unplugAtTransfer = 2; },
       {"read", ERROR_DEVICE_NOT_CONNECTED}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OnMachine([&](HidBus& bus) { c.arm(bus, bus.Plug()); },
              [&](HidBus& bus) {
                EXPECT_EQ(Walk(), c.expected);
                EXPECT_EQ(bus.OpenDeviceInfoSets(), 0u);
              });
  }
}

TEST(HidFaults, DetailSizeQueryReportsTheInjectedOddSize) {
  for (DWORD odd : {0u, 3u, 0x7FFFFFFFu}) {
    SCOPED_TRACE(odd);
    OnMachine([&](HidBus& bus) { bus.Faults(bus.Plug()).requiredSize = odd; },
              [&](HidBus&) {
                GUID hid;
                HidD_GetHidGuid(&hid);
                HDEVINFO set = SetupDiGetClassDevsA(&hid, nullptr, nullptr,
                                                    DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
                SP_DEVICE_INTERFACE_DATA data = InterfaceData();
                ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &hid, 0, &data));
                DWORD required = 1234;
                EXPECT_FALSE(
                    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
                EXPECT_EQ(required, odd);
                SetupDiDestroyDeviceInfoList(set);
              });
  }
}

TEST(HidFaults, FailedWriteNeverReachesTheDeviceAndFailedReadKeepsTheAnswer) {
  OnMachine(
      [](HidBus& bus) {
        const HidId id = bus.Plug();
        bus.Faults(id).writes.Fail(2);
        bus.Faults(id).reads.Fail(1);
      },
      [](HidBus& bus) {
        HANDLE h = Open(bus.Path(1));
        HidReport answer{};
        EXPECT_EQ(Write(h, Command(sim::kCmdPing)), kOk);
        EXPECT_EQ(Write(h, Command(sim::kCmdIdentify)), Failed(ERROR_GEN_FAILURE));
        EXPECT_EQ(bus.JoystickOf(1).EventCount(Kind::kIdentify), 0u);
        EXPECT_EQ(Write(h, Command(sim::kCmdIdentify)), kOk);
        EXPECT_EQ(Read(h, answer), Failed(ERROR_GEN_FAILURE));
        EXPECT_EQ(Read(h, answer), kOk);
        EXPECT_EQ(answer[5], 0x04);
        CloseHandle(h);
      });
}

// ---- transfers --------------------------------------------------------------------

TEST(HidTransfer, OnlyWholeReportsWithReportIdZeroAreTaken) {
  OnMachine(
      [](HidBus& bus) {
        bus.Plug();
        bus.Plug(Spec([](auto& s) {
          s.model = sim::HidModel::kForeignRejecting;
          s.vendorId = 0x046D;
        }));
      },
      [](HidBus& bus) {
        HANDLE h = Open(bus.Path(1));
        std::array<std::uint8_t, 66> big{};
        DWORD n = 7;
        for (DWORD length : {0u, 64u, 66u}) {
          EXPECT_FALSE(WriteFile(h, big.data(), length, &n, nullptr));
          EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
          EXPECT_EQ(n, 0u);
          EXPECT_FALSE(ReadFile(h, big.data(), length, &n, nullptr));
          EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        }
        HidReport withId = Command(sim::kCmdIdentify);
        withId[0] = 1;
        EXPECT_EQ(Write(h, withId), Failed(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(bus.JoystickOf(1).Events().size(), 0u);
        EXPECT_EQ(Write(h, Command(sim::kCmdIdentify)), kOk);
        CloseHandle(h);

        HANDLE foreign = Open(bus.Path(2));
        EXPECT_EQ(Write(foreign, Command(sim::kCmdIdentify)), Failed(ERROR_INVALID_PARAMETER));
        CloseHandle(foreign);
      });
}

TEST(HidTransfer, LatencyIsVirtualTimeAndIoOnOneHandleIsSerialised) {
  struct Shared {
    HANDLE h;
    sim::Ticks doneAt;
  };
  OnMachine([](HidBus& bus) { bus.Plug(Spec([](auto& s) { s.latency = 100; })); },
            [](HidBus& bus) {
              Shared shared{Open(bus.Path(1)), 0};
              HANDLE other = CreateThread(
                  nullptr, 0,
                  [](LPVOID p) -> DWORD {
                    auto* s = static_cast<Shared*>(p);
                    Write(s->h, Command(sim::kCmdPing));
                    s->doneAt = sim::Now();
                    return 0;
                  },
                  &shared, 0, nullptr);
              Sleep(10);
              EXPECT_EQ(Write(shared.h, Command(sim::kCmdPing)), kOk);
              EXPECT_EQ(sim::Now(), 200u);
              WaitForSingleObject(other, INFINITE);
              EXPECT_EQ(shared.doneAt, 100u);
              CloseHandle(other);
              CloseHandle(shared.h);
            });
}

// A stalled transfer ends when another thread cancels it, unless the driver
// ignores cancellation: then only the unplug (at 300 ms) ends it.
TEST(HidTransfer, StalledDeviceBlocksUntilCancelSynchronousIoFromAnotherThread) {
  struct Shared {
    HANDLE h;
    Result result;
    sim::Ticks endedAt;
  };
  struct Case {
    bool ignoresCancel;
    Result result;
    sim::Ticks endedAt;
  };
  for (const Case c : {Case{false, Failed(ERROR_OPERATION_ABORTED), 120},
                       Case{true, Failed(ERROR_DEVICE_NOT_CONNECTED), 300}}) {
    OnMachine(
        [&c](HidBus& bus) {
          const HidId id = bus.Plug();
          bus.Faults(id).stallAt = 50;
          bus.Faults(id).ignoresCancel = c.ignoresCancel;
          bus.UnplugAt(300, id);
        },
        [&c](HidBus& bus) {
          Shared shared{Open(bus.Path(1)), kOk, 0};
          // The answer is queued before the stall; once stalled, the
          // device delivers nothing, not even that.
          EXPECT_EQ(Write(shared.h, Command(sim::kCmdIdentify)), kOk);
          Sleep(100);
          HANDLE reader = CreateThread(
              nullptr, 0,
              [](LPVOID p) -> DWORD {
                auto* s = static_cast<Shared*>(p);
                HidReport answer{};
                s->result = Read(s->h, answer);
                s->endedAt = sim::Now();
                return 0;
              },
              &shared, 0, nullptr);
          Sleep(20);
          EXPECT_EQ(CancelSynchronousIo(reader), TRUE);
          WaitForSingleObject(reader, INFINITE);
          EXPECT_EQ(shared.result, c.result) << "ignores cancel: " << c.ignoresCancel;
          EXPECT_EQ(shared.endedAt, c.endedAt) << "ignores cancel: " << c.ignoresCancel;
          CloseHandle(reader);
          CloseHandle(shared.h);
        });
  }
}

TEST(HidTransfer, UnpluggedDeviceFailsUntilTheHandleIsClosed) {
  OnMachine(
      [](HidBus& bus) {
        const HidId id = bus.Plug();
        bus.UnplugAt(300, id);
      },
      [](HidBus& bus) {
        HANDLE h = Open(bus.Path(1));
        HidReport answer{};
        EXPECT_EQ(Read(h, answer), Failed(ERROR_DEVICE_NOT_CONNECTED));  // blocked, then unplugged
        EXPECT_EQ(sim::Now(), 300u);
        EXPECT_FALSE(bus.Present(1));
        bus.Replug(1);
        EXPECT_EQ(Write(h, Command(sim::kCmdPing)), Failed(ERROR_DEVICE_NOT_CONNECTED));
        EXPECT_EQ(Read(h, answer), Failed(ERROR_DEVICE_NOT_CONNECTED));
        CloseHandle(h);
        EXPECT_EQ(Write(h, Command(sim::kCmdPing)), Failed(ERROR_INVALID_HANDLE));
        HANDLE again = Open(bus.Path(1));
        EXPECT_EQ(Write(again, Command(sim::kCmdPing)), kOk);
        CloseHandle(again);
      });
}

TEST(HidTransfer, CaptureHoldsEveryTransferInTheLineFormat) {
  OnMachine([](HidBus& bus) { bus.Plug(); },
            [](HidBus& bus) {
              HANDLE h = Open(bus.Path(1));
              Write(h, Command(sim::kCmdIdentify));
              HANDLE other = CreateThread(
                  nullptr, 0,
                  [](LPVOID p) -> DWORD {
                    Sleep(5);
                    HidReport answer{};
                    Read(static_cast<HANDLE>(p), answer);
                    return 0;
                  },
                  h, 0, nullptr);
              WaitForSingleObject(other, INFINITE);
              Write(h, HidReport{});
              CloseHandle(other);
              CloseHandle(h);

              EXPECT_EQ(bus.CaptureText(GetCurrentThreadId()),
                        "0 ui W ok 00a5e15a1e" + std::string(120, '0') + "\n" +
                            "5 monitor R ok 00a5e15a1e04200100" + std::string(112, '0') + "\n" +
                            "5 ui W ok " + std::string(130, '0') + "\n");
              ASSERT_EQ(bus.Capture().size(), 3u);
              EXPECT_EQ(bus.Capture()[1].bytes.size(), 65u);
            });
}

}  // namespace
