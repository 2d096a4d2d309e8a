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

constexpr int kSlots = 4;
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
  TransferSlot slots[kSlots];
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
    const DWORD now = GetTickCount();
    for (TransferSlot& slot : g_watchdog.slots) {
      if (!slot.armed) continue;
      const DWORD elapsed = now - slot.startTick;
      if (elapsed >= DEVICE_IO_TIMEOUT_MS) {
        CancelSynchronousIo(slot.hThread);
        wait = wait < kCancelRetryMs ? wait : kCancelRetryMs;
      } else {
        const DWORD left = DEVICE_IO_TIMEOUT_MS - elapsed;
        wait = wait < left ? wait : left;
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

// Arms a slot for the calling thread; -1 when the transfer runs unguarded
// (no watchdog could be started or the thread handle could not be opened).
int ArmSlot() {
  if (!EnsureWatchdog()) return -1;
  HANDLE hSelf = OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId());
  if (hSelf == nullptr) return -1;
  EnterCriticalSection(&g_watchdog.lock);
  int index = -1;
  for (int i = 0; i < kSlots; ++i) {
    if (!g_watchdog.slots[i].armed) {
      g_watchdog.slots[i] = {true, hSelf, GetTickCount()};
      index = i;
      break;
    }
  }
  const bool wake = index >= 0 && g_watchdog.idle;
  LeaveCriticalSection(&g_watchdog.lock);
  if (index < 0) {
    CloseHandle(hSelf);
    return -1;
  }
  if (wake) SetEvent(g_watchdog.hWake);
  return index;
}

void DisarmSlot(int index) {
  if (index < 0) return;
  EnterCriticalSection(&g_watchdog.lock);
  HANDLE hSelf = g_watchdog.slots[index].hThread;
  g_watchdog.slots[index] = {};
  LeaveCriticalSection(&g_watchdog.lock);
  CloseHandle(hSelf);
}

}  // namespace

BOOL WriteReport(HANDLE hDevice, const BYTE* report, DWORD* pWritten) {
  const int slot = ArmSlot();
  const BOOL ok = WriteFile(hDevice, report, HID_REPORT_SIZE, pWritten, nullptr);
  DisarmSlot(slot);
  return ok != FALSE ? TRUE : FALSE;
}

BOOL ReadReport(HANDLE hDevice, BYTE* report, DWORD* pRead) {
  const int slot = ArmSlot();
  const BOOL ok = ReadFile(hDevice, report, HID_REPORT_SIZE, pRead, nullptr);
  DisarmSlot(slot);
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
