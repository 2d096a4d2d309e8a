#include "support/explorer.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "app/UpdateFirmwareDlg.h"
#include "firmware/firmware.h"
#include "simwin/kernel.h"
#include "support/program_run.h"

namespace uft {
namespace {

constexpr char kJoystickName[] = "Brelt Kestrune Arcade Joystick";
constexpr char kUnknownDevice[] = "Unknown Device !";
constexpr char kHelpFailedText[] = "Failed to launch help.";
constexpr std::string_view kDeviceHandlePrefix = "HID device ";

// How long the dialog may take to go after the closing action: with nothing
// under way, the monitor thread's longest step (a search pass with its
// identity query, whose write and read may each be given up after the
// 1000 ms time-out); otherwise an update may still have to run to its box.
constexpr sim::Ticks kQuietCloseBound = 3500;
constexpr sim::Ticks kBusyCloseBound = 5 * 60 * 1000;
// After the faults are cleared a joystick may need a few exchanges to be in
// step again (one left waiting for page data takes the next reports as
// data), each up to the time-out, before the display can settle.
constexpr sim::Ticks kQuietSpell = 6000;
constexpr sim::Ticks kSettleLimit = 10 * 60 * 1000;

// splitmix64: small, fast and the same on every platform.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::uint64_t Below(std::uint64_t n) { return n == 0 ? 0 : Next() % n; }
  std::uint64_t Between(std::uint64_t lo, std::uint64_t hi) { return lo + Below(hi - lo + 1); }
  bool Chance(int percent) { return Below(100) < static_cast<std::uint64_t>(percent); }
  template <class T>
  T Pick(std::initializer_list<T> values) {
    return *(values.begin() + Below(values.size()));
  }

 private:
  std::uint64_t state_;
};

std::string Hex(std::uint64_t value, int digits = 4) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

bool IsCommand(const std::vector<std::uint8_t>& bytes, std::uint8_t code) {
  return bytes.size() >= 5 && bytes[1] == CMD_PREFIX && bytes[2] == code &&
         bytes[3] == static_cast<std::uint8_t>(~CMD_PREFIX) &&
         bytes[4] == static_cast<std::uint8_t>(~code);
}

DWORD TableChecksumSum() {
  DWORD sum = 0;
  for (int word = 1; word <= FIRMWARE_PAGE_COUNT; ++word) sum += g_FirmwareChecksums[word];
  return sum;
}

// One HID interface of the run and the faults it starts with.
struct DevicePlan {
  std::string name;  // "joystick 1", "foreign 2"
  sim::HidInterfaceSpec spec;
  bool joystick = true;
  bool atStart = true;
  std::vector<std::uint64_t> failWrites, failReads, failOpens, failAttributes, failDetails;
  std::optional<std::uint64_t> unplugAtTransfer;
  sim::Ticks extraReadLatency = 0;
  enum class Thread { kAny, kUi, kMonitor };
  std::uint64_t failOneIn = 0;       // random transfer failures, 0: none
  Thread failThread = Thread::kAny;  // whose transfers fail

  sim::HidId id = 0;  // once plugged
};

struct Step {
  sim::Ticks at = 0;
  std::string what;
  std::function<void()> act;
};

// A box answered by the simulated user.
struct Answer {
  sim::Ticks at = 0;
  std::uint64_t seq = 0;  // in the run's event sequence
};

// A keep-alive written by the monitor thread, and when its pass took the link.
struct KeepAlive {
  sim::Ticks at = 0;
  sim::Ticks linkTakenAt = 0;
  std::uint64_t linkTaken = 0;  // in the run's event sequence; 0: not taken
};

// What the device looked like when the box of an update appeared.
struct BoxSight {
  std::optional<sim::HidId> device;
  bool flashIsImage = false;
  bool completed = false;
};

class SeedRun {
 public:
  explicit SeedRun(std::uint64_t seed)
      : seed_(seed), plan_(seed), live_(seed ^ 0xA0761D6478BD642FULL), machine_(Options(seed)) {}

  ExploreResult Execute();

 private:
  static sim::MachineOptions Options(std::uint64_t seed) {
    sim::MachineOptions options = ProgramOptions(Rng(seed ^ 0xE7037ED1A0B428DBULL).Next());
    options.limit = 30 * 60 * 1000;
    return options;
  }

  // ---- the plan ----
  void Plan();
  void PlanDevices();
  void PlanSteps(sim::Ticks duration);
  sim::Ticks Time(sim::Ticks lo, sim::Ticks hi) {
    const sim::Ticks t = plan_.Between(lo, hi);
    return t - t % grid_;
  }
  void AddStep(sim::Ticks at, std::string what, std::function<void()> act) {
    steps_.push_back({at, std::move(what), std::move(act)});
  }

  // ---- the script ----
  void Script(sim::Script& s);
  void Timeline(sim::Script& s);
  void Log(const std::string& line) { actions_ << s_->Now() << ' ' << line << '\n'; }
  void PlugDevice(DevicePlan& device);
  void ClearFaults();
  void ServeBoxes();
  void AdvanceTo(sim::Ticks when);
  void WaitNoBox();
  bool Settle();
  // Waits as Script::WaitFor does, watching the dialog meanwhile.
  bool WaitFor(const std::function<bool()>& condition, sim::Ticks timeoutMs);
  void WatchDialog();
  void CheckQuietDisplay();
  void Close(const std::string& how, sim::Ticks bound);
  HWND Main() const { return MainDialog(*s_); }
  bool DialogGone() const { return Main() == nullptr; }

