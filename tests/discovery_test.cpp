// Finding the joystick among the HID interfaces present.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "app/UpdateFirmwareDlg.h"
#include "simwin/kernel.h"
#include "support/program_run.h"

namespace {

using sim::HidBus;
using sim::HidId;
using sim::HidInterfaceSpec;
using sim::HidModel;

HidInterfaceSpec Foreign(std::uint16_t vendor = 0x046D, std::uint16_t product = 0xC216) {
  HidInterfaceSpec spec;
  spec.model = HidModel::kForeignSilent;
  spec.vendorId = vendor;
  spec.productId = product;
  return spec;
}

struct SearchOutcome {
  BOOL result = FALSE;
  HANDLE handle = nullptr;
  std::size_t handlesOpen = 0;  // open kernel handles after the search
};

// Runs one FindDevice on a dialog object (no window needed) on the
// simulated main thread.
SearchOutcome Search(uft::ProgramMachine& machine, int searches = 1) {
  SearchOutcome outcome;
  machine.RunThread([&] {
    CUpdateFirmwareDlg dlg;
    dlg.m_hDevice = nullptr;
    for (int i = 0; i < searches; ++i) outcome.result = dlg.FindDevice();
    outcome.handle = dlg.m_hDevice.load();
    outcome.handlesOpen = machine.Kern().OpenHandleCount();
  });
  return outcome;
}

std::optional<HidId> OpenedDevice(const HidBus& bus, HANDLE /*handle*/) {
  std::optional<HidId> last;
  for (const auto& open : bus.Opens()) {
    if (open.ok) last = open.device;
  }
  return last;
}

struct DiscoveryCase {
  std::string name;
  // Plugs the interfaces and sets the faults; returns the interface the
  // search must leave open, if any.
  std::function<std::optional<HidId>(HidBus&)> arrange;
  std::size_t expectedOpens;  // CreateFileA calls made
};

class DiscoveryOutcome : public ::testing::TestWithParam<DiscoveryCase> {};

TEST_P(DiscoveryOutcome, EndsAsTheIndexAllows) {
  uft::ProgramMachine machine;
  const std::optional<HidId> expected = GetParam().arrange(machine.Hid());
  const SearchOutcome outcome = Search(machine);

  EXPECT_EQ(outcome.result, expected ? TRUE : FALSE);
  EXPECT_EQ(outcome.handle == nullptr, !expected);
  EXPECT_NE(outcome.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(machine.Hid().Opens().size(), GetParam().expectedOpens);
  if (expected) {
    EXPECT_EQ(OpenedDevice(machine.Hid(), outcome.handle), expected);
  }
  // Only the joystick's handle stays open; every set is destroyed.
  EXPECT_EQ(machine.Hid().OpenDeviceInfoSets(), 0u);
  for (const auto& open : machine.Hid().Opens()) {
    EXPECT_EQ(open.access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(open.share, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(open.creation, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(open.flags, FILE_ATTRIBUTE_NORMAL);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryRow, DiscoveryOutcome,
    ::testing::Values(
        DiscoveryCase{"NoInterface", [](HidBus&) { return std::optional<HidId>(); }, 0},
        DiscoveryCase{"SetCannotBeBuilt",
                      [](HidBus& bus) {
                        bus.Plug();
                        bus.Discovery().classDevs.FailFrom(1);
                        return std::optional<HidId>();
                      },
                      0},
        DiscoveryCase{"EnumerationFails",
                      [](HidBus& bus) {
                        bus.Plug();
                        bus.Discovery().enumFailsAtIndex = 0;
                        return std::optional<HidId>();
                      },
                      0},
        DiscoveryCase{"DetailFailsBelowTheJoystick",
                      [](HidBus& bus) {
                        const HidId other = bus.Plug(Foreign());
                        bus.Plug();
                        bus.Faults(other).detail.FailFrom(1);
                        return std::optional<HidId>();
                      },
                      0},
        DiscoveryCase{"NoBufferForAnAbsurdSize",
                      [](HidBus& bus) {
                        const HidId other = bus.Plug(Foreign());
                        bus.Plug();
                        bus.Faults(other).requiredSize = 0x7FFFFFFF;
                        return std::optional<HidId>();
                      },
                      0},
        DiscoveryCase{"SizeSmallerThanTheRecord",
                      [](HidBus& bus) {
                        const HidId stick = bus.Plug();
                        bus.Faults(stick).requiredSize = 3;
                        return std::optional<HidId>();
                      },
                      0},
        DiscoveryCase{"NoSizeReported",
                      [](HidBus& bus) {
                        const HidId stick = bus.Plug();
                        bus.Faults(stick).requiredSize = 0;
                        return std::optional<HidId>();
                      },
                      0},
        DiscoveryCase{"UnopenableInterfaceIsSkipped",
                      [](HidBus& bus) {
                        const HidId other = bus.Plug(Foreign());
                        bus.Faults(other).open.FailFrom(1);
                        return std::optional<HidId>(bus.Plug());
                      },
                      2},
        DiscoveryCase{"UnreadableAttributesAreSkipped",
                      [](HidBus& bus) {
                        const HidId other = bus.Plug();
                        bus.Faults(other).attributes.FailFrom(1);
                        return std::optional<HidId>(bus.Plug());
                      },
                      2},
        DiscoveryCase{"JoystickBehindThreeOthers",
                      [](HidBus& bus) {
                        bus.Plug(Foreign());
                        bus.Plug(Foreign(sim::kJoystickVendorId, 0x0001));   // product differs
                        bus.Plug(Foreign(0x0001, sim::kJoystickProductId));  // vendor differs
                        return std::optional<HidId>(bus.Plug());
                      },
                      4},
        DiscoveryCase{"FirstOfTwoJoysticks",
                      [](HidBus& bus) {
                        const HidId first = bus.Plug();
                        bus.Plug();
                        return std::optional<HidId>(first);
                      },
                      1},
        DiscoveryCase{"AnyReleaseMatches",
                      [](HidBus& bus) {
                        HidInterfaceSpec spec;
                        spec.versionNumber = 0x9999;
                        return std::optional<HidId>(bus.Plug(spec));
                      },
                      1}),
    [](const auto& info) { return info.param.name; });

TEST(Discovery, LeavesNoHandleBehindOverAThousandSearches) {
  uft::ProgramMachine machine;
  const HidId unreadable = machine.Hid().Plug(Foreign());
  machine.Hid().Faults(unreadable).attributes.FailFrom(1);
  machine.Hid().Plug(Foreign());
  machine.Hid().Plug();

  const SearchOutcome once = Search(machine, 1);
  uft::ProgramMachine again;
  const HidId unreadable2 = again.Hid().Plug(Foreign());
  again.Hid().Faults(unreadable2).attributes.FailFrom(1);
  again.Hid().Plug(Foreign());
  again.Hid().Plug();
  const SearchOutcome thousand = Search(again, 1000);

  EXPECT_EQ(thousand.result, TRUE);
  EXPECT_EQ(thousand.handlesOpen, once.handlesOpen);
  EXPECT_EQ(again.Hid().OpenDeviceInfoSets(), 0u);
}

}  // namespace
