#include <vector>

#include "framework/afxwin.h"

namespace {

// Dialog windows created by this framework, to find their objects again.
// Only the user-interface thread creates and destroys dialogs.
std::vector<CWnd*>& PermanentWindows() {
  static std::vector<CWnd*> windows;
  return windows;
}

// Per-thread wrappers handed out by GetDlgItem and GetSystemMenu. They never
// own what they wrap.
struct TemporaryWnd {
  CWnd wnd;
  ~TemporaryWnd() { wnd.m_hWnd = nullptr; }
};
thread_local TemporaryWnd t_temporaryWnd;
thread_local CMenu t_temporaryMenu;

}  // namespace

void RegisterPermanentWindow(CWnd* pWnd) { PermanentWindows().push_back(pWnd); }

void UnregisterPermanentWindow(CWnd* pWnd) {
  auto& windows = PermanentWindows();
  std::erase(windows, pWnd);
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd) {
  if (hWnd == nullptr) return nullptr;
  for (CWnd* pWnd : PermanentWindows()) {
    if (pWnd->m_hWnd == hWnd) return pWnd;
  }
  return nullptr;
}

void CWnd::ForgetPermanentWindows() { PermanentWindows().clear(); }

CWnd::~CWnd() {
  if (m_hWnd != nullptr) {
    HWND hWnd = m_hWnd;
    m_hWnd = nullptr;
    ::DestroyWindow(hWnd);
  }
}

CWnd* CWnd::GetDlgItem(int nID) const {
  HWND hItem = ::GetDlgItem(m_hWnd, nID);
  if (hItem == nullptr) return nullptr;
  t_temporaryWnd.wnd.m_hWnd = hItem;
  return &t_temporaryWnd.wnd;
}

CMenu* CWnd::GetSystemMenu(BOOL bRevert) const {
  HMENU hMenu = ::GetSystemMenu(m_hWnd, bRevert);
  if (hMenu == nullptr) return nullptr;
  t_temporaryMenu.m_hMenu = hMenu;
  return &t_temporaryMenu;
}

void CWnd::CenterWindow() {
  // Centred over a visible owner, else in the work area; either way within
  // the work area of the monitor that the owner (or, without one, the window
  // itself) is on.
  HWND hOwner = ::GetWindow(m_hWnd, GW_OWNER);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  ::GetMonitorInfoA(
      ::MonitorFromWindow(hOwner != nullptr ? hOwner : m_hWnd, MONITOR_DEFAULTTONEAREST), &monitor);
  const RECT work = monitor.rcWork;
  RECT area = work;
  if (hOwner != nullptr && ::IsWindowVisible(hOwner) && !::IsIconic(hOwner)) {
    ::GetWindowRect(hOwner, &area);
  }
  RECT self{0, 0, 0, 0};
  ::GetWindowRect(m_hWnd, &self);
  const int width = self.right - self.left;
  const int height = self.bottom - self.top;
  int x = area.left + (area.right - area.left - width) / 2;
  int y = area.top + (area.bottom - area.top - height) / 2;
  // Keep the whole window within the work area.
  if (x + width > work.right) x = work.right - width;
  if (x < work.left) x = work.left;
  if (y + height > work.bottom) y = work.bottom - height;
  if (y < work.top) y = work.top;
  ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
  *pResult = 0;
  if (message == WM_COMMAND) return OnCommand(wParam, lParam);
  const AFX_MSGMAP_ENTRY* entry = FindMessageEntry(message, 0, 0);
  if (entry == nullptr) return FALSE;
  // Handlers may run nested (a modal loop inside a handler), so each message
  // keeps its own request for default processing.
  CurrentMessage current;
  CurrentMessage* outer = m_pCurrentMessage;
  m_pCurrentMessage = &current;
  *pResult = entry->pfn(this, wParam, lParam);
  m_pCurrentMessage = outer;
  return current.callDefault ? FALSE : TRUE;
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM /*lParam*/) {
  return OnCmdMsg(LOWORD(wParam), HIWORD(wParam));
}

LRESULT CWnd::Default() {
  if (m_pCurrentMessage != nullptr) m_pCurrentMessage->callDefault = true;
  return 0;
}

void CWnd::OnSysCommand(UINT /*nID*/, LPARAM /*lParam*/) { Default(); }

void CWnd::OnPaint() { Default(); }

void CWnd::OnClose() { Default(); }

void CWnd::OnDestroy() { Default(); }

BOOL CWnd::OnHelpInfo(HELPINFO* /*pHelpInfo*/) {
  // F1 in a top-level window asks the main window for help, unless a
  // modifier key is held.
  CWnd* pMainWnd = AfxGetMainWnd();
  const bool topLevel = (GetStyle() & WS_CHILD) == 0;
  const bool modifierDown =
      ::GetKeyState(VK_SHIFT) < 0 || ::GetKeyState(VK_CONTROL) < 0 || ::GetKeyState(VK_MENU) < 0;
  if (topLevel && pMainWnd != nullptr && pMainWnd->m_hWnd != nullptr && !modifierDown) {
    pMainWnd->SendMessage(WM_COMMAND, ID_HELP, 0);
    return TRUE;
  }
  Default();
  return FALSE;
}

LRESULT CWnd::OnHelpContext(WPARAM /*wParam*/, LPARAM /*lParam*/) { return 0; }

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
ON_WM_HELPINFO()
ON_MESSAGE(WM_AFX_HELPCONTEXT, OnHelpContext)
END_MESSAGE_MAP()