  // ---- the checks ----
  void Fail(std::string line) { failures_.push_back(std::move(line)); }
  bool IsMonitor(DWORD thread);
  void CheckRun(const sim::RunResult& result);
  void CheckUpdates(ExploreResult& r);
  std::vector<KeepAlive> KeepAlives();
  void CheckPause(const sim::HidTransfer& first, std::size_t box, const std::string& name,
                  const std::vector<KeepAlive>& keepAlives);
  void CheckThreadsAndHandles();

  std::uint64_t seed_;
  Rng plan_;  // the timeline, drawn before the run
  Rng live_;  // choices made during the run (box delays, random faults)
  sim::Ticks grid_ = 1;

  std::vector<DevicePlan> devices_;
  std::vector<Step> steps_;
  std::ostringstream planText_;
  std::optional<std::string> earlyClose_;  // how, when the dialog is closed mid-run
  std::string finalClose_;

  std::ostringstream actions_;
  std::vector<std::string> failures_;
  std::vector<sim::Ticks> clicks_;  // accepted clicks on Update
  std::map<std::size_t, BoxSight> sights_;
  std::map<std::size_t, Answer> answered_;
  std::size_t boxesSeen_ = 0;
  std::optional<sim::Ticks> answerAt_;
  std::optional<DWORD> monitorId_;  // once the program has started it
  // The dialog object while its window is up, whether the monitor thread was
  // registered with it at the last step seen, and at the step its window went.
  CUpdateFirmwareDlg* dialog_ = nullptr;
  bool monitorRegistered_ = false;
  std::optional<bool> registeredAtEnd_;
  bool randomFaults_ = true;
  sim::Ticks goneAt_ = 0;

