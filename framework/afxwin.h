// A small class framework over the Win32 API: command targets with static
// message maps, window and dialog wrappers, control wrappers bound by data
// exchange, worker threads and the application object with the program entry.
#pragma once

#include "framework/afxstr.h"
#include "platform/win32.h"

class CCmdTarget;
class CWnd;
class CDialog;
class CWinApp;

// ---- message maps -------------------------------------------------------------
// An entry matches a message; WM_COMMAND entries also match a notification
// code and a range of control or command identifiers. The handler thunk
// unpacks the parameters for the typed member function it calls.
using AFX_PMSG = LRESULT (*)(CCmdTarget* target, WPARAM wParam, LPARAM lParam);

struct AFX_MSGMAP_ENTRY {
  UINT nMessage;
  UINT nCode;
  UINT nID;
  UINT nLastID;
  AFX_PMSG pfn;
};

struct AFX_MSGMAP {
  const AFX_MSGMAP* (*pfnGetBaseMap)();
  const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                   \
 protected:                                     \
  static const AFX_MSGMAP* GetThisMessageMap(); \
  const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                      \
  const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
  const AFX_MSGMAP* theClass::GetThisMessageMap() {                                 \
    using ThisClass [[maybe_unused]] = theClass;                                    \
    using TheBaseClass = baseClass;                                                 \
    static const AFX_MSGMAP_ENTRY messageEntries[] = {
#define END_MESSAGE_MAP()                                                                      \
  { 0, 0, 0, 0, nullptr }                                                                      \
  }                                                                                            \
  ;                                                                                            \
  static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &messageEntries[0]}; \
  return &messageMap;                                                                          \
  }

#define AFX_THUNK(body)                                             \
  [](CCmdTarget* target, WPARAM wParam, LPARAM lParam) -> LRESULT { \
    auto* self = static_cast<ThisClass*>(target);                   \
    (void)self;                                                     \
    (void)wParam;                                                   \
    (void)lParam;                                                   \
    body                                                            \
  }

#define ON_COMMAND(id, memberFxn)                                \
  {                                                              \
    WM_COMMAND, 0, static_cast<UINT>(id), static_cast<UINT>(id), \
        AFX_THUNK(self->memberFxn(); return 0;)                  \
  }                                                              \
  ,
#define ON_CONTROL(code, id, memberFxn)                                                \
  {                                                                                    \
    WM_COMMAND, static_cast<UINT>(code), static_cast<UINT>(id), static_cast<UINT>(id), \
        AFX_THUNK(self->memberFxn(); return 0;)                                        \
  }                                                                                    \
  ,
#define ON_BN_CLICKED(id, memberFxn) ON_CONTROL(BN_CLICKED, id, memberFxn)
#define ON_EN_CHANGE(id, memberFxn) ON_CONTROL(EN_CHANGE, id, memberFxn)
#define ON_WM_SYSCOMMAND()                                                          \
  {                                                                                 \
    WM_SYSCOMMAND, 0, 0, 0,                                                         \
        AFX_THUNK(self->OnSysCommand(static_cast<UINT>(wParam), lParam); return 0;) \
  }                                                                                 \
  ,
#define ON_WM_PAINT()                                          \
  { WM_PAINT, 0, 0, 0, AFX_THUNK(self->OnPaint(); return 0;) } \
  ,
#define ON_WM_QUERYDRAGICON()                                                 \
  {                                                                           \
    WM_QUERYDRAGICON, 0, 0, 0,                                                \
        AFX_THUNK(return reinterpret_cast<LRESULT>(self->OnQueryDragIcon());) \
  }                                                                           \
  ,
#define ON_WM_CLOSE()                                          \
  { WM_CLOSE, 0, 0, 0, AFX_THUNK(self->OnClose(); return 0;) } \
  ,
#define ON_WM_DESTROY()                                            \
  { WM_DESTROY, 0, 0, 0, AFX_THUNK(self->OnDestroy(); return 0;) } \
  ,
#define ON_WM_HELPINFO()                                                                         \
  { WM_HELP, 0, 0, 0, AFX_THUNK(return self->OnHelpInfo(reinterpret_cast<HELPINFO*>(lParam));) } \
  ,
#define ON_MESSAGE(message, memberFxn)                                     \
  { message, 0, 0, 0, AFX_THUNK(return self->memberFxn(wParam, lParam);) } \
  ,

// The command of the F1 key, routed to the application object.
#define ID_HELP 0xE146
// Asks a window for its help context; a dialog answers 0x20000 + its
// template id, other windows 0.
#define WM_AFX_HELPCONTEXT (WM_APP + 0x0365)
#define HID_BASE_RESOURCE 0x00020000u

