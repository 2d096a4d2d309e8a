// What a full update costs the program, measured on the simulated machine:
// the real-time cost per update and per report against a joystick that
// answers at once, the virtual duration against one that takes 1 ms per
// transfer (the program should add no waits of its own), and the monitor
// thread's wake-ups per second.
#include <benchmark/benchmark.h>

#include "simwin/kernel.h"
#include "support/program_run.h"

namespace {

constexpr int kUpdateTransfers = 749 + 204;

struct UpdateTiming {
  sim::Ticks firstStart = 0;  // the first update transfer began
  sim::Ticks lastEnd = 0;     // the last one returned
  int transfers = 0;
  bool ok = false;
};

UpdateTiming RunOneUpdate(sim::Ticks latency) {
  uft::ProgramMachine machine(1);
  sim::HidInterfaceSpec config;
  config.latency = latency;
  machine.Hid().Plug(config);
  UpdateTiming timing;
  machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    if (!uft::AwaitIdentified(s, 10000)) return;
    uft::ClickUpdate(s);
    const auto box = uft::AwaitBox(s, 600000);
    timing.ok = box && box->caption == "OK";
    uft::AnswerBox(s);
    uft::CloseProgram(s);
  });
  for (const auto& t : machine.Hid().Capture()) {
    if (t.thread != sim::kMainThreadId) continue;
    if (timing.transfers++ == 0) timing.firstStart = t.at - latency;
    timing.lastEnd = t.at;
  }
  return timing;
}

void BM_FullUpdateZeroLatency(benchmark::State& state) {
  for (auto _ : state) {
    const UpdateTiming timing = RunOneUpdate(0);
    if (!timing.ok) state.SkipWithError("the update did not succeed");
    benchmark::DoNotOptimize(timing);
  }
  state.SetItemsProcessed(state.iterations() * kUpdateTransfers);
  state.counters["per_report"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kUpdateTransfers),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::OneK::kIs1000);
}
BENCHMARK(BM_FullUpdateZeroLatency)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_UpdateVirtualDurationAt1ms(benchmark::State& state) {
  UpdateTiming timing;
  for (auto _ : state) timing = RunOneUpdate(1);
  const double deviceBound = static_cast<double>(timing.transfers);  // 1 ms each
  state.counters["transfers"] = timing.transfers;
  state.counters["virtual_ms"] = static_cast<double>(timing.lastEnd - timing.firstStart);
  state.counters["ratio_to_device_bound"] =
      static_cast<double>(timing.lastEnd - timing.firstStart) / deviceBound;
}
BENCHMARK(BM_UpdateVirtualDurationAt1ms)->Unit(benchmark::kMillisecond)->Iterations(3);

// Wake-ups of the monitor thread per virtual second, idle (searching, with
// a foreign HID device present so that each search shows as one open) and
// watching a joystick (each wake-up writes one keep-alive report).
void BM_MonitorWakeUps(benchmark::State& state) {
  const bool watching = state.range(0) != 0;
  double perSecond = 0;
  for (auto _ : state) {
    uft::ProgramMachine machine(1);
    if (watching) {
      machine.Hid().Plug();
    } else {
      sim::HidInterfaceSpec foreign;
      foreign.model = sim::HidModel::kForeignSilent;
      foreign.vendorId = 0x046D;
      machine.Hid().Plug(foreign);
    }
    constexpr sim::Ticks kFrom = 2000, kTo = 62000;
    machine.Run([&](sim::Script& s) {
      uft::AwaitMainDialog(s);
      s.At(kTo);
      uft::CloseProgram(s);
    });
    std::size_t wakeUps = 0;
    if (watching) {
      for (const auto& t : machine.Hid().Capture()) wakeUps += t.at >= kFrom && t.at < kTo;
    } else {
      for (const auto& open : machine.Hid().Opens()) wakeUps += open.at >= kFrom && open.at < kTo;
    }
    perSecond = static_cast<double>(wakeUps) * 1000.0 / static_cast<double>(kTo - kFrom);
  }
  state.counters["wakeups_per_s"] = perSecond;
}
BENCHMARK(BM_MonitorWakeUps)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