  sim::Script* s_ = nullptr;
  ProgramMachine machine_;  // last: destroyed first, with the fault hooks that refer to this
};

// ---------------------------------------------------------------------------------------
// The plan

void SeedRun::PlanDevices() {
  const int joysticks = plan_.Chance(30) ? 2 : 1;
  const int foreign = static_cast<int>(plan_.Below(3));
  for (int j = 0; j < joysticks; ++j) {
    DevicePlan d;
    d.name = "joystick " + std::to_string(j + 1);
    d.spec.joystick.release =
        plan_.Pick<std::uint16_t>({0x0100, 0x0111, 0x0112, 0x0113, 0x0200, 0x0000, 0xFFFF});
    d.spec.latency = plan_.Chance(50) ? 0 : plan_.Chance(50) ? plan_.Below(6) : plan_.Below(51);
    d.atStart = plan_.Chance(75);
    for (int n = static_cast<int>(plan_.Below(3)); n > 0; --n) {
      if (plan_.Chance(40)) d.failWrites.push_back(plan_.Between(1, 1500));
    }
    for (int n = static_cast<int>(plan_.Below(3)); n > 0; --n) {
      if (plan_.Chance(40)) d.failReads.push_back(plan_.Between(1, 450));
    }
    if (plan_.Chance(15)) d.unplugAtTransfer = plan_.Between(1, 2000);
    if (plan_.Chance(20)) {
      d.failOneIn = plan_.Between(150, 3000);
      d.failThread = plan_.Pick(
          {DevicePlan::Thread::kAny, DevicePlan::Thread::kUi, DevicePlan::Thread::kMonitor});
    }
    if (plan_.Chance(10)) d.failOpens.push_back(plan_.Between(1, 4));
    if (plan_.Chance(10)) d.failAttributes.push_back(plan_.Between(1, 4));
    if (plan_.Chance(10)) d.failDetails.push_back(plan_.Between(1, 4));
    if (plan_.Chance(8)) d.extraReadLatency = plan_.Between(900, 1300);
    devices_.push_back(std::move(d));
  }
  for (int f = 0; f < foreign; ++f) {
    DevicePlan d;
    d.name = "foreign " + std::to_string(f + 1);
    d.joystick = false;
    d.spec.model =
        plan_.Chance(50) ? sim::HidModel::kForeignSilent : sim::HidModel::kForeignRejecting;
    d.spec.vendorId = plan_.Pick<std::uint16_t>({0x046D, 0x045E, 0x1209, 0x0000});
    d.spec.productId = plan_.Pick<std::uint16_t>({0xC216, 0xB4E6, 0xB4E8, 0xFFFF});
    if (d.spec.vendorId == sim::kJoystickVendorId && d.spec.productId == sim::kJoystickProductId) {
      d.spec.productId = 0xB4E8;  // a device with the joystick's ids is a joystick here
    }
    d.spec.latency = plan_.Below(51);
    d.atStart = plan_.Chance(60);
    devices_.push_back(std::move(d));
  }
  // Enumeration order: a random place for each.
  for (std::size_t i = 0; i < devices_.size(); ++i) devices_[i].spec.position = plan_.Below(i + 1);

  for (const DevicePlan& d : devices_) {
    planText_ << "device " << d.name << ": "
              << (d.joystick
                      ? "release " + Hex(d.spec.joystick.release)
                      : std::string(d.spec.model == sim::HidModel::kForeignSilent ? "silent"
                                                                                  : "rejecting") +
                            " " + Hex(d.spec.vendorId) + ":" + Hex(d.spec.productId))
              << ", latency " << d.spec.latency << ", position " << *d.spec.position
              << (d.atStart ? ", plugged at start" : ", plugged later");
    for (auto n : d.failWrites) planText_ << ", write " << n << " fails";
    for (auto n : d.failReads) planText_ << ", read " << n << " fails";
    for (auto n : d.failOpens) planText_ << ", open " << n << " fails";
    for (auto n : d.failAttributes) planText_ << ", attributes " << n << " fail";
    for (auto n : d.failDetails) planText_ << ", detail query " << n << " fails";
    if (d.unplugAtTransfer) planText_ << ", unplugged at transfer " << *d.unplugAtTransfer;
    if (d.failOneIn != 0) {
      planText_ << ", 1 in " << d.failOneIn << " transfers"
                << (d.failThread == DevicePlan::Thread::kAny  ? ""
                    : d.failThread == DevicePlan::Thread::kUi ? " (ui)"
                                                              : " (monitor)")
                << " fails";
    }
    if (d.extraReadLatency != 0) planText_ << ", answers " << d.extraReadLatency << " ms late";
    planText_ << '\n';
  }
}

void SeedRun::PlanSteps(sim::Ticks duration) {
  // Devices plugged later.
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i].atStart) continue;
    AddStep(Time(200, duration), "plug " + devices_[i].name, [this, i] {
      if (devices_[i].id == 0) PlugDevice(devices_[i]);
    });
  }
  if (plan_.Chance(70)) {
    AddStep(Time(1200, 3500), "click Update", [this] {
      if (ClickUpdate(*s_)) clicks_.push_back(s_->Now());
    });
  }
  const int count = static_cast<int>(plan_.Between(4, 24));
  for (int n = 0; n < count; ++n) {
    const sim::Ticks at = Time(300, duration);
    const std::size_t dev = plan_.Below(devices_.size());
    DevicePlan* d = &devices_[dev];
    switch (plan_.Below(14)) {
      case 0:
      case 1:
      case 2:
        AddStep(at, "click Update", [this] {
          if (ClickUpdate(*s_)) clicks_.push_back(s_->Now());
        });
        break;
      case 3:
        AddStep(at, "click Update twice", [this] {
          for (int i = 0; i < 2; ++i) {
            if (ClickUpdate(*s_)) clicks_.push_back(s_->Now());
          }
        });
        break;
      case 4:
        AddStep(at, "unplug " + d->name, [this, d] {
          if (d->id != 0 && s_->Hid().Present(d->id)) s_->Hid().Unplug(d->id);
        });
        break;
      case 5:
        AddStep(at, "replug " + d->name, [this, d] {
          if (d->id != 0 && !s_->Hid().Present(d->id)) s_->Hid().Replug(d->id);
        });
        break;
      case 6: {
        const bool ends = plan_.Chance(70);
        const sim::Ticks length = plan_.Between(300, 5000);
        AddStep(at, "stall " + d->name, [this, d] {
          if (d->id != 0) s_->Hid().Faults(d->id).stallAt = s_->Now();
        });
        if (ends) {
          AddStep(at + length, "end the stall of " + d->name, [this, d] {
            if (d->id != 0) s_->Hid().Faults(d->id).stallAt.reset();
          });
        }
        break;
      }
      case 7: {
        const sim::Ticks latency = plan_.Below(51);
        AddStep(at, "latency of " + d->name + " " + std::to_string(latency), [this, d, latency] {
          if (d->id != 0) s_->Hid().SetLatency(d->id, latency);
        });
        break;
      }
      case 8: {
        const int kind = static_cast<int>(plan_.Below(3));
        const std::uint64_t ahead = plan_.Between(1, 600);
        static const char* const kKinds[] = {"write", "read", "unplug at transfer"};
        AddStep(
            at,
            std::string(kKinds[kind]) + " fault " + std::to_string(ahead) + " ahead on " + d->name,
            [this, d, kind, ahead] {
              if (d->id == 0) return;
              sim::InterfaceFaults& f = s_->Hid().Faults(d->id);
              if (kind == 0) f.writes.Fail(f.writes.Count() + ahead);
              if (kind == 1) f.reads.Fail(f.reads.Count() + ahead);
              if (kind == 2) f.unplugAtTransfer = f.writes.Count() + f.reads.Count() + ahead;
            });
        break;
      }
      case 9: {
        const int vk = plan_.Chance(50) ? VK_LSHIFT : VK_RSHIFT;
        const bool down = plan_.Chance(60);
        AddStep(at,
                std::string(down ? "press " : "release ") + (vk == VK_LSHIFT ? "left" : "right") +
                    " Shift",
                [this, vk, down] { s_->Ui().SetKeyDown(vk, down); });
        break;
      }
      case 10: {
        const sim::Ticks open = plan_.Between(200, 4000);
        const int how = static_cast<int>(plan_.Below(3));
        // A window whose thread is busy does not open its system menu, so the
        // command is chosen only while no update is under way.
        AddStep(at, "open the about box", [this] {
          HWND main = Main();
          const bool busy = s_->Ui().Cursor() != "normal" || s_->Ui().OpenBox().has_value() ||
                            (!clicks_.empty() && s_->Now() < clicks_.back() + 300);
          if (main != nullptr && !busy) s_->Ui().SysCommand(main, IDM_ABOUTBOX);
        });
        AddStep(at + open, "close the about box", [this, how] {
          HWND about = s_->Ui().Dialog(kAboutBox);
          if (about == nullptr) return;
          if (how == 0) s_->Ui().CloseBox(about);
          if (how == 1) s_->Ui().Click(s_->Ui().Item(about, IDOK));
          if (how == 2 && s_->Ui().ActiveWindow() == about) s_->Ui().Key(VK_ESCAPE);
        });
        break;
      }
      case 11:
        AddStep(at, "press F1", [this] {
          WaitNoBox();
          if (s_->Ui().ActiveWindow() != nullptr) s_->Ui().Key(VK_F1);
        });
        break;
      case 12: {
        const DWORD index = static_cast<DWORD>(plan_.Below(3));
        const sim::Ticks length = plan_.Between(500, 4000);
        AddStep(at, "enumeration fails at index " + std::to_string(index),
                [this, index] { s_->Hid().Discovery().enumFailsAtIndex = index; });
        AddStep(at + length, "enumeration works again",
                [this] { s_->Hid().Discovery().enumFailsAtIndex.reset(); });
        break;
      }
      default: {
        const std::uint64_t nth = plan_.Between(1, 30);
        AddStep(at, "interface set " + std::to_string(nth) + " ahead cannot be built", [this, nth] {
          auto& faults = s_->Hid().Discovery().classDevs;
          faults.Fail(faults.Count() + nth);
        });
        break;
      }
    }
  }
  std::stable_sort(steps_.begin(), steps_.end(),
                   [](const Step& a, const Step& b) { return a.at < b.at; });

  if (plan_.Chance(15)) {
    earlyClose_ = plan_.Chance(50) ? "post WM_CLOSE" : "close box";
    const sim::Ticks at = Time(500, duration);
    // Everything after the close is dropped.
    std::erase_if(steps_, [at](const Step& s) { return s.at >= at; });
    AddStep(at, *earlyClose_, [] {});
  } else {
    finalClose_ =
        plan_.Pick<std::string>({"Enter", "Escape", "close box", "Alt+F4", "post WM_CLOSE"});
  }
}

