#pragma once

#include "framework/afxwin.h"

// The application: one modal run of the main dialog.
class CUpdateFirmwareApp : public CWinApp {
 public:
  CUpdateFirmwareApp();
  ~CUpdateFirmwareApp() override;

  BOOL InitInstance() override;

  DECLARE_MESSAGE_MAP()
};

extern CUpdateFirmwareApp theApp;
