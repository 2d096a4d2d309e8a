// Bounded report transfers on a synchronous HID handle.
//
// The handle is opened without FILE_FLAG_OVERLAPPED, so WriteFile and ReadFile
// block until the driver completes them; a joystick that stops answering
// would block for ever. A watchdog thread cancels a transfer that has run for
// DEVICE_IO_TIMEOUT_MS with CancelSynchronousIo; the call then fails and the
// caller takes its ordinary failure path. A cancel that arrives before the
// transfer has entered the driver is lost (ERROR_NOT_FOUND), so the watchdog
// repeats it until the transfer ends.
#include "device/device_link.h"

namespace {

constexpr DWORD kCancelRetryMs = 10;

struct TransferSlot {
  bool armed = false;
  HANDLE hThread = nullptr;  // the transferring thread, opened for cancelling
  DWORD startTick = 0;
};

struct Watchdog {
  bool started = false;
  bool stopping = false;
  bool idle = true;  // waiting with no transfer armed
  CRITICAL_SECTION lock{};
  HANDLE hWake = nullptr;
  HANDLE hThread = nullptr;
  // The link guard keeps transfers to one thread at a time, so one slot
  // serves them all; a transfer that finds it taken runs unguarded.
  TransferSlot slot;
};

Watchdog g_watchdog;

DWORD WINAPI WatchdogThread(LPVOID) {
  for (;;) {
    EnterCriticalSection(&g_watchdog.lock);
    if (g_watchdog.stopping) {
      LeaveCriticalSection(&g_watchdog.lock);
      return 0;
    }
    DWORD wait = INFINITE;
    if (const TransferSlot& slot = g_watchdog.slot; slot.armed) {
      const DWORD elapsed = GetTickCount() - slot.startTick;
      if (elapsed >= DEVICE_IO_TIMEOUT_MS) {
        CancelSynchronousIo(slot.hThread);
        wait = kCancelRetryMs;
      } else {
        wait = DEVICE_IO_TIMEOUT_MS - elapsed;
      }
    }
    g_watchdog.idle = wait == INFINITE;
    LeaveCriticalSection(&g_watchdog.lock);
    WaitForSingleObject(g_watchdog.hWake, wait);
  }
}

// The callers keep transfers to one thread at a time, so the first transfer
// starts the watchdog without a race.
bool EnsureWatchdog() {
  if (g_watchdog.started) return true;
  g_watchdog.hWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (g_watchdog.hWake == nullptr) return false;
  InitializeCriticalSection(&g_watchdog.lock);
  g_watchdog.stopping = false;
  g_watchdog.idle = true;
  g_watchdog.hThread = CreateThread(nullptr, 0, &WatchdogThread, nullptr, 0, nullptr);
  if (g_watchdog.hThread == nullptr) {
    DeleteCriticalSection(&g_watchdog.lock);
    CloseHandle(g_watchdog.hWake);
    g_watchdog.hWake = nullptr;
    return false;
  }
  g_watchdog.started = true;
  return true;
}

// Arms the slot for the calling thread; false when the transfer runs
// unguarded (no watchdog could be started, the thread handle could not be
// opened, or the slot is taken).
bool ArmSlot() {
  if (!EnsureWatchdog()) return false;
  // CancelSynchronousIo needs a handle with the THREAD_TERMINATE right; the
  // pseudo-handle from GetCurrentThread would name the watchdog's own thread.
  HANDLE hSelf = OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId());
  if (hSelf == nullptr) return false;
  EnterCriticalSection(&g_watchdog.lock);
  const bool armed = !g_watchdog.slot.armed;
  if (armed) g_watchdog.slot = {true, hSelf, GetTickCount()};
  const bool wake = armed && g_watchdog.idle;
  LeaveCriticalSection(&g_watchdog.lock);
  if (!armed) {
    CloseHandle(hSelf);
    return false;
  }
  if (wake) SetEvent(g_watchdog.hWake);
  return true;
}

void DisarmSlot(bool armed) {
  if (!armed) return;
  EnterCriticalSection(&g_watchdog.lock);
  HANDLE hSelf = g_watchdog.slot.hThread;
  g_watchdog.slot = {};
  LeaveCriticalSection(&g_watchdog.lock);
  CloseHandle(hSelf);
}

}  // namespace

BOOL WriteReport(HANDLE hDevice, const BYTE* report, DWORD* pWritten) {
  const bool armed = ArmSlot();
  const BOOL ok = WriteFile(hDevice, report, HID_REPORT_SIZE, pWritten, nullptr);
  DisarmSlot(armed);
  return ok != FALSE ? TRUE : FALSE;
}

BOOL ReadReport(HANDLE hDevice, BYTE* report, DWORD* pRead) {
  const bool armed = ArmSlot();
  const BOOL ok = ReadFile(hDevice, report, HID_REPORT_SIZE, pRead, nullptr);
  DisarmSlot(armed);
  return ok != FALSE ? TRUE : FALSE;
}

void StopTransferWatchdog() {
  if (!g_watchdog.started) return;
  EnterCriticalSection(&g_watchdog.lock);
  g_watchdog.stopping = true;
  LeaveCriticalSection(&g_watchdog.lock);
  SetEvent(g_watchdog.hWake);
  WaitForSingleObject(g_watchdog.hThread, INFINITE);
  CloseHandle(g_watchdog.hThread);
  CloseHandle(g_watchdog.hWake);
  DeleteCriticalSection(&g_watchdog.lock);
  g_watchdog = Watchdog{};
}

void AbandonTransferWatchdog() { g_watchdog = Watchdog{}; }