void SeedRun::Plan() {
  grid_ = plan_.Chance(50) ? 100 : 1;
  const sim::Ticks duration = plan_.Between(10000, 40000);
  planText_ << "seed " << seed_ << ", " << duration << " ms, times on a " << grid_
            << " ms grid, machine seed " << machine_.Seed() << '\n';
  PlanDevices();
  PlanSteps(duration);
  for (const Step& step : steps_) planText_ << step.at << ' ' << step.what << '\n';
  if (earlyClose_) {
    planText_ << "the dialog is closed by the last step\n";
  } else {
    planText_ << "then: settle, clear every fault, " << kQuietSpell << " ms quiet, check, "
              << finalClose_ << '\n';
  }
}

// ---------------------------------------------------------------------------------------
// The script

void SeedRun::PlugDevice(DevicePlan& d) {
  sim::HidBus& hid = machine_.Hid();
  d.id = hid.Plug(d.spec);
  sim::InterfaceFaults& f = hid.Faults(d.id);
  for (auto n : d.failWrites) f.writes.Fail(n);
  for (auto n : d.failReads) f.reads.Fail(n);
  for (auto n : d.failOpens) f.open.Fail(n);
  for (auto n : d.failAttributes) f.attributes.Fail(n);
  for (auto n : d.failDetails) f.detail.Fail(n);
  f.unplugAtTransfer = d.unplugAtTransfer;
  f.extraReadLatency = d.extraReadLatency;
  f.failIf = [this, &d](DWORD thread, bool, const std::uint8_t*) {
    if (!randomFaults_ || d.failOneIn == 0) return false;
    if (d.failThread == DevicePlan::Thread::kUi && thread != sim::kMainThreadId) return false;
    if (d.failThread == DevicePlan::Thread::kMonitor && !IsMonitor(thread)) return false;
    return live_.Below(d.failOneIn) == 0;
  };
  if (s_ != nullptr) Log("plugged " + d.name + " as interface " + std::to_string(d.id));
}

void SeedRun::ClearFaults() {
  randomFaults_ = false;
  sim::HidBus& hid = machine_.Hid();
  for (const DevicePlan& d : devices_) {
    if (d.id == 0) continue;
    sim::InterfaceFaults& f = hid.Faults(d.id);
    for (sim::CallFaults* calls : {&f.detail, &f.open, &f.attributes, &f.writes, &f.reads}) {
      calls->Clear();
    }
    f.requiredSize.reset();
    f.unplugAtTransfer.reset();
    f.stallAt.reset();
    f.extraReadLatency = 0;
  }
  hid.Discovery().classDevs.Clear();
  hid.Discovery().enumFailsAtIndex.reset();
}