// ---- root classes -----------------------------------------------------------------
class CObject {
 public:
  virtual ~CObject() = default;

 protected:
  CObject() = default;
};

class CCmdTarget : public CObject {
 public:
  // Looks a command up in this object's maps and calls its handler.
  virtual BOOL OnCmdMsg(UINT nID, int nCode);

  void BeginWaitCursor();
  void EndWaitCursor();

 protected:
  static const AFX_MSGMAP* GetThisMessageMap();
  virtual const AFX_MSGMAP* GetMessageMap() const;
  const AFX_MSGMAP_ENTRY* FindMessageEntry(UINT nMessage, UINT nCode, UINT nID) const;
};

// ---- windows ---------------------------------------------------------------------
class CMenu {
 public:
  HMENU m_hMenu = nullptr;
  BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, LPCSTR lpszNewItem = nullptr) {
    return ::AppendMenuA(m_hMenu, nFlags, nIDNewItem, lpszNewItem);
  }
};

class CRect : public RECT {
 public:
  CRect() : RECT{0, 0, 0, 0} {}
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
};

class CWnd : public CCmdTarget {
 public:
  CWnd() = default;
  ~CWnd() override;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  HWND m_hWnd = nullptr;

  // The CWnd of a dialog that this framework created, or null.
  static CWnd* FromHandlePermanent(HWND hWnd);
  // Forgets the windows of a process that has ended without destroying them.
  // Only the host harness needs this: it runs many simulated processes in one.
  static void ForgetPermanentWindows();

  void SetWindowText(LPCSTR text) { ::SetWindowTextA(m_hWnd, text); }
  BOOL EnableWindow(BOOL bEnable = TRUE) { return ::EnableWindow(m_hWnd, bEnable); }
  BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
  void GetClientRect(LPRECT rect) const { ::GetClientRect(m_hWnd, rect); }
  DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongPtrA(m_hWnd, GWL_STYLE)); }
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
  }
  HICON SetIcon(HICON hIcon, BOOL bBigIcon) {
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon)));
  }
  // A temporary wrapper of the child with this id, valid until the calling
  // thread asks for the next one; null when there is no such child.
  CWnd* GetDlgItem(int nID) const;
  // A temporary wrapper of the window's system menu, or null when it has none.
  CMenu* GetSystemMenu(BOOL bRevert) const;
  void CenterWindow();

  // Dispatches a message through the maps; FALSE when no entry took it, so
  // that the default processing runs.
  virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);

 protected:
  // Asks for the default processing of the message being handled, once the
  // handler returns (the dialog manager's default for a dialog).
  LRESULT Default();

  virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);

  void OnSysCommand(UINT nID, LPARAM lParam);
  void OnPaint();
  void OnClose();
  void OnDestroy();
  BOOL OnHelpInfo(HELPINFO* pHelpInfo);
  LRESULT OnHelpContext(WPARAM wParam, LPARAM lParam);

  DECLARE_MESSAGE_MAP()

 private:
  struct CurrentMessage {
    bool callDefault = false;
  };
  CurrentMessage* m_pCurrentMessage = nullptr;
};

// A paint context for the duration of a WM_PAINT handler.
class CPaintDC {
 public:
  explicit CPaintDC(CWnd* pWnd) : m_hWnd(pWnd->m_hWnd), m_hDC(::BeginPaint(m_hWnd, &m_ps)) {}
  ~CPaintDC() { ::EndPaint(m_hWnd, &m_ps); }
  CPaintDC(const CPaintDC&) = delete;
  CPaintDC& operator=(const CPaintDC&) = delete;
  HDC GetSafeHdc() const { return m_hDC; }
  BOOL DrawIcon(int x, int y, HICON hIcon) { return ::DrawIcon(m_hDC, x, y, hIcon); }

 private:
  HWND m_hWnd;
  PAINTSTRUCT m_ps{};
  HDC m_hDC;
};

// ---- data exchange and controls --------------------------------------------------
// The exchange only binds controls, the same in both directions, so it
// carries no direction.
class CDataExchange {
 public:
  explicit CDataExchange(CDialog* pDlgWnd) : m_pDlgWnd(pDlgWnd) {}
  CDialog* m_pDlgWnd;
};

// Binds `control` to the dialog's item `nIDC`; a bound member keeps its binding.
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& control);

class CEdit : public CWnd {};

