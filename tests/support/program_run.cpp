#include "support/program_run.h"

#include "app/UpdateFirmwareDlg.h"
#include "app/link_guard.h"
#include "device/device_link.h"
#include "res/program_resources.h"

namespace uft {

namespace {

// The framework starts each thread in its thread object's entry, which runs
// the object's procedure.
sim::ThreadRoutine FrameworkThreadProcedure(LPTHREAD_START_ROUTINE start, LPVOID parameter) {
  if (start != &CWinThread::ThreadEntry || parameter == nullptr) return nullptr;
  return reinterpret_cast<sim::ThreadRoutine>(static_cast<CWinThread*>(parameter)->m_pfnThreadProc);
}

}  // namespace

sim::MachineOptions ProgramOptions(std::uint64_t seed) {
  sim::MachineOptions options;
  options.seed = seed;
  options.entry = &WinMain;
  options.resources = ProgramResources();
  options.threadProcedure = &FrameworkThreadProcedure;
  return options;
}

std::optional<sim::ThreadInfo> FindMonitorThread(const sim::Kernel& kernel) {
  const auto monitor = reinterpret_cast<sim::ThreadRoutine>(&CUpdateFirmwareDlg::MonitorThreadProc);
  for (sim::ThreadInfo& t : kernel.Threads()) {
    if (t.routine == monitor) return std::move(t);
  }
  return std::nullopt;
}

void ResetProgramState() {
  g_nDeviceRelease = 0;
  g_dwChecksumSum = 0;
  AbandonTransferWatchdog();
  AbandonLinkGuard();
  CWnd::ForgetPermanentWindows();
}

ProgramMachine::ProgramMachine(sim::MachineOptions options)
    : sim::Machine([&] {
        ResetProgramState();
        return options;
      }()) {}

HWND MainDialog(sim::Script& s) { return s.Ui().Dialog(kMainDialog); }

HWND AwaitMainDialog(sim::Script& s) {
  // Shown once its initialisation is over.
  s.WaitFor([&] { return MainDialog(s) != nullptr && s.Ui().Visible(MainDialog(s)); }, 10000);
  return MainDialog(s);
}

bool AwaitIdentified(sim::Script& s, sim::Ticks timeoutMs) {
  return s.WaitFor(
      [&] {
        HWND dialog = MainDialog(s);
        return dialog != nullptr && s.Ui().Enabled(s.Ui().Item(dialog, 1000));
      },
      timeoutMs);
}

bool ClickUpdate(sim::Script& s) {
  HWND dialog = MainDialog(s);
  return dialog != nullptr && s.Ui().Click(s.Ui().Item(dialog, 1000));
}

void PostUpdateClick(sim::Script& s) {
  HWND dialog = MainDialog(s);
  ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_UPDATE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(s.Ui().Item(dialog, IDC_UPDATE)));
}

std::optional<sim::MessageBoxRecord> AwaitBox(sim::Script& s, sim::Ticks timeoutMs) {
  s.WaitFor([&] { return s.Ui().OpenBox().has_value(); }, timeoutMs);
  return s.Ui().OpenBox();
}

void AnswerBox(sim::Script& s) {
  if (!s.Ui().OpenBox()) return;
  s.Ui().PressBoxButton(IDOK);
  s.WaitFor([&] { return !s.Ui().OpenBox().has_value(); }, 10000);
}

void CloseProgram(sim::Script& s) {
  HWND dialog = MainDialog(s);
  if (dialog == nullptr) return;
  s.Ui().PostClose(dialog);
  s.WaitFor([&] { return MainDialog(s) == nullptr; }, 60000);
}

}  // namespace uft