// Notes new boxes, and answers the open one once its delay has passed.
void SeedRun::ServeBoxes() {
  const auto& boxes = s_->Ui().Boxes();
  for (; boxesSeen_ < boxes.size(); ++boxesSeen_) {
    BoxSight sight;
    const auto& capture = s_->Hid().Capture();
    for (auto it = capture.rbegin(); it != capture.rend(); ++it) {
      if (it->thread == sim::kMainThreadId) {
        sight.device = it->device;
        break;
      }
    }
    for (const DevicePlan& d : devices_) {
      if (!sight.device || d.id != *sight.device || !d.joystick) continue;
      const sim::Joystick& j = s_->Hid().JoystickOf(d.id);
      sight.flashIsImage = std::equal(j.Flash().begin(), j.Flash().end(), g_FirmwareImage);
      sight.completed = j.UpdateCompleted();
    }
    sights_[boxesSeen_] = sight;
    Log("box \"" + boxes[boxesSeen_].caption + "\" appeared");
  }
  const auto open = s_->Ui().OpenBox();
  if (!open) {
    answerAt_.reset();
    return;
  }
  if (!answerAt_) {
    answerAt_ = s_->Now() + (live_.Chance(50) ? live_.Below(50) : live_.Below(3000));
  }
  if (*answerAt_ > s_->Now()) return;
  for (std::size_t i = boxes.size(); i-- > 0;) {
    if (!boxes[i].result && boxes[i].at == open->at && boxes[i].text == open->text) {
      answered_[i] = {s_->Now(), sim::NextSequence()};
      break;
    }
  }
  s_->Ui().PressBoxButton(IDOK);
  Log("answered box \"" + open->caption + "\"");
  answerAt_.reset();
}

void SeedRun::AdvanceTo(sim::Ticks when) {
  for (;;) {
    ServeBoxes();
    if (DialogGone() || s_->Now() >= when) return;
    sim::Ticks until = when;
    if (answerAt_) until = std::min(until, *answerAt_);
    if (until <= s_->Now()) continue;
    const bool waitingForBox = !answerAt_;
    WaitFor([&] { return DialogGone() || (waitingForBox && s_->Ui().OpenBox().has_value()); },
            until - s_->Now());
  }
}

bool SeedRun::WaitFor(const std::function<bool()>& condition, sim::Ticks timeoutMs) {
  return s_->WaitFor(
      [&] {
        WatchDialog();
        return condition();
      },
      timeoutMs);
}

// A waiting script's condition is looked at in every step of the program's
// threads, so this sees whether the monitor thread is registered with the
// dialog (its last access to the dialog is to unregister) before each step,
// and so at the step in which the dialog's window goes. The object itself is
// read only while its window is up.
void SeedRun::WatchDialog() {
  if (registeredAtEnd_) return;
  if (DialogGone()) {
    if (dialog_ != nullptr) registeredAtEnd_ = monitorRegistered_;
    return;
  }
  if (dialog_ == nullptr) {
    if (CWinApp* app = AfxGetApp()) dialog_ = dynamic_cast<CUpdateFirmwareDlg*>(app->m_pMainWnd);
  }
  monitorRegistered_ = dialog_ != nullptr && dialog_->m_pMonitorThread.load() != nullptr;
}

void SeedRun::WaitNoBox() {
  while (!DialogGone() && s_->Ui().OpenBox()) AdvanceTo(answerAt_.value_or(s_->Now() + 1));
}

// Waits until nothing is under way: no box, the normal cursor and no
// transfer of the user-interface thread for a while.
bool SeedRun::Settle() {
  const sim::Ticks limit = s_->Now() + kSettleLimit;
  while (s_->Now() < limit && !DialogGone()) {
    WaitNoBox();
    if (HWND about = s_->Ui().Dialog(kAboutBox); about != nullptr) s_->Ui().CloseBox(about);
    const std::size_t before = s_->Hid().Capture().size();
    const std::size_t boxesBefore = s_->Ui().Boxes().size();
    AdvanceTo(s_->Now() + 1500);
    std::size_t uiTransfers = 0;
    const auto& capture = s_->Hid().Capture();
    for (std::size_t i = before; i < capture.size(); ++i) {
      uiTransfers += capture[i].thread == sim::kMainThreadId;
    }
    if (uiTransfers == 0 && s_->Ui().Boxes().size() == boxesBefore && !s_->Ui().OpenBox() &&
        s_->Ui().Dialog(kAboutBox) == nullptr && s_->Ui().Cursor() == "normal") {
      return true;
    }
  }
  return false;
}

