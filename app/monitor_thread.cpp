// The device monitor thread: searches for the joystick once a second while
// none is open, and writes a keep-alive report every 200 ms while one is.
#include "app/UpdateFirmwareDlg.h"
#include "app/link_guard.h"

namespace {

constexpr DWORD kSearchIntervalMs = 1000;
constexpr DWORD kKeepAliveIntervalMs = 200;
constexpr char kJoystickName[] = "Brelt Kestrune Arcade Joystick";
constexpr char kUnknownDevice[] = "Unknown Device !";

// The Update button is reached through the dialog each time; once the
// dialog's window is gone there is none.
void EnableUpdateButton(CUpdateFirmwareDlg& dlg, BOOL bEnable) {
  CWnd* pUpdate = dlg.GetDlgItem(IDC_UPDATE);
  if (pUpdate != nullptr) pUpdate->EnableWindow(bEnable);
}

// Clears what the display shows of a device that is no longer open; the
// name field gets `name`.
void ShowNoDevice(CUpdateFirmwareDlg& dlg, const char* name = "") {
  dlg.m_editDevice.SetWindowText(name);
  dlg.m_editDeviceVersion.SetWindowText("");
  EnableUpdateButton(dlg, FALSE);
  dlg.m_progress.SendMessage(PBM_SETPOS, 0, 0);
}

}  // namespace

// A search, and the identification of what it finds. The display may show
// a device that no failed keep-alive will report lost: one that the Update
// command's search dropped while the keep-alive skipped its write, or one
// that the command opened (and showed the release of) while this pass slept.
// Unless the search identifies the joystick, that device must not stay on
// show. Decided once the link is ours, so that an update under way meanwhile
// is over.
void CUpdateFirmwareDlg::SearchPass(bool bDroppedWhileSkipped) {
  Sleep(kSearchIntervalMs);
  if (!AcquireLinkForMonitor(m_bRunning)) return;
  const bool bDropsShownDevice = bDroppedWhileSkipped || m_hDevice.load() != nullptr;
  const bool bFound = FindDevice() != FALSE;
  const bool bIdentified = bFound && IdentifyDevice();
  // A device found but not identified is shown as unknown, and watched like
  // a joystick.
  if (bIdentified) {
    m_editDevice.SetWindowText(kJoystickName);
    ShowRelease(m_editDeviceVersion, g_nDeviceRelease);
    EnableUpdateButton(*this, TRUE);
  } else if (bDropsShownDevice) {
    ShowNoDevice(*this, bFound ? kUnknownDevice : "");
  } else if (bFound) {
    m_editDevice.SetWindowText(kUnknownDevice);
  }
  ReleaseLink();
}

CUpdateFirmwareDlg::KeepAlive CUpdateFirmwareDlg::KeepAlivePass() {
  Sleep(kKeepAliveIntervalMs);
  if (m_bPaused.load()) return KeepAlive::kSkippedForUpdate;
  if (!AcquireLinkForMonitor(m_bRunning)) return KeepAlive::kLinkNotTaken;
  // An update may have taken the link meanwhile; it keeps the flag set until
  // it is over.
  KeepAlive outcome = KeepAlive::kWritten;
  if (m_bPaused.load()) {
    outcome = KeepAlive::kSkippedForUpdate;
  } else {
    FrameCommand(m_OutReport, CMD_PING);
    if (!WriteReport(m_hDevice.load(), m_OutReport, &m_dwWritten)) {
      // The device is gone; its handle is of no further use.
      if (HANDLE hGone = m_hDevice.exchange(nullptr); hGone != nullptr) CloseHandle(hGone);
      ShowNoDevice(*this);
      outcome = KeepAlive::kLost;
    }
  }
  ReleaseLink();
  return outcome;
}

UINT CUpdateFirmwareDlg::MonitorThreadProc(LPVOID pParam) {
  auto* pDlg = static_cast<CUpdateFirmwareDlg*>(pParam);
  KeepAlive last = KeepAlive::kWritten;
  while (pDlg->m_bRunning.load()) {
    // A lost device is searched for next, even if the Update command has put
    // a device into the field meanwhile: the display no longer shows one.
    if (last == KeepAlive::kLost || pDlg->m_hDevice.load() == nullptr) {
      pDlg->SearchPass(last == KeepAlive::kSkippedForUpdate);
      last = KeepAlive::kWritten;
    } else {
      last = pDlg->KeepAlivePass();
    }
  }
  // The last access to the dialog: after it the dialog may go away.
  pDlg->m_pMonitorThread = nullptr;
  return 1;
}
