#include "app/UpdateFirmwareDlg.h"

#include <cstring>

#include "app/AboutDlg.h"
#include "app/link_guard.h"
#include "firmware/firmware.h"

namespace {

constexpr DWORD kStopLookIntervalMs = 100;
// A pass takes at most about 1.1 s plus the transfer time-outs; one that
// outlasts this bound is stuck in a driver that ignores the cancel.
constexpr DWORD kStopLooks = 100;
// The monitor thread holds the link for a search and an identification at
// most, a few seconds; one stuck in a driver that ignores the cancel never
// gives it back.
constexpr DWORD kLinkWaitMs = 10000;

}  // namespace

CUpdateFirmwareDlg::CUpdateFirmwareDlg(CWnd* pParent)
    : CDialog(IDD_UPDATEFIRMWARE_DIALOG, pParent),
      m_bRunning(false),
      m_pMonitorThread(nullptr),
      m_bPaused(false),
      m_hDevice(nullptr),
      m_dwWritten(0),
      m_dwRead(0),
      m_nMinor(0),
      m_nMajor(0),
      m_hIcon(::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      m_nPage(0),
      m_dwAddress(0),
      m_nChunk(0),
      m_dwDeviceChecksum(0),
      m_dwFileChecksum(0) {
  // Both buffers start as zeros; no report or read has set a byte yet.
  std::memset(m_OutReport, 0, sizeof m_OutReport);
  std::memset(m_InReport, 0, sizeof m_InReport);
}

CUpdateFirmwareDlg::~CUpdateFirmwareDlg() {
  // The window's end has stopped the monitor thread (or ended the process).
  // The device handle is left to the end of the process.
  StopTransferWatchdog();
  DestroyLinkGuard();
}

void CUpdateFirmwareDlg::DoDataExchange(CDataExchange* pDX) {
  DDX_Control(pDX, IDC_DEVICE_NAME, m_editDevice);
  DDX_Control(pDX, IDC_DEVICE_VERSION, m_editDeviceVersion);
  DDX_Control(pDX, IDC_FILE_VERSION, m_editFileVersion);
  DDX_Control(pDX, IDC_UPDATE_PROGRESS, m_progress);
}

BEGIN_MESSAGE_MAP(CUpdateFirmwareDlg, CDialog)
ON_WM_SYSCOMMAND()
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_BN_CLICKED(IDC_UPDATE, OnBnClickedUpdate)
ON_WM_CLOSE()
ON_EN_CHANGE(IDC_DEVICE_NAME, OnEnChangeDevice)
ON_WM_DESTROY()
END_MESSAGE_MAP()

void CUpdateFirmwareDlg::ShowRelease(CEdit& field, DWORD release) {
  m_nMajor = release >> 8;
  m_nMinor = static_cast<BYTE>(release & 0xFF);
  m_strVersion.Format("V%X.%02X", static_cast<unsigned>(m_nMajor), static_cast<unsigned>(m_nMinor));
  field.SetWindowText(m_strVersion);
}

BOOL CUpdateFirmwareDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  if (CMenu* pSysMenu = GetSystemMenu(FALSE); pSysMenu != nullptr) {
    CString strAboutMenu;
    strAboutMenu.LoadString(IDS_ABOUTBOX);
    if (!strAboutMenu.IsEmpty()) {
      pSysMenu->AppendMenu(MF_SEPARATOR);
      pSysMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, strAboutMenu);
    }
  }

  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);

  // The guard exists before the monitor thread can use the link. Without
  // one the two threads could not be kept apart, so no monitor thread runs
  // and the dialog stays as when the thread cannot be created: no device is
  // shown and Update stays disabled (a click that gets through anyway finds
  // no guard to take and does nothing).
  const BOOL bLinkGuarded = CreateLinkGuard();
  m_bRunning = true;
  m_hDevice = nullptr;
  m_bPaused = false;
  m_pMonitorThread = bLinkGuarded ? AfxBeginThread(&CUpdateFirmwareDlg::MonitorThreadProc, this,
                                                   THREAD_PRIORITY_NORMAL, 0, 0, nullptr)
                                  : nullptr;

  m_editDevice.SetWindowText("");
  m_editDeviceVersion.SetWindowText("");
  ShowRelease(m_editFileVersion, FIRMWARE_FILE_RELEASE);
  return TRUE;
}