void SeedRun::CheckQuietDisplay() {
  HWND main = Main();
  if (main == nullptr) return;
  sim::UiSystem& ui = s_->Ui();
  const std::string name = ui.Text(main, IDC_DEVICE_NAME);
  const std::string version = ui.Text(main, IDC_DEVICE_VERSION);
  const bool enabled = ui.Enabled(ui.Item(main, IDC_UPDATE));
  std::vector<const DevicePlan*> present;
  for (const DevicePlan& d : devices_) {
    if (d.joystick && d.id != 0 && s_->Hid().Present(d.id)) present.push_back(&d);
  }
  const std::string shown = "name \"" + name + "\", version \"" + version + "\", Update " +
                            (enabled ? "enabled" : "disabled");
  if (present.empty()) {
    if (enabled || !name.empty() || !version.empty()) {
      Fail("quiet display with no joystick present shows " + shown);
    }
    return;
  }
  std::vector<std::string> held;
  for (const auto& h : s_->Kern().OpenHandles()) {
    if (h.description.starts_with(kDeviceHandlePrefix)) {
      held.push_back(h.description.substr(kDeviceHandlePrefix.size()));
    }
  }
  const bool holdsPresent =
      held.size() == 1 && std::any_of(present.begin(), present.end(), [&](const DevicePlan* d) {
        return s_->Hid().Path(d->id) == held.front();
      });
  if (!holdsPresent) {
    Fail("quiet with a joystick present, the program holds " + std::to_string(held.size()) +
         " device handle(s)" + (held.empty() ? "" : ", first " + held.front()) +
         " instead of one on a present joystick");
  }
  if (name == kJoystickName) {
    if (!enabled || version.empty()) Fail("quiet display of an identified joystick: " + shown);
    return;
  }
  if (name != kUnknownDevice || enabled) {
    Fail("quiet display with a joystick present shows " + shown);
    return;
  }
  // "Unknown Device !" is right for a joystick only when its identification
  // by the monitor thread failed.
  const auto& capture = s_->Hid().Capture();
  std::optional<std::size_t> query;
  for (std::size_t i = 0; i < capture.size(); ++i) {
    if (IsMonitor(capture[i].thread) && capture[i].write &&
        IsCommand(capture[i].bytes, CMD_IDENTIFY)) {
      query = i;
    }
  }
  bool failed = !query || !capture[*query].ok;
  if (!failed) {
    failed = true;
    for (std::size_t i = *query + 1; i < capture.size(); ++i) {
      if (!IsMonitor(capture[i].thread)) continue;
      const auto& answer = capture[i];
      failed = answer.write || !answer.ok || answer.bytes.size() < 7 ||
               (answer.bytes[5] << 8 | answer.bytes[6]) != DEVICE_TYPE_ID;
      break;
    }
  }
  if (!failed) Fail("a joystick whose identity answer was good is shown as \"Unknown Device !\"");
}

void SeedRun::Close(const std::string& how, sim::Ticks bound) {
  HWND main = Main();
  if (main == nullptr) return;
  // The user first closes what is open over the dialog: message boxes and
  // about boxes (several, when the about command was chosen more than once
  // while an update was running), until the dialog takes input again.
  for (int round = 0; round < 8 && !DialogGone() && !s_->Ui().Enabled(main); ++round) {
    WaitNoBox();
    if (HWND about = s_->Ui().Dialog(kAboutBox); about != nullptr) {
      s_->Ui().CloseBox(about);
      WaitFor([&] { return s_->Ui().Dialog(kAboutBox) != about; }, 5000);
    }
    AdvanceTo(s_->Now() + 1);
  }
  WaitNoBox();
  if ((main = Main()) == nullptr) return;
  std::string action = how;
  // Enter presses the button that has the focus: Update, once it was clicked.
  if (action == "Enter" && s_->Ui().Focus() == s_->Ui().Item(main, IDC_UPDATE)) action = "Escape";
  // Keys go to the active window; without one the close box is used.
  if (action == "Enter" || action == "Escape" || action == "Alt+F4") {
    if (s_->Ui().ActiveWindow() != main) action = "close box";
  }
  const sim::Ticks from = s_->Now();
  Log("close: " + action);
  if (action == "Enter") s_->Ui().Key(VK_RETURN);
  if (action == "Escape") s_->Ui().Key(VK_ESCAPE);
  if (action == "Alt+F4") s_->Ui().KeyAltF4();
  if (action == "close box" && !s_->Ui().CloseBox(main)) Log("the close box did not react");
  if (action == "post WM_CLOSE") s_->Ui().PostClose(main);
  // Boxes are answered meanwhile, and about boxes that open (about commands
  // queued behind an update) are closed again.
  while (!DialogGone() && s_->Now() < from + bound) {
    AdvanceTo(std::min(from + bound, s_->Now() + 500));
    if (HWND about = s_->Ui().Dialog(kAboutBox); about != nullptr) s_->Ui().CloseBox(about);
  }
  goneAt_ = s_->Now();
  if (!DialogGone()) {
    Fail("the dialog was still open " + std::to_string(bound) + " ms after " + action);
    // End the run all the same, so that what follows can be seen.
    if (Main() != nullptr) s_->Ui().PostClose(Main());
    AdvanceTo(s_->Now() + kBusyCloseBound);
    Log(DialogGone() ? "dialog gone after WM_CLOSE" : "dialog still open after WM_CLOSE");
  } else {
    Log("dialog gone after " + std::to_string(goneAt_ - from) + " ms");
  }
}

void SeedRun::Script(sim::Script& s) {
  s_ = &s;
  try {
    Timeline(s);
  } catch (const std::logic_error& e) {
    // A step the simulated user could not take; the run is still closed
    // normally so that the program's own end can be checked.
    Fail(std::string("script step refused: ") + e.what());
    if (HWND main = Main(); main != nullptr) {
      s.Ui().PostClose(main);
      WaitFor([&] { return DialogGone(); }, kBusyCloseBound);
    }
  }
}

