#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "hid_internal.h"

namespace sim {

// ---- fault counting --------------------------------------------------------------

bool CallFaults::Next() {
  ++count_;
  return failing_.contains(count_) || (from_ && count_ >= *from_);
}

// ---- interfaces and handles ------------------------------------------------------

const char* HidInterface::ModelName() const {
  switch (spec.model) {
    case HidModel::kJoystick:
      return "joystick";
    case HidModel::kForeignSilent:
      return "silent HID device";
    case HidModel::kForeignRejecting:
      return "rejecting HID device";
  }
  return "HID device";
}

void HidFile::Deliver(const HidReport& report) {
  if (closed_ || !Connected()) return;
  if (input.size() == kInputBufferReports) input.pop_front();
  input.push_back(report);
}

// ---- bus state ----------------------------------------------------------------------

HidInterface& HidBus::State::Get(HidId id) const {
  if (id < 1 || static_cast<std::size_t>(id) > devices.size()) {
    throw std::out_of_range("HidBus: no interface " + std::to_string(id));
  }
  return *devices[static_cast<std::size_t>(id) - 1];
}

namespace {
bool SamePath(std::string_view a, std::string_view b) {
  // Device paths compare without regard to case, as Windows compares them.
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}
}  // namespace

HidInterface* HidBus::State::FindPresent(std::string_view path) const {
  for (HidId id : order) {
    HidInterface& d = Get(id);
    if (d.present && SamePath(d.path, path)) return &d;
  }
  return nullptr;
}

void HidBus::State::DoPlug(HidInterface& device) {
  if (device.present) return;
  device.present = true;
  device.everPlugged = true;
  ++device.connection;
  if (device.joystick) device.joystick->PowerCycle();
}

void HidBus::State::DoUnplug(HidInterface& device) { device.present = false; }

void HidBus::State::ApplyDue() {
  // Without anything scheduled the clock is not consulted, so a script may
  // plug devices before the run starts.
  if (runEnded || schedule.empty()) return;
  const Ticks now = Now();
  while (!schedule.empty() && schedule.front().at <= now) {
    const Scheduled next = schedule.front();
    schedule.erase(schedule.begin());
    HidInterface& d = Get(next.id);
    next.plug ? DoPlug(d) : DoUnplug(d);
  }
}

std::optional<Ticks> HidBus::State::NextScheduled() const {
  if (schedule.empty()) return std::nullopt;
  return schedule.front().at;
}

WaitEnd HidBus::State::Wait(HidFile& file, const std::function<bool()>& ready,
                            std::optional<Ticks> until, bool stallBlocks, const std::string& what) {
  HidInterface& d = file.Device();
  auto stalled = [&] { return stallBlocks && d.Stalled(Now()); };
  auto cancelled = [&] { return IoCancelled() && !d.faults.ignoresCancel; };
  for (;;) {
    ApplyDue();
    if (!file.Connected()) return WaitEnd::kDisconnected;
    // Closing the handle cancels what is pending on it, as the HID class
    // driver does on cleanup.
    if (cancelled() || file.Closed()) return WaitEnd::kAborted;
    const Ticks now = Now();
    if (!stalled() && (ready() || (until && now >= *until))) return WaitEnd::kReady;

    // Wake up for whatever can change the outcome: the end of the wait, a
    // scheduled plug or unplug, the start of a stall.
    std::optional<Ticks> deadline = stalled() ? std::nullopt : until;
    auto wakeAt = [&](std::optional<Ticks> t) {
      if (t && *t > now && (!deadline || *t < *deadline)) deadline = t;
    };
    wakeAt(NextScheduled());
    if (stallBlocks && !stalled()) wakeAt(d.faults.stallAt);
    WaitUntil(
        [&] {
          return cancelled() || file.Closed() || !file.Connected() || (!stalled() && ready());
        },
        deadline, what);
  }
}

// ---- HidBus -------------------------------------------------------------------------

HidBus::HidBus(Machine& machine) : state_(std::make_unique<State>(machine)) {}
HidBus::~HidBus() = default;

namespace {
void InsertScheduled(std::vector<HidBus::State::Scheduled>& schedule,
                     HidBus::State::Scheduled event) {
  auto later =
      std::upper_bound(schedule.begin(), schedule.end(), event.at,
                       [](Ticks t, const HidBus::State::Scheduled& e) { return t < e.at; });
  schedule.insert(later, event);
}
}  // namespace

HidInterface& HidBus::State::Add(HidInterfaceSpec spec) {
  auto device = std::make_shared<HidInterface>();
  device->id = static_cast<HidId>(devices.size() + 1);
  device->path = spec.path;
  if (device->path.empty()) {
    char path[128];
    std::snprintf(
        path, sizeof path,
        "\\\\?\\hid#vid_%04x&pid_%04x#7&%08x&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
        spec.vendorId, spec.productId, 0x2a5c1e00u + static_cast<unsigned>(device->id));
    device->path = path;
  }
  if (spec.model == HidModel::kJoystick) {
    device->joystick = std::make_unique<Joystick>(spec.joystick);
  }
  const std::size_t position = std::min(spec.position.value_or(order.size()), order.size());
  device->spec = std::move(spec);
  order.insert(order.begin() + static_cast<std::ptrdiff_t>(position), device->id);
  devices.push_back(device);
  return *device;
}

HidId HidBus::Plug(HidInterfaceSpec spec) {
  HidInterface& d = state_->Add(std::move(spec));
  state_->DoPlug(d);
  return d.id;
}

HidId HidBus::PlugAt(Ticks when, HidInterfaceSpec spec) {
  HidInterface& d = state_->Add(std::move(spec));
  InsertScheduled(state_->schedule, {when, true, d.id});
  return d.id;
}

void HidBus::UnplugAt(Ticks when, HidId id) {
  state_->Get(id);
  InsertScheduled(state_->schedule, {when, false, id});
}

void HidBus::Unplug(HidId id) {
  state_->ApplyDue();
  state_->DoUnplug(state_->Get(id));
}

void HidBus::Replug(HidId id) {
  state_->ApplyDue();
  state_->DoPlug(state_->Get(id));
}

InterfaceFaults& HidBus::Faults(HidId id) { return state_->Get(id).faults; }
DiscoveryFaults& HidBus::Discovery() { return state_->discovery; }
void HidBus::SetLatency(HidId id, Ticks ms) { state_->Get(id).spec.latency = ms; }

Joystick& HidBus::JoystickOf(HidId id) {
  HidInterface& d = state_->Get(id);
  if (!d.joystick)
    throw std::logic_error("HidBus: interface " + std::to_string(id) + " is a " + d.ModelName() +
                           ", not the joystick");
  return *d.joystick;
}

bool HidBus::Present(HidId id) {
  state_->ApplyDue();
  return state_->Get(id).present;
}

const std::string& HidBus::Path(HidId id) const { return state_->Get(id).path; }
const std::vector<HidTransfer>& HidBus::Capture() const { return state_->capture; }
const std::vector<HidOpen>& HidBus::Opens() const { return state_->opens; }
std::size_t HidBus::OpenDeviceInfoSets() const { return state_->sets.size(); }

std::string HidBus::CaptureText(DWORD mainThread) const {
  std::string text;
  for (const HidTransfer& t : state_->capture) {
    text += FormatCaptureLine(t, mainThread);
    text += '\n';
  }
  return text;
}

std::string_view CaptureThreadLabel(DWORD thread, DWORD mainThread) {
  return thread == mainThread ? "ui" : "monitor";
}

std::string FormatCaptureLine(const HidTransfer& t, DWORD mainThread) {
  std::string line = std::to_string(t.at);
  line += ' ';
  line += CaptureThreadLabel(t.thread, mainThread);
  line += t.write ? " W " : " R ";
  line += t.ok ? "ok " : "fail ";
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::uint8_t b : t.bytes) {
    line += kHex[b >> 4];
    line += kHex[b & 0xF];
  }
  return line;
}

std::unique_ptr<HidBus> MakeHidBus(Machine& machine) { return std::make_unique<HidBus>(machine); }

void OnRunEnd(HidBus& bus) {
  // Observation after the run must not consult a clock that no longer runs.
  bus.Internal().ApplyDue();
  bus.Internal().runEnded = true;
}

}  // namespace sim