class CProgressCtrl : public CWnd {
 public:
  void SetRange(short nLower, short nUpper) {
    SendMessage(PBM_SETRANGE, 0, MAKELPARAM(nLower, nUpper));
  }
  int SetStep(int nStep) {
    return static_cast<int>(SendMessage(PBM_SETSTEP, static_cast<WPARAM>(nStep), 0));
  }
  int SetPos(int nPos) {
    return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(nPos), 0));
  }
  int StepIt() { return static_cast<int>(SendMessage(PBM_STEPIT, 0, 0)); }
};

// ---- dialogs -------------------------------------------------------------------------
class CDialog : public CWnd {
 public:
  explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
  ~CDialog() override;

  // Runs the dialog modally: 1 (OK), 2 (Cancel), or -1 when it cannot be made.
  virtual INT_PTR DoModal();
  virtual BOOL OnInitDialog();
  BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
  void EndDialog(int nResult) { ::EndDialog(m_hWnd, nResult); }

  BOOL OnCmdMsg(UINT nID, int nCode) override;

  // Called by DDX_Control: the dialog unbinds its members when its window goes.
  void RegisterBoundControl(CWnd* pControl);

 protected:
  virtual void DoDataExchange(CDataExchange* pDX);
  virtual void OnOK();
  virtual void OnCancel();
  LRESULT OnHelpContext(WPARAM wParam, LPARAM lParam);

  DECLARE_MESSAGE_MAP()

 private:
  static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
  void AttachWindow(HWND hWnd);
  void DetachWindow();
  HWND FindOwner() const;
  void CenterIfUnplaced();

  UINT m_nIDTemplate;
  CWnd* m_pParentWnd;
  static constexpr int kMaxBoundControls = 8;
  CWnd* m_boundControls[kMaxBoundControls] = {};
  int m_nBoundControls = 0;
};

// ---- threads and the application ------------------------------------------------------
using AFX_THREADPROC = UINT (*)(LPVOID);

class CWinThread : public CCmdTarget {
 public:
  CWinThread() = default;
  CWinThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam)
      : m_pfnThreadProc(pfnThreadProc), m_pThreadParams(pParam) {}
  ~CWinThread() override;

  // Creates the thread suspended, whatever the flags; the caller resumes it.
  BOOL CreateThread(DWORD dwCreateFlags, UINT nStackSize, LPSECURITY_ATTRIBUTES lpSecurityAttrs);
  BOOL SetThreadPriority(int nPriority) { return ::SetThreadPriority(m_hThread, nPriority); }
  DWORD ResumeThread() { return ::ResumeThread(m_hThread); }

  virtual BOOL InitInstance() { return FALSE; }
  virtual int ExitInstance() { return 0; }

  CWnd* m_pMainWnd = nullptr;
  HANDLE m_hThread = nullptr;
  DWORD m_nThreadID = 0;
  BOOL m_bAutoDelete = TRUE;

  // Every thread starts in ThreadEntry, which runs the procedure with its
  // parameter: what a thread is for, as its thread object says.
  static DWORD WINAPI ThreadEntry(LPVOID pParam);
  AFX_THREADPROC m_pfnThreadProc = nullptr;
  LPVOID m_pThreadParams = nullptr;
};

// Starts a worker thread running pfnThreadProc(pParam). The thread object
// deletes itself when the procedure returns. Null when the thread cannot be
// created.
CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam,
                           int nPriority = THREAD_PRIORITY_NORMAL, UINT nStackSize = 0,
                           DWORD dwCreateFlags = 0,
                           LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);

class CWinApp : public CWinThread {
 public:
  explicit CWinApp(LPCSTR lpszAppName = nullptr);
  ~CWinApp() override;

  // Program start: module, title and help file path.
  BOOL InitFramework(HINSTANCE hInstance);
  BOOL InitInstance() override { return TRUE; }
  int ExitInstance() override { return 0; }

  void DoWaitCursor(int nCode);
  void WinHelp(DWORD_PTR dwData, UINT nCmd = HELP_CONTEXT);

  HINSTANCE m_hInstance = nullptr;
  LPCSTR m_pszAppName = nullptr;  // the title: given, or the executable's name
  LPCSTR m_pszHelpFilePath = nullptr;

 protected:
  void OnHelp();
  DECLARE_MESSAGE_MAP()

 private:
  CString m_strGivenName;
  CString m_strAppName;
  CString m_strExeName;
  CString m_strHelpFilePath;
  int m_nWaitCursorCount = 0;
  HCURSOR m_hcurWaitCursorRestore = nullptr;
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
void AfxEnableControlContainer(void* pManager = nullptr);
int AfxMessageBox(LPCSTR lpszText, UINT nType = MB_OK);
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