void CUpdateFirmwareDlg::OnSysCommand(UINT nID, LPARAM lParam) {
  if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
    // Sent while the dialog is stopping (the stop's wait delivers sent
    // messages), it would open over a closing dialog and hold up the close.
    if (!m_bRunning.load()) return;
    CAboutDlg dlgAbout;
    dlgAbout.DoModal();
  } else {
    CDialog::OnSysCommand(nID, lParam);
  }
}

BOOL CUpdateFirmwareDlg::OnCmdMsg(UINT nID, int nCode) {
  // Help sent while the dialog stops would open its failure box over the
  // closing dialog and hold the close up, as the about box would.
  if (nID == ID_HELP && !m_bRunning.load()) return TRUE;
  return CDialog::OnCmdMsg(nID, nCode);
}

void CUpdateFirmwareDlg::OnPaint() {
  if (IsIconic()) {
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    const int cxIcon = ::GetSystemMetrics(SM_CXICON);
    const int cyIcon = ::GetSystemMetrics(SM_CYICON);
    CRect rect;
    GetClientRect(&rect);
    const int x = (rect.Width() - cxIcon + 1) / 2;
    const int y = (rect.Height() - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
  } else {
    CDialog::OnPaint();
  }
}

HCURSOR CUpdateFirmwareDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CUpdateFirmwareDlg::OnEnChangeDevice() {}

void CUpdateFirmwareDlg::StopMonitorThread() {
  m_bRunning = false;
  // The monitor thread's control changes still land while we wait.
  for (DWORD looks = 0; m_pMonitorThread.load() != nullptr && looks < kStopLooks; ++looks) {
    WaitTakingSentMessages(kStopLookIntervalMs);
  }
  // Still under way: the pass is stuck in a driver that ignores the cancel,
  // and would go on using this object, the link guard and the transfer
  // watchdog. Rather than hang the close, or free them under it, end the
  // process here; it is ending anyway.
  if (m_pMonitorThread.load() != nullptr) ExitProcess(0);
}

void CUpdateFirmwareDlg::OnClose() {
  StopMonitorThread();
  CDialog::OnClose();
}

void CUpdateFirmwareDlg::OnOK() {
  StopMonitorThread();
  CDialog::OnOK();
}

void CUpdateFirmwareDlg::OnCancel() {
  StopMonitorThread();
  CDialog::OnCancel();
}

void CUpdateFirmwareDlg::OnDestroy() {
  // Every ending through our handlers has stopped the monitor thread. One
  // that did not (a WM_QUIT in the modal loop) stops it here, while the
  // controls still exist for its last changes.
  if (m_pMonitorThread.load() != nullptr) StopMonitorThread();
  CDialog::OnDestroy();
}

void CUpdateFirmwareDlg::OnBnClickedUpdate() {
  // Only this command sets the flag, for as long as it runs. A click that
  // reaches us meanwhile (posted by another program and dispatched by the
  // modal loop of the update's message box) would wait for ever for the link
  // that the running update holds; one that reaches us while the dialog is
  // stopping (sent, and delivered by the stop's wait) would update a device
  // under a closing dialog. Both are ignored and leave the flag alone.
  if (m_bPaused.load() || !m_bRunning.load()) return;
  m_bPaused = true;
  // Time for a keep-alive that tested the flag just before we set it to
  // finish its write. The link guard makes sure of that; the wait keeps the
  // command's timing as the joystick has always seen it.
  Sleep(100);
  // A link that never comes free shows nothing, as a search that finds
  // nothing does. Nor does a dialog that began to end during the wait (a
  // close sent by another program): it must not find the joystick erased
  // under it once it has gone.
  if (AcquireLinkForUserInterface(kLinkWaitMs, m_bRunning)) {
    if (FindDevice() == TRUE) UpdateFirmware(g_FirmwareImage);
    ReleaseLink();
  }
  m_bPaused = false;
}
