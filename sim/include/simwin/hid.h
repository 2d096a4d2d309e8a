// The simulated HID bus: the HID device interfaces present on the machine,
// what the setup API and the HID calls see of them, the device model behind
// each one, fault injection, and the capture of every report transfer.
//
//   auto& hid = script.Hid();
//   sim::HidId stick = hid.Plug();               // a joystick, enumerated last
//   hid.Faults(stick).writes.Fail(12);           // its 12th WriteFile fails
//   hid.UnplugAt(5000, stick);
//   ...
//   EXPECT_TRUE(hid.JoystickOf(stick).UpdateCompleted());
//
// Every call runs with the scheduler's baton held; nothing here locks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "simwin/joystick.h"
#include "simwin/sched.h"
#include "simwin/win32_api.h"

namespace sim {

class Machine;

using HidId = int;  // one plugged interface; stays valid after an unplug

inline constexpr std::uint16_t kJoystickVendorId = 0x1209;
inline constexpr std::uint16_t kJoystickProductId = 0xB4E7;

enum class HidModel {
  kJoystick,
  kForeignSilent,     // takes every 65-byte write, never sends an input report
  kForeignRejecting,  // its reports are not 65 bytes long: every write and read fails
};

struct HidInterfaceSpec {
  HidModel model = HidModel::kJoystick;
  std::uint16_t vendorId = kJoystickVendorId;
  std::uint16_t productId = kJoystickProductId;
  std::uint16_t versionNumber = 0x0100;
  // Empty: "\\?\hid#vid_xxxx&pid_yyyy#<instance>#{hid interface class}".
  std::string path;
  // Place in the enumeration order; by default after every interface so far.
  std::optional<std::size_t> position;
  Ticks latency = 0;  // virtual ms that each write and read takes
  JoystickOptions joystick;
};

// Which calls of one kind fail, counted from 1 over the whole run.
class CallFaults {
 public:
  explicit CallFaults(DWORD defaultError = ERROR_GEN_FAILURE) : error(defaultError) {}
  void Fail(std::uint64_t n) { failing_.insert(n); }  // the nth call
  void FailFrom(std::uint64_t n) { from_ = n; }       // the nth and every later call
  void FailNext() { Fail(count_ + 1); }
  void Clear() {
    failing_.clear();
    from_.reset();
  }
  std::uint64_t Count() const { return count_; }
  // Counts one call; true when that call is to fail.
  bool Next();

  DWORD error;  // what GetLastError returns after a failed call

 private:
  std::uint64_t count_ = 0;
  std::set<std::uint64_t> failing_;
  std::optional<std::uint64_t> from_;
};

// Faults of one interface. Writes and reads are counted over every WriteFile
// and ReadFile on any of the interface's handles, across replugs. A failed
// write does not reach the device; a failed read takes no input report.
struct InterfaceFaults {
  CallFaults detail;                     // SetupDiGetDeviceInterfaceDetailA
  std::optional<DWORD> requiredSize;     // the detail size query reports this instead
  CallFaults open{ERROR_ACCESS_DENIED};  // CreateFileA
  CallFaults attributes;                 // HidD_GetAttributes returns FALSE
  CallFaults writes;
  CallFaults reads;
  // Asked for every WriteFile and ReadFile (thread, write or read, the
  // caller's buffer as passed): true makes that call fail like an injected
  // write or read fault, with writes.error or reads.error.
  std::function<bool(DWORD thread, bool write, const std::uint8_t* buffer)> failIf;
  // The device goes away during its nth transfer (writes and reads counted
  // together); that transfer fails with ERROR_DEVICE_NOT_CONNECTED.
  std::optional<std::uint64_t> unplugAtTransfer;
  // From this virtual time on the device answers nothing: every transfer
  // blocks until it is cancelled, the handle is closed or the device unplugged.
  std::optional<Ticks> stallAt;
  // A driver without cancellation: CancelSynchronousIo does not end its
  // transfers (the call itself still succeeds).
  bool ignoresCancel = false;
  Ticks extraReadLatency = 0;  // answers come this much later
};

struct DiscoveryFaults {
  CallFaults classDevs{ERROR_NOT_ENOUGH_MEMORY};  // SetupDiGetClassDevsA: INVALID_HANDLE_VALUE
  std::optional<DWORD> enumFailsAtIndex;          // SetupDiEnumDeviceInterfaces at this index
  DWORD enumError = ERROR_GEN_FAILURE;
};

// One WriteFile or ReadFile on a HID handle.
struct HidTransfer {
  Ticks at = 0;           // when the call returned
  std::uint64_t seq = 0;  // and its place in the run's event sequence (NextSequence)
  DWORD thread = 0;
  HidId device = 0;
  bool write = false;
  bool ok = false;
  DWORD error = ERROR_SUCCESS;      // GetLastError after a failure
  std::vector<std::uint8_t> bytes;  // the caller's buffer after the call (65 bytes normally)
};

// One CreateFileA call.
struct HidOpen {
  Ticks at = 0;
  DWORD thread = 0;
  std::string path;
  std::optional<HidId> device;  // the interface opened, when the call succeeded
  DWORD access = 0;
  DWORD share = 0;
  DWORD creation = 0;
  DWORD flags = 0;
  bool ok = false;
  DWORD error = ERROR_SUCCESS;
};

// "ui" for the process's main thread, "monitor" for any other.
std::string_view CaptureThreadLabel(DWORD thread, DWORD mainThread);
// "<virtual ms> <ui|monitor> <W|R> <ok|fail> <hex of every buffer byte>"
std::string FormatCaptureLine(const HidTransfer& transfer, DWORD mainThread);

class HidBus {
 public:
  explicit HidBus(Machine& machine);
  ~HidBus();
  HidBus(const HidBus&) = delete;
  HidBus& operator=(const HidBus&) = delete;

  // ---- devices coming and going ----
  HidId Plug(HidInterfaceSpec spec = {});
  void Unplug(HidId id);
  // The same device plugged in again: same path, its flash kept. Handles
  // opened before the unplug stay dead.
  void Replug(HidId id);
  HidId PlugAt(Ticks when, HidInterfaceSpec spec = {});
  void UnplugAt(Ticks when, HidId id);

  // ---- configuration and faults ----
  InterfaceFaults& Faults(HidId id);
  DiscoveryFaults& Discovery();
  void SetLatency(HidId id, Ticks ms);
  Joystick& JoystickOf(HidId id);  // throws std::logic_error for a foreign device

  // ---- observation ----
  bool Present(HidId id);
  const std::string& Path(HidId id) const;
  const std::vector<HidTransfer>& Capture() const;
  std::string CaptureText(DWORD mainThread) const;  // one line per transfer, '\n'-terminated
  const std::vector<HidOpen>& Opens() const;
  std::size_t OpenDeviceInfoSets() const;

  // The sim's own implementation of the Win32 calls (sim/src/hid*.cpp).
  struct State;
  State& Internal() { return *state_; }

 private:
  std::unique_ptr<State> state_;
};

std::unique_ptr<HidBus> MakeHidBus(Machine& machine);
void OnRunEnd(HidBus& bus);

}  // namespace sim
