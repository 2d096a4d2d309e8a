// The device monitor thread: searches for the joystick once a second while
// none is open, and writes a keep-alive report every 200 ms while one is.
#include "app/UpdateFirmwareDlg.h"
#include "app/link_guard.h"

namespace {

constexpr DWORD kSearchIntervalMs = 1000;
constexpr DWORD kKeepAliveIntervalMs = 200;
constexpr char kJoystickName[] = "Brelt Kestrune Arcade Joystick";
constexpr char kUnknownDevice[] = "Unknown Device !";

// Clears what the display shows of a device that is no longer open.
void ShowNoDevice(CUpdateFirmwareDlg& dlg) {
  dlg.m_editDevice.SetWindowText("");
  dlg.m_editDeviceVersion.SetWindowText("");
  dlg.GetDlgItem(IDC_UPDATE)->EnableWindow(FALSE);
  dlg.m_progress.SendMessage(PBM_SETPOS, 0, 0);
}

}  // namespace

UINT CUpdateFirmwareDlg::MonitorThreadProc(LPVOID pParam) {
  auto* pDlg = static_cast<CUpdateFirmwareDlg*>(pParam);
  bool watching = false;  // the display shows the device of m_hDevice
  while (pDlg->m_bRunning.load()) {
    if (pDlg->m_hDevice.load() == nullptr) {
      // The Update command's search can drop the device while a keep-alive
      // pass skips its write; the display must not go on showing it.
      if (watching) ShowNoDevice(*pDlg);
      watching = false;
      // Search pass.
      Sleep(kSearchIntervalMs);
      if (!AcquireLinkForMonitor(pDlg->m_bRunning)) continue;
      if (pDlg->FindDevice()) {
        watching = true;
        if (pDlg->IdentifyDevice()) {
          pDlg->m_editDevice.SetWindowText(kJoystickName);
          pDlg->ShowRelease(pDlg->m_editDeviceVersion, g_nDeviceRelease);
          pDlg->GetDlgItem(IDC_UPDATE)->EnableWindow(TRUE);
        } else {
          // Found but not identified: shown, and watched like a joystick.
          pDlg->m_editDevice.SetWindowText(kUnknownDevice);
        }
      }
      ReleaseLink();
    } else {
      // Keep-alive pass.
      Sleep(kKeepAliveIntervalMs);
      if (pDlg->m_bPaused.load()) continue;
      if (!AcquireLinkForMonitor(pDlg->m_bRunning)) continue;
      // An update may have held the link meanwhile; it keeps the flag set
      // until it is over.
      if (pDlg->m_bPaused.load()) {
        ReleaseLink();
        continue;
      }
      FrameCommand(pDlg->m_OutReport, CMD_PING);
      if (!WriteReport(pDlg->m_hDevice.load(), pDlg->m_OutReport, &pDlg->m_dwWritten)) {
        // The device is gone; its handle is of no further use.
        if (HANDLE hGone = pDlg->m_hDevice.exchange(nullptr); hGone != nullptr) CloseHandle(hGone);
        ShowNoDevice(*pDlg);
        watching = false;
      }
      ReleaseLink();
    }
  }
  // The last access to the dialog: after it the dialog may go away.
  pDlg->m_pMonitorThread = nullptr;
  return 1;
}