void SeedRun::Timeline(sim::Script& s) {
  if (AwaitMainDialog(s) == nullptr) {
    Fail("the main dialog did not appear");
    return;
  }
  for (Step& step : steps_) {
    AdvanceTo(step.at);
    if (DialogGone()) {
      Fail("the dialog went away by itself before " + std::to_string(step.at) + " ms");
      return;
    }
    Log(step.what);
    step.act();
  }
  if (earlyClose_) {
    Close(*earlyClose_, kBusyCloseBound);
    return;
  }
  if (!Settle()) {
    Fail("still busy " + std::to_string(kSettleLimit) + " ms after the last step");
    Close(finalClose_, kBusyCloseBound);
    return;
  }
  ClearFaults();
  Log("faults cleared");
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::size_t boxes = s.Ui().Boxes().size();
    AdvanceTo(s.Now() + kQuietSpell);
    if (s.Ui().Boxes().size() == boxes && !s.Ui().OpenBox()) break;
    Settle();
  }
  CheckQuietDisplay();
  Close(finalClose_, kQuietCloseBound);
}

// ---------------------------------------------------------------------------------------
// The checks

bool SeedRun::IsMonitor(DWORD thread) {
  if (!monitorId_) {
    if (const auto monitor = FindMonitorThread(machine_.Kern())) monitorId_ = monitor->id;
  }
  return monitorId_ == thread;
}

void SeedRun::CheckRun(const sim::RunResult& result) {
  if (result.outcome != sim::Outcome::kExited) {
    Fail("the run did not end with the program's exit (outcome " +
         std::to_string(static_cast<int>(result.outcome)) + "): " + result.report);
  }
}

void SeedRun::CheckUpdates(ExploreResult& r) {
  const auto& capture = machine_.Hid().Capture();
  const auto& boxes = machine_.Ui().Boxes();
  struct Update {
    std::size_t first = 0, last = 0;  // capture indexes
    std::optional<std::size_t> box;
  };
  std::vector<Update> updates;
  std::vector<std::size_t> updateBoxes;
  for (std::size_t b = 0; b < boxes.size(); ++b) {
    if (boxes[b].text != kHelpFailedText) updateBoxes.push_back(b);
  }
  // The user-interface thread's transfers and boxes in time order: each
  // update is a run of transfers closed by exactly one box.
  std::size_t nextBox = 0;
  bool open = false;
  auto closeWithBox = [&](std::size_t b) {
    if (open) {
      updates.back().box = b;
      open = false;
    } else {
      Fail("box \"" + boxes[b].caption + "\" at " + std::to_string(boxes[b].at) +
           " without an update of its own");
    }
  };
  for (std::size_t i = 0; i < capture.size(); ++i) {
    const sim::HidTransfer& t = capture[i];
    if (t.thread != sim::kMainThreadId) continue;
    while (nextBox < updateBoxes.size() && boxes[updateBoxes[nextBox]].at < t.at) {
      closeWithBox(updateBoxes[nextBox++]);
    }
    if (!open) {
      updates.push_back({i, i, std::nullopt});
      open = true;
      if (!t.write || !IsCommand(t.bytes, CMD_IDENTIFY)) {
        Fail("the update from " + std::to_string(t.at) + " did not begin with the identity query");
      }
    }
    updates.back().last = i;
  }
  while (nextBox < updateBoxes.size()) closeWithBox(updateBoxes[nextBox++]);

  const DWORD tableSum = TableChecksumSum();
  const std::vector<KeepAlive> keepAlives = KeepAlives();
  for (const Update& u : updates) {
    const sim::Ticks began = capture[u.first].at;
    const std::string name = "the update from " + std::to_string(began);
    ++r.updates;
    for (std::size_t i = u.first; i <= u.last; ++i) {
      if (capture[i].thread != sim::kMainThreadId) {
        Fail("monitor-thread transfer at " + std::to_string(capture[i].at) + " inside " + name);
        break;
      }
    }
    if (!u.box) {
      Fail(name + " showed no box");
      continue;
    }
    const sim::MessageBoxRecord& box = boxes[*u.box];
    if (box.cursor != "normal")
      Fail(name + ": its box appeared with the " + box.cursor + " cursor");
    bool finished = false;
    for (std::size_t i = u.first; i <= u.last; ++i) {
      finished |= capture[i].write && capture[i].ok && IsCommand(capture[i].bytes, CMD_FINISH);
    }
    const BoxSight sight = sights_.count(*u.box) ? sights_[*u.box] : BoxSight{};
    if (box.caption == "OK") {
      ++r.okBoxes;
      if (!sight.flashIsImage || !sight.completed) {
        Fail(name + " reported success, but the joystick " +
             (sight.flashIsImage ? "holds the image" : "does not hold the image") + " and " +
             (sight.completed ? "completed" : "did not complete") + " the update");
      }
      const std::string sum = "CheckSum:" + Hex(tableSum, 8);
      if (box.text.find(sum) == std::string::npos) {
        Fail(name + " reported \"" + box.text + "\", expected " + sum);
      }
    } else {
      ++r.errorBoxes;
      if (box.caption != "Error")
        Fail(name + " ended with a box captioned \"" + box.caption + "\"");
      if (finished)
        Fail(name + " reported \"" + box.text + "\" after the finish command went through");
    }
    CheckPause(capture[u.first], *u.box, name, keepAlives);
  }
}

