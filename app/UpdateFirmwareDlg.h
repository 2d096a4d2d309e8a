// The main dialog. It also holds the link to the joystick: the open handle,
// the report buffers and the counters of an update.
#pragma once

#include <atomic>

#include "device/device_link.h"
#include "framework/afxwin.h"
#include "res/resource.h"

class CUpdateFirmwareDlg : public CDialog {
 public:
  explicit CUpdateFirmwareDlg(CWnd* pParent = nullptr);
  ~CUpdateFirmwareDlg() override;

  enum { IDD = IDD_UPDATEFIRMWARE_DIALOG };

  // The device link.
  BOOL FindDevice();
  BOOL IdentifyDevice();
  void UpdateFirmware(const BYTE* pImage);

  static UINT MonitorThreadProc(LPVOID pParam);

  // Shared by the user-interface thread and the monitor thread.
  std::atomic<bool> m_bRunning;
  std::atomic<CWinThread*> m_pMonitorThread;
  std::atomic<bool> m_bPaused;
  std::atomic<HANDLE> m_hDevice;
  DWORD m_dwWritten;
  DWORD m_dwRead;
  COMMAND_REPORT m_OutReport;
  RESPONSE_REPORT m_InReport;
  BYTE m_nMinor;
  DWORD m_nMajor;
  CEdit m_editDevice;
  CEdit m_editDeviceVersion;
  CEdit m_editFileVersion;
  CString m_strVersion;
  CProgressCtrl m_progress;
  HICON m_hIcon;
  // Counters of an update.
  BYTE m_nPage;
  DWORD m_dwAddress;
  DWORD m_nChunk;
  DWORD m_dwDeviceChecksum;
  DWORD m_dwFileChecksum;

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnCmdMsg(UINT nID, int nCode) override;
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;

  void OnSysCommand(UINT nID, LPARAM lParam);
  void OnPaint();
  HCURSOR OnQueryDragIcon();
  void OnBnClickedUpdate();
  void OnClose();
  void OnEnChangeDevice();
  void OnDestroy();

  DECLARE_MESSAGE_MAP()

 private:
  friend class CFirmwareUpdate;
  void StopMonitorThread();
  void ShowRelease(CEdit& field, DWORD release);

  // The monitor thread's two kinds of pass.
  // kLinkNotTaken: the dialog is stopping, or the wait for the link failed.
  enum class KeepAlive { kWritten, kSkippedForUpdate, kLost, kLinkNotTaken };
  void SearchPass(bool bDroppedWhileSkipped);
  KeepAlive KeepAlivePass();
};

// Sum of the page checksums read back during the current update.
extern DWORD g_dwChecksumSum;
