// State of the simulated HID bus, shared by hid_bus.cpp (devices, faults,
// capture) and hid_api.cpp (the setup API and HID calls).
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "race_detector.h"
#include "simwin/hid.h"

namespace sim {

class HidFile;

struct HidInterface {
  HidId id = 0;
  HidInterfaceSpec spec;
  std::string path;
  bool present = false;
  bool everPlugged = false;
  // Bumped on every plug: a handle belongs to one connection of the device.
  std::uint64_t connection = 0;
  std::unique_ptr<Joystick> joystick;  // null for a foreign device
  InterfaceFaults faults;
  std::uint64_t transfers = 0;
  std::vector<std::weak_ptr<HidFile>> files;

  bool Stalled(Ticks now) const { return faults.stallAt && now >= *faults.stallAt; }
  const char* ModelName() const;
};

// An open handle on a HID interface.
class HidFile : public KernelObject {
 public:
  // Windows keeps this many input reports per handle and drops the oldest.
  static constexpr std::size_t kInputBufferReports = 32;

  HidFile(std::shared_ptr<HidInterface> device, DWORD access, DWORD flags)
      : device_(std::move(device)),
        connection_(device_->connection),
        access_(access),
        flags_(flags) {}

  HidInterface& Device() const { return *device_; }
  bool Connected() const { return device_->present && device_->connection == connection_; }
  DWORD Access() const { return access_; }
  DWORD Flags() const { return flags_; }
  bool Closed() const { return closed_; }
  void Deliver(const HidReport& report);

  std::deque<HidReport> input;
  bool busy = false;  // a transfer or HID call is under way on this handle

  void OnLastHandleClosed() override { closed_ = true; }
  std::string Describe() const override { return "HID device " + device_->path; }

 private:
  std::shared_ptr<HidInterface> device_;
  std::uint64_t connection_;
  DWORD access_;
  DWORD flags_;
  bool closed_ = false;
};

struct DevInfoSet {
  struct Entry {
    HidId id;
    std::string path;
    bool present;
  };
  std::vector<Entry> entries;
};

enum class WaitEnd { kReady, kAborted, kDisconnected };

struct HidBus::State {
  explicit State(Machine& m) : machine(m) {}

  HidInterface& Add(HidInterfaceSpec spec);
  HidInterface& Get(HidId id) const;
  HidInterface* FindPresent(std::string_view path) const;
  void DoPlug(HidInterface& device);
  void DoUnplug(HidInterface& device);
  // Applies the plugs and unplugs scheduled up to now.
  void ApplyDue();
  std::optional<Ticks> NextScheduled() const;

  // Blocks the calling thread on `handle` until `ready()` (or, with `until`,
  // that time), honouring cancellation, close and unplug; a stalled device
  // never becomes ready when `stallBlocks`.
  WaitEnd Wait(HidFile& file, const std::function<bool()>& ready, std::optional<Ticks> until,
               bool stallBlocks, const std::string& what);

  Machine& machine;
  std::vector<std::shared_ptr<HidInterface>> devices;  // index id - 1
  std::vector<HidId> order;                            // enumeration order
  struct Scheduled {
    Ticks at;
    bool plug;
    HidId id;
  };
  std::vector<Scheduled> schedule;  // kept in time order, ties in call order
  std::map<const void*, std::unique_ptr<DevInfoSet>> sets;
  DiscoveryFaults discovery;
  std::vector<HidTransfer> capture;
  std::vector<HidOpen> opens;
  bool runEnded = false;
};

}  // namespace sim