std::vector<KeepAlive> SeedRun::KeepAlives() {
  // The monitor thread waits for one thing only, the link; the call log
  // records each wait as it returns, in the step where the thread goes on.
  const auto& calls = machine_.Calls().All();
  std::vector<KeepAlive> keepAlives;
  KeepAlive taken;
  std::size_t next = 0;
  for (const sim::HidTransfer& t : machine_.Hid().Capture()) {
    for (; next < calls.size() && calls[next].seq < t.seq; ++next) {
      const sim::Call& c = calls[next];
      if (c.name == "WaitForSingleObject" && c.args.ends_with(" signaled") && IsMonitor(c.thread)) {
        taken.linkTakenAt = c.at;
        taken.linkTaken = c.seq;
      }
    }
    if (IsMonitor(t.thread) && t.write && IsCommand(t.bytes, CMD_PING)) {
      taken.at = t.at;
      keepAlives.push_back(taken);
    }
  }
  return keepAlives;
}

// The Update command pauses the monitor thread from its first step (it sets
// the pause, then waits 100 ms: the user-interface thread's last Sleep before
// the update's first transfer) until its box is answered. A keep-alive pass
// that took the link within that span, in the run's order of events rather
// than by the millisecond, must have found the pause and written nothing.
void SeedRun::CheckPause(const sim::HidTransfer& first, std::size_t box, const std::string& name,
                         const std::vector<KeepAlive>& keepAlives) {
  std::optional<sim::Call> pause;
  for (const sim::Call& c : machine_.Calls().All()) {
    if (c.seq > first.seq) break;
    if (c.name == "Sleep" && c.thread == sim::kMainThreadId) pause = c;
  }
  if (!pause) {
    Fail(name + " began without the Update command's wait");
    return;
  }
  const auto answer = answered_.find(box);
  const bool answered = answer != answered_.end();
  for (const KeepAlive& k : keepAlives) {
    if (k.linkTaken > pause->seq && (!answered || k.linkTaken < answer->second.seq)) {
      Fail("keep-alive at " + std::to_string(k.at) + " during " + name +
           ": its pass took the link at " + std::to_string(k.linkTakenAt) +
           " ms, after the Update command had paused the monitor at " + std::to_string(pause->at) +
           " ms and " +
           (answered ? "before its box was answered at " + std::to_string(answer->second.at) + " ms"
                     : "with its box never answered"));
      return;
    }
  }
}

void SeedRun::CheckThreadsAndHandles() {
  const auto monitor = FindMonitorThread(machine_.Kern());
  if (!monitor) {
    Fail("no monitor thread was started");
  } else if (monitor->exitCode != 1 && !monitor->endedByRunEnd) {
    Fail("the monitor thread returned " + std::to_string(monitor->exitCode) + ", expected 1");
  }
  // Every ending of the dialog that the run drives stops the monitor thread
  // before the dialog goes (its window first, then the object).
  if (registeredAtEnd_.value_or(false)) {
    Fail(
        "the dialog went while the monitor thread was still registered with it: the thread's "
        "last access to the dialog came after the dialog's end");
  }
  for (const sim::ThreadInfo& t : machine_.Kern().Threads()) {
    if (t.script || t.otherProgram || t.id == sim::kMainThreadId) continue;
    if (t.endedByRunEnd) {
      Fail(t.description + " was still running when the program ended" +
           (t.blockedIn.empty() ? "" : " (in " + t.blockedIn + ")"));
    }
  }
  int deviceHandles = 0;
  for (const sim::HandleInfo& h : machine_.Kern().OpenHandles()) {
    if (h.description.starts_with(kDeviceHandlePrefix) && ++deviceHandles == 1) continue;
    Fail("handle left open at the end: " + h.description);
  }
  if (machine_.Hid().OpenDeviceInfoSets() != 0) {
    Fail(std::to_string(machine_.Hid().OpenDeviceInfoSets()) +
         " device information set(s) left open at the end");
  }
}

ExploreResult SeedRun::Execute() {
  Plan();
  for (DevicePlan& d : devices_) {
    if (d.atStart) PlugDevice(d);
  }
  const sim::RunResult result = machine_.Run([this](sim::Script& s) { Script(s); });

  ExploreResult r;
  r.seed = seed_;
  CheckRun(result);
  CheckUpdates(r);
  CheckThreadsAndHandles();

  r.plan = planText_.str();
  r.actions = actions_.str();
  r.events = machine_.Events().Text();
  r.capture = machine_.Hid().CaptureText(sim::kMainThreadId);
  std::ostringstream boxes;
  for (const auto& b : machine_.Ui().Boxes()) {
    boxes << b.at << " \"" << b.caption << "\" \"" << b.text << "\" cursor " << b.cursor << '\n';
  }
  r.boxes = boxes.str();
  r.report = result.report;
  r.virtualMs = goneAt_;
  r.transfers = machine_.Hid().Capture().size();
  r.failures = std::move(failures_);
  r.ok = r.failures.empty();
  return r;
}

}  // namespace

std::string ReplayCommand(std::uint64_t seed) {
  return "build/host/explore --from " + std::to_string(seed) + " --count 1 --verbose";
}

std::string ExploreResult::Describe() const {
  std::ostringstream out;
  out << "seed " << seed << (ok ? " passed" : " FAILED") << '\n';
  for (const auto& f : failures) out << "  - " << f << '\n';
  out << "replay: " << ReplayCommand(seed) << '\n';
  out << "plan:\n" << plan << "actions:\n" << actions << "boxes:\n" << boxes;
  return out.str();
}

ExploreResult RunSeed(std::uint64_t seed) { return SeedRun(seed).Execute(); }

}  // namespace uft
