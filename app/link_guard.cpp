#include "app/link_guard.h"

namespace {

// An auto-reset event that is signalled while the link is free.
HANDLE g_hLinkFree = nullptr;

constexpr DWORD kMonitorPollMs = 100;

// Delivers the messages other threads have sent to this thread; posted
// messages and input stay queued.
void DeliverSentMessages() {
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE | PM_QS_SENDMESSAGE);
}

}  // namespace

BOOL CreateLinkGuard() {
  if (g_hLinkFree == nullptr) g_hLinkFree = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  return g_hLinkFree != nullptr;
}

void DestroyLinkGuard() {
  if (g_hLinkFree != nullptr) CloseHandle(g_hLinkFree);
  g_hLinkFree = nullptr;
}

void AbandonLinkGuard() { g_hLinkFree = nullptr; }

BOOL AcquireLinkForUserInterface(DWORD timeoutMs) {
  if (g_hLinkFree == nullptr) return TRUE;
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return FALSE;
    const DWORD result =
        MsgWaitForMultipleObjectsEx(1, &g_hLinkFree, timeoutMs - elapsed, QS_SENDMESSAGE, 0);
    if (result == WAIT_OBJECT_0) return TRUE;
    if (result != WAIT_OBJECT_0 + 1) return FALSE;  // timed out, or the wait failed
    DeliverSentMessages();
  }
}

BOOL AcquireLinkForMonitor(const std::atomic<bool>& running) {
  if (g_hLinkFree == nullptr) return TRUE;
  for (;;) {
    const DWORD result = WaitForSingleObject(g_hLinkFree, kMonitorPollMs);
    if (result == WAIT_OBJECT_0) return TRUE;
    if (result != WAIT_TIMEOUT) return TRUE;
    if (!running.load()) return FALSE;
  }
}

void ReleaseLink() {
  if (g_hLinkFree != nullptr) SetEvent(g_hLinkFree);
}

void WaitTakingSentMessages(DWORD milliseconds) {
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= milliseconds) return;
    const DWORD result =
        MsgWaitForMultipleObjectsEx(0, nullptr, milliseconds - elapsed, QS_SENDMESSAGE, 0);
    if (result != WAIT_OBJECT_0) return;  // timed out (or failed)
    DeliverSentMessages();
  }
}
