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

// Clears what the display shows of a device that is no longer open.
void ShowNoDevice(CUpdateFirmwareDlg& dlg) {
  dlg.m_editDevice.SetWindowText("");
  dlg.m_editDeviceVersion.SetWindowText("");
  EnableUpdateButton(dlg, FALSE);
  dlg.m_progress.SendMessage(PBM_SETPOS, 0, 0);
}

}  // namespace

UINT CUpdateFirmwareDlg::MonitorThreadProc(LPVOID pParam) {
  auto* pDlg = static_cast<CUpdateFirmwareDlg*>(pParam);
  // The last pass was a keep-alive pass that wrote nothing because an update
  // held the link.
  bool skippedForUpdate = false;
  while (pDlg->m_bRunning.load()) {
    if (pDlg->m_hDevice.load() == nullptr) {
      // The Update command's search found nothing and dropped the device
      // while the keep-alive skipped its write, so no failed write will clear
      // the display: it must not go on showing a device that is gone.
      if (skippedForUpdate) ShowNoDevice(*pDlg);
      skippedForUpdate = false;
      // Search pass.
      Sleep(kSearchIntervalMs);
      if (!AcquireLinkForMonitor(pDlg->m_bRunning)) continue;
      // The Update command may have opened a device (and shown its release)
      // while this pass slept; a search that finds nothing drops it.
      const bool bDropsOpenDevice = pDlg->m_hDevice.load() != nullptr;
      if (pDlg->FindDevice()) {
        if (pDlg->IdentifyDevice()) {
          pDlg->m_editDevice.SetWindowText(kJoystickName);
          pDlg->ShowRelease(pDlg->m_editDeviceVersion, g_nDeviceRelease);
          EnableUpdateButton(*pDlg, TRUE);
        } else {
          // Found but not identified: shown, and watched like a joystick.
          pDlg->m_editDevice.SetWindowText(kUnknownDevice);
        }
      } else if (bDropsOpenDevice) {
        ShowNoDevice(*pDlg);
      }
      ReleaseLink();
    } else {
      // Keep-alive pass.
      Sleep(kKeepAliveIntervalMs);
      skippedForUpdate = pDlg->m_bPaused.load();
      if (skippedForUpdate) continue;
      if (!AcquireLinkForMonitor(pDlg->m_bRunning)) continue;
      // An update may have taken the link meanwhile; it keeps the flag set
      // until it is over.
      skippedForUpdate = pDlg->m_bPaused.load();
      if (!skippedForUpdate) {
        FrameCommand(pDlg->m_OutReport, CMD_PING);
        if (!WriteReport(pDlg->m_hDevice.load(), pDlg->m_OutReport, &pDlg->m_dwWritten)) {
          // The device is gone; its handle is of no further use.
          if (HANDLE hGone = pDlg->m_hDevice.exchange(nullptr); hGone != nullptr) {
            CloseHandle(hGone);
          }
          ShowNoDevice(*pDlg);
        }
      }
      ReleaseLink();
    }
  }
  // The last access to the dialog: after it the dialog may go away.
  pDlg->m_pMonitorThread = nullptr;
  return 1;
}
