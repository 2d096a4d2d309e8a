#include <cstring>

#include "framework/afxwin.h"

namespace {

CWinApp* g_pApp = nullptr;

}  // namespace

CWinApp::CWinApp(LPCSTR lpszAppName) {
  // Runs during static initialisation: registration only, no platform call.
  if (lpszAppName != nullptr) m_strGivenName = lpszAppName;
  g_pApp = this;
}

CWinApp::~CWinApp() {
  if (g_pApp == this) g_pApp = nullptr;
}

BOOL CWinApp::InitFramework(HINSTANCE hInstance) {
  m_hInstance = hInstance;
  m_pMainWnd = nullptr;
  m_nWaitCursorCount = 0;

  char modulePath[MAX_PATH + 1] = {};
  const DWORD length = ::GetModuleFileNameA(hInstance, modulePath, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return FALSE;

  // The title, when none is given, is the executable's name without extension.
  const char* fileName = std::strrchr(modulePath, '\\');
  fileName = fileName != nullptr ? fileName + 1 : modulePath;
  std::string exeName = fileName;
  if (const auto dot = exeName.rfind('.'); dot != std::string::npos) exeName.resize(dot);
  m_strExeName = exeName.c_str();
  m_strAppName = m_strGivenName.IsEmpty() ? m_strExeName : m_strGivenName;

  // The help file is named after the executable: its path with ".HLP".
  std::string helpPath = modulePath;
  const auto slash = helpPath.rfind('\\');
  const auto dot = helpPath.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) helpPath.resize(dot);
  helpPath += ".HLP";
  m_strHelpFilePath = helpPath.c_str();

  m_pszAppName = m_strAppName;
  m_pszHelpFilePath = m_strHelpFilePath;
  return TRUE;
}

void CWinApp::DoWaitCursor(int nCode) {
  if (nCode > 0) {
    if (m_nWaitCursorCount++ == 0) {
      m_hcurWaitCursorRestore = ::SetCursor(::LoadCursorA(nullptr, IDC_WAIT));
    }
  } else if (nCode < 0 && m_nWaitCursorCount > 0) {
    if (--m_nWaitCursorCount == 0) {
      HCURSOR hRestore = m_hcurWaitCursorRestore != nullptr ? m_hcurWaitCursorRestore
                                                            : ::LoadCursorA(nullptr, IDC_ARROW);
      ::SetCursor(hRestore);
      m_hcurWaitCursorRestore = nullptr;
    }
  }
}

void CWinApp::WinHelp(DWORD_PTR dwData, UINT nCmd) {
  CWnd* pMainWnd = AfxGetMainWnd();
  HWND hMainWnd = pMainWnd != nullptr ? pMainWnd->m_hWnd : nullptr;
  BeginWaitCursor();
  const BOOL launched = ::WinHelpA(hMainWnd, m_pszHelpFilePath, nCmd, dwData);
  EndWaitCursor();
  if (!launched) AfxMessageBox("Failed to launch help.", MB_OK | MB_ICONEXCLAMATION);
}

namespace {

// Asks `hWnd`, then its parents and owners, for a help context.
DWORD HelpContextOfChain(HWND hWnd) {
  for (; hWnd != nullptr; hWnd = ::GetParent(hWnd)) {
    const auto context = static_cast<DWORD>(::SendMessageA(hWnd, WM_AFX_HELPCONTEXT, 0, 0));
    if (context != 0) return context;
  }
  return 0;
}

}  // namespace

void CWinApp::OnHelp() {
  DWORD context = HelpContextOfChain(::GetCapture());
  if (context == 0) context = HelpContextOfChain(::GetFocus());
  if (context == 0 && m_pMainWnd != nullptr && m_pMainWnd->m_hWnd != nullptr) {
    context = HelpContextOfChain(::GetLastActivePopup(m_pMainWnd->m_hWnd));
  }
  WinHelp(context, HELP_CONTEXT);
}

BEGIN_MESSAGE_MAP(CWinApp, CWinThread)
END_MESSAGE_MAP()

CWinApp* AfxGetApp() { return g_pApp; }

CWnd* AfxGetMainWnd() { return g_pApp != nullptr ? g_pApp->m_pMainWnd : nullptr; }

HINSTANCE AfxGetInstanceHandle() { return g_pApp != nullptr ? g_pApp->m_hInstance : nullptr; }

HINSTANCE AfxGetResourceHandle() { return AfxGetInstanceHandle(); }

void AfxEnableControlContainer(void* /*pManager*/) {
  // No template of ours holds an ActiveX control: there is nothing to host.
}

int AfxMessageBox(LPCSTR lpszText, UINT nType) {
  CWinApp* pApp = AfxGetApp();
  CWnd* pMainWnd = AfxGetMainWnd();
  HWND hOwner = pMainWnd != nullptr && pMainWnd->m_hWnd != nullptr
                    ? ::GetLastActivePopup(pMainWnd->m_hWnd)
                    : nullptr;
  return ::MessageBoxA(hOwner, lpszText, pApp != nullptr ? pApp->m_pszAppName : nullptr, nType);
}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/,
               int /*nCmdShow*/) {
  CWinApp* pApp = AfxGetApp();
  if (pApp == nullptr || !pApp->InitFramework(hInstance)) return -1;
  // The program's whole run lies within its initialisation, which returns
  // FALSE: no message loop of the application follows.
  pApp->InitInstance();
  return pApp->ExitInstance();
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow) {
  return AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow);
}
