#pragma once

#include "framework/afxwin.h"
#include "res/resource.h"

// The about box, opened from the main dialog's system menu.
class CAboutDlg : public CDialog {
 public:
  CAboutDlg();
  ~CAboutDlg() override;
  enum { IDD = IDD_ABOUTBOX };

  DECLARE_MESSAGE_MAP()
};
