#include "app/UpdateFirmware.h"

#include "app/UpdateFirmwareDlg.h"

BEGIN_MESSAGE_MAP(CUpdateFirmwareApp, CWinApp)
ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

CUpdateFirmwareApp::CUpdateFirmwareApp() = default;

CUpdateFirmwareApp::~CUpdateFirmwareApp() = default;

CUpdateFirmwareApp theApp;

BOOL CUpdateFirmwareApp::InitInstance() {
  AfxEnableControlContainer();

  CUpdateFirmwareDlg dlg;
  m_pMainWnd = &dlg;
  dlg.DoModal();

  // The dialog has ended; returning FALSE ends the program without a
  // message loop of its own.
  return FALSE;
}
