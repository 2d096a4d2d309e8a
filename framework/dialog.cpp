#include <cassert>

#include "framework/afxwin.h"

void RegisterPermanentWindow(CWnd* pWnd);
void UnregisterPermanentWindow(CWnd* pWnd);

namespace {

void InitCommonControlClasses() {
  INITCOMMONCONTROLSEX init{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&init);
}

// Messages whose result a dialog procedure returns directly rather than
// through DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message) {
  return message == WM_QUERYDRAGICON || message == WM_INITDIALOG;
}

}  // namespace

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& control) {
  if (control.m_hWnd != nullptr) return;  // bound once, kept on later exchanges
  control.m_hWnd = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
  if (control.m_hWnd != nullptr) pDX->m_pDlgWnd->RegisterBoundControl(&control);
}

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog() {
  // The bound members belong to the derived class and are gone already.
  m_nBoundControls = 0;
  DetachWindow();
}

void CDialog::RegisterBoundControl(CWnd* pControl) {
  assert(m_nBoundControls < kMaxBoundControls && "more bound controls than a dialog keeps");
  if (m_nBoundControls < kMaxBoundControls) m_boundControls[m_nBoundControls++] = pControl;
}

HWND CDialog::FindOwner() const {
  if (m_pParentWnd != nullptr) return m_pParentWnd->m_hWnd;
  CWnd* pMainWnd = AfxGetMainWnd();
  if (pMainWnd == nullptr || pMainWnd == this || pMainWnd->m_hWnd == nullptr) return nullptr;
  return ::GetLastActivePopup(pMainWnd->m_hWnd);
}

INT_PTR CDialog::DoModal() {
  InitCommonControlClasses();
  return ::DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_nIDTemplate), FindOwner(),
                           &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

void CDialog::AttachWindow(HWND hWnd) {
  m_hWnd = hWnd;
  ::SetWindowLongPtrA(hWnd, DWLP_USER, reinterpret_cast<LONG_PTR>(this));
  RegisterPermanentWindow(this);
}

void CDialog::DetachWindow() {
  if (m_hWnd == nullptr && m_nBoundControls == 0) return;
  // The child windows go with the dialog: the bound members let go of them.
  for (int i = 0; i < m_nBoundControls; ++i) m_boundControls[i]->m_hWnd = nullptr;
  m_nBoundControls = 0;
  UnregisterPermanentWindow(this);
  CWinApp* pApp = AfxGetApp();
  if (m_hWnd != nullptr && pApp != nullptr && pApp->m_pMainWnd == this) {
    pApp->m_pMainWnd = nullptr;
    ::PostQuitMessage(0);
  }
  m_hWnd = nullptr;
}

void CDialog::CenterIfUnplaced() {
  // A dialog that places itself (a centring or absolute-alignment style) or
  // that is already showing is left where it is.
  const DWORD style = GetStyle();
  if ((style & (DS_CENTER | DS_CENTERMOUSE | DS_ABSALIGN)) != 0) return;
  if (::IsWindowVisible(m_hWnd)) return;
  HWND hOwner = ::GetWindow(m_hWnd, GW_OWNER);
  if (hOwner != nullptr && ::IsWindowEnabled(hOwner)) return;
  CenterWindow();
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CDialog*>(lParam);
    self->AttachWindow(hWnd);
    const BOOL result = self->OnInitDialog();
    if (::IsWindow(hWnd)) self->CenterIfUnplaced();
    return result;
  }
  auto* self = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
  if (self == nullptr) return FALSE;
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrA(hWnd, DWLP_USER, 0);
    self->DetachWindow();
    return FALSE;
  }
  LRESULT result = 0;
  if (!self->OnWndMsg(message, wParam, lParam, &result)) return FALSE;
  if (ReturnsResultDirectly(message)) return static_cast<INT_PTR>(result);
  ::SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, result);
  return TRUE;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

BOOL CDialog::UpdateData(BOOL /*bSaveAndValidate*/) {
  CDataExchange dx(this);
  DoDataExchange(&dx);
  return TRUE;
}

void CDialog::DoDataExchange(CDataExchange* /*pDX*/) {}

void CDialog::OnOK() {
  if (!UpdateData(TRUE)) return;
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

LRESULT CDialog::OnHelpContext(WPARAM /*wParam*/, LPARAM /*lParam*/) {
  return static_cast<LRESULT>(HID_BASE_RESOURCE + m_nIDTemplate);
}

BOOL CDialog::OnCmdMsg(UINT nID, int nCode) {
  if (CWnd::OnCmdMsg(nID, nCode)) return TRUE;
  // A command nobody in the dialog handles goes to its owner, then to the
  // application object.
  if (nCode != 0 || nID < 0x8000 || nID > 0xEFFF) return FALSE;
  CWnd* pOwner = FromHandlePermanent(::GetWindow(m_hWnd, GW_OWNER));
  if (pOwner != nullptr && pOwner != this && pOwner->OnCmdMsg(nID, nCode)) return TRUE;
  CWinApp* pApp = AfxGetApp();
  return pApp != nullptr && pApp->OnCmdMsg(nID, nCode);
}

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, OnOK)
ON_COMMAND(IDCANCEL, OnCancel)
ON_MESSAGE(WM_AFX_HELPCONTEXT, OnHelpContext)
END_MESSAGE_MAP()
