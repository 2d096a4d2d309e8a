// The Win32 names, types and constant values that the program uses, declared
// by the simulated Windows. Values are the documented ones so that the
// product code behaves the same on both builds; layouts follow the 64-bit
// platform (the host is 64-bit).
#pragma once

#include <cstddef>
#include <cstdint>

// ---- basic types -----------------------------------------------------------
using BYTE = std::uint8_t;
using BOOLEAN = std::uint8_t;
using CHAR = char;
using UCHAR = unsigned char;
using WCHAR = char16_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using INT = int;
using UINT = unsigned int;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using BOOL = int;
using INT_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using ATOM = WORD;
using COLORREF = DWORD;

using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPDWORD = DWORD*;
using PDWORD = DWORD*;
using PULONG = ULONG*;
using LPBYTE = BYTE*;
using PBYTE = BYTE*;
using LPBOOL = BOOL*;

using HANDLE = void*;
using PHANDLE = HANDLE*;

// Distinct handle types, as the SDK's strict mode gives them.
#define SIMWIN_DECLARE_HANDLE(name) \
  struct name##__ {                 \
    int unused;                     \
  };                                \
  using name = name##__*
SIMWIN_DECLARE_HANDLE(HWND);
SIMWIN_DECLARE_HANDLE(HINSTANCE);
SIMWIN_DECLARE_HANDLE(HICON);
SIMWIN_DECLARE_HANDLE(HMENU);
SIMWIN_DECLARE_HANDLE(HDC);
SIMWIN_DECLARE_HANDLE(HBRUSH);
SIMWIN_DECLARE_HANDLE(HFONT);
SIMWIN_DECLARE_HANDLE(HRSRC);
SIMWIN_DECLARE_HANDLE(HBITMAP);
SIMWIN_DECLARE_HANDLE(HMONITOR);
#undef SIMWIN_DECLARE_HANDLE
using HMODULE = HINSTANCE;
using HCURSOR = HICON;
using HGLOBAL = HANDLE;
using HDEVINFO = PVOID;

#define WINAPI
#define CALLBACK
#define APIENTRY
#define CONST const
#define VOID void

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
#define INFINITE 0xFFFFFFFFu

// ---- helpers ---------------------------------------------------------------
#define LOWORD(l) (static_cast<WORD>(static_cast<DWORD_PTR>(l) & 0xFFFF))
#define HIWORD(l) (static_cast<WORD>((static_cast<DWORD_PTR>(l) >> 16) & 0xFFFF))
#define LOBYTE(w) (static_cast<BYTE>(static_cast<DWORD_PTR>(w) & 0xFF))
#define HIBYTE(w) (static_cast<BYTE>((static_cast<DWORD_PTR>(w) >> 8) & 0xFF))
#define MAKELONG(a, b) \
  (static_cast<LONG>(static_cast<WORD>(a) | (static_cast<DWORD>(static_cast<WORD>(b)) << 16)))
#define MAKEWPARAM(l, h) (static_cast<WPARAM>(static_cast<DWORD>(MAKELONG(l, h))))
#define MAKELPARAM(l, h) (static_cast<LPARAM>(static_cast<DWORD>(MAKELONG(l, h))))
#define MAKELRESULT(l, h) (static_cast<LRESULT>(static_cast<DWORD>(MAKELONG(l, h))))
#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEA
#define IS_INTRESOURCE(r) ((reinterpret_cast<ULONG_PTR>(r) >> 16) == 0)

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using LPGUID = GUID*;
using LPCGUID = const GUID*;

struct POINT {
  LONG x;
  LONG y;
};
struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
using LPRECT = RECT*;
using LPPOINT = POINT*;

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
using LPMSG = MSG*;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

// ---- kernel ------------------------------------------------------------------
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_NOT_FOUND 1168u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_INVALID_USER_BUFFER 1784u
#define ERROR_INVALID_WINDOW_HANDLE 1400u
#define ERROR_INVALID_THREAD_ID 1444u
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814u

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define WAIT_OBJECT_0 0u
#define WAIT_ABANDONED 0x80u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu

#define CREATE_SUSPENDED 0x00000004u
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_TERMINATE 0x0001u
#define SYNCHRONIZE 0x00100000u
#define STILL_ACTIVE 259u
#define MAX_PATH 260

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);

// A critical section is an opaque block here; the sim keeps its state aside.
struct CRITICAL_SECTION {
  void* impl;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

DWORD GetLastError();
void SetLastError(DWORD error);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);
DWORD GetTickCount();
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
HMODULE GetModuleHandleA(LPCSTR moduleName);
LPSTR GetCommandLineA();
// Ends the process: every thread stops where it is, nothing unwinds.
[[noreturn]] void ExitProcess(UINT exitCode);

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, LPDWORD threadId);
DWORD ResumeThread(HANDLE thread);
BOOL SetThreadPriority(HANDLE thread, int priority);
DWORD GetCurrentThreadId();
HANDLE OpenThread(DWORD access, BOOL inherit, DWORD threadId);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
BOOL CancelSynchronousIo(HANDLE thread);

void InitializeCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);

HANDLE CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creation, DWORD flags, HANDLE templateFile);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped);

// ---- setup API and HID -------------------------------------------------------
#define DIGCF_DEFAULT 0x00000001u
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_PROFILE 0x00000008u
#define DIGCF_DEVICEINTERFACE 0x00000010u

struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA*;

struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
};
using PSP_DEVICE_INTERFACE_DATA = SP_DEVICE_INTERFACE_DATA*;

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
  DWORD cbSize;
  CHAR DevicePath[1];
};
using PSP_DEVICE_INTERFACE_DETAIL_DATA_A = SP_DEVICE_INTERFACE_DETAIL_DATA_A*;

struct HIDD_ATTRIBUTES {
  ULONG Size;
  USHORT VendorID;
  USHORT ProductID;
  USHORT VersionNumber;
};
using PHIDD_ATTRIBUTES = HIDD_ATTRIBUTES*;

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceClass,
                                 DWORD index, PSP_DEVICE_INTERFACE_DATA interfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA device);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
void HidD_GetHidGuid(LPGUID hidGuid);
BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes);

// ---- user32 -----------------------------------------------------------------
#define WM_NULL 0x0000u
#define WM_CREATE 0x0001u
#define WM_DESTROY 0x0002u
#define WM_MOVE 0x0003u
#define WM_SIZE 0x0005u
#define WM_ACTIVATE 0x0006u
#define WM_SETFOCUS 0x0007u
#define WM_KILLFOCUS 0x0008u
#define WM_ENABLE 0x000Au
#define WM_SETTEXT 0x000Cu
#define WM_GETTEXT 0x000Du
#define WM_GETTEXTLENGTH 0x000Eu
#define WM_PAINT 0x000Fu
#define WM_CLOSE 0x0010u
#define WM_QUIT 0x0012u
#define WM_ERASEBKGND 0x0014u
#define WM_SHOWWINDOW 0x0018u
#define WM_SETCURSOR 0x0020u
#define WM_ICONERASEBKGND 0x0027u
#define WM_SETFONT 0x0030u
#define WM_QUERYDRAGICON 0x0037u
#define WM_HELP 0x0053u
#define WM_SETICON 0x0080u
#define WM_NCDESTROY 0x0082u
#define WM_GETDLGCODE 0x0087u
#define WM_KEYDOWN 0x0100u
#define WM_KEYUP 0x0101u
#define WM_CHAR 0x0102u
#define WM_SYSKEYDOWN 0x0104u
#define WM_SYSKEYUP 0x0105u
#define WM_SYSCHAR 0x0106u
#define WM_INITDIALOG 0x0110u
#define WM_COMMAND 0x0111u
#define WM_SYSCOMMAND 0x0112u
#define WM_LBUTTONDOWN 0x0201u
#define WM_LBUTTONUP 0x0202u
#define WM_USER 0x0400u
#define WM_APP 0x8000u
// Posted by the system when a WM_KEYDOWN for F1 leaves the queue.
#define WM_KEYF1 0x004Du

#define ICON_SMALL 0
#define ICON_BIG 1

#define SC_SIZE 0xF000u
#define SC_MOVE 0xF010u
#define SC_MINIMIZE 0xF020u
#define SC_MAXIMIZE 0xF030u
#define SC_CLOSE 0xF060u
#define SC_KEYMENU 0xF100u
#define SC_RESTORE 0xF120u

#define IDOK 1
#define IDCANCEL 2

#define BN_CLICKED 0
#define EN_CHANGE 0x0300
#define EN_UPDATE 0x0400

#define DWLP_MSGRESULT 0
#define DWLP_DLGPROC 8
#define DWLP_USER 16
#define GWLP_USERDATA (-21)
#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWLP_ID (-12)

#define DLGC_WANTARROWS 0x0001u
#define DLGC_WANTTAB 0x0002u
#define DLGC_WANTALLKEYS 0x0004u
#define DLGC_WANTMESSAGE 0x0004u
#define DLGC_HASSETSEL 0x0008u
#define DLGC_DEFPUSHBUTTON 0x0010u
#define DLGC_UNDEFPUSHBUTTON 0x0020u
#define DLGC_WANTCHARS 0x0080u
#define DLGC_BUTTON 0x2000u

#define DM_GETDEFID (WM_USER + 0)

#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u
#define PM_NOYIELD 0x0002u
#define QS_KEY 0x0001u
#define QS_MOUSEMOVE 0x0002u
#define QS_MOUSEBUTTON 0x0004u
#define QS_POSTMESSAGE 0x0008u
#define QS_TIMER 0x0010u
#define QS_PAINT 0x0020u
#define QS_SENDMESSAGE 0x0040u
#define QS_HOTKEY 0x0080u
#define QS_ALLPOSTMESSAGE 0x0100u
#define QS_INPUT 0x0407u
#define QS_ALLINPUT 0x04FFu
#define PM_QS_SENDMESSAGE (QS_SENDMESSAGE << 16)
#define PM_QS_POSTMESSAGE ((QS_POSTMESSAGE | QS_HOTKEY | QS_TIMER) << 16)
#define PM_QS_INPUT (QS_INPUT << 16)
#define MWMO_WAITALL 0x0001u
#define MWMO_ALERTABLE 0x0002u
#define MWMO_INPUTAVAILABLE 0x0004u

#define GW_OWNER 4

#define MF_STRING 0x0000u
#define MF_SEPARATOR 0x0800u
#define MF_BYCOMMAND 0x0000u
#define MF_BYPOSITION 0x0400u

#define MB_OK 0x00000000u
#define MB_ICONHAND 0x00000010u
#define MB_ICONQUESTION 0x00000020u
#define MB_ICONEXCLAMATION 0x00000030u
#define MB_ICONASTERISK 0x00000040u

#define VK_BACK 0x08
#define VK_TAB 0x09
#define VK_RETURN 0x0D
#define VK_SHIFT 0x10
#define VK_CONTROL 0x11
#define VK_MENU 0x12
#define VK_ESCAPE 0x1B
#define VK_SPACE 0x20
#define VK_F1 0x70
#define VK_F4 0x73
#define VK_LSHIFT 0xA0
#define VK_RSHIFT 0xA1
#define VK_LCONTROL 0xA2
#define VK_RCONTROL 0xA3
#define VK_LMENU 0xA4
#define VK_RMENU 0xA5

#define SM_CXICON 11
#define SM_CYICON 12
#define SM_CXSMICON 49
#define SM_CYSMICON 50

#define HELP_CONTEXT 0x0001u
#define HELP_QUIT 0x0002u
#define HELP_FINDER 0x000Bu

#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define IDC_WAIT MAKEINTRESOURCEA(32514)

#define WS_OVERLAPPED 0x00000000u
#define WS_POPUP 0x80000000u
#define WS_CHILD 0x40000000u
#define WS_MINIMIZE 0x20000000u
#define WS_VISIBLE 0x10000000u
#define WS_DISABLED 0x08000000u
#define WS_CLIPSIBLINGS 0x04000000u
#define WS_CLIPCHILDREN 0x02000000u
#define WS_CAPTION 0x00C00000u
#define WS_BORDER 0x00800000u
#define WS_DLGFRAME 0x00400000u
#define WS_VSCROLL 0x00200000u
#define WS_HSCROLL 0x00100000u
#define WS_SYSMENU 0x00080000u
#define WS_THICKFRAME 0x00040000u
#define WS_GROUP 0x00020000u
#define WS_TABSTOP 0x00010000u
#define WS_MINIMIZEBOX 0x00020000u
#define WS_MAXIMIZEBOX 0x00010000u
#define WS_EX_APPWINDOW 0x00040000u
#define DS_SETFONT 0x40u
#define DS_MODALFRAME 0x80u
#define DS_ABSALIGN 0x01u
#define DS_CENTER 0x0800u
#define DS_CENTERMOUSE 0x1000u
#define BS_PUSHBUTTON 0x0u
#define BS_DEFPUSHBUTTON 0x1u
#define BS_GROUPBOX 0x7u
#define ES_LEFT 0x0u
#define ES_CENTER 0x1u
#define ES_AUTOHSCROLL 0x80u
#define ES_READONLY 0x800u
#define SS_LEFT 0x0u
#define SS_ICON 0x3u
#define SS_BITMAP 0xEu

#define SWP_NOSIZE 0x0001u
#define SWP_NOMOVE 0x0002u
#define SWP_NOZORDER 0x0004u
#define SWP_NOACTIVATE 0x0010u
#define SPI_GETWORKAREA 0x0030u

#define MONITOR_DEFAULTTONULL 0x00000000u
#define MONITOR_DEFAULTTOPRIMARY 0x00000001u
#define MONITOR_DEFAULTTONEAREST 0x00000002u
#define MONITORINFOF_PRIMARY 0x00000001u
struct MONITORINFO {
  DWORD cbSize;
  RECT rcMonitor;
  RECT rcWork;
  DWORD dwFlags;
};
using LPMONITORINFO = MONITORINFO*;

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5
#define SW_MINIMIZE 6
#define SW_RESTORE 9

struct PAINTSTRUCT {
  HDC hdc;
  BOOL fErase;
  RECT rcPaint;
  BOOL fRestore;
  BOOL fIncUpdate;
  BYTE rgbReserved[32];
};
using LPPAINTSTRUCT = PAINTSTRUCT*;

struct HELPINFO {
  UINT cbSize;
  int iContextType;
  int iCtrlId;
  HANDLE hItemHandle;
  DWORD_PTR dwContextId;
  POINT MousePos;
};
using LPHELPINFO = HELPINFO*;
#define HELPINFO_WINDOW 0x0001

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using DLGPROC = INT_PTR (*)(HWND, UINT, WPARAM, LPARAM);

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC dialogProc,
                        LPARAM initParam);
BOOL EndDialog(HWND dialog, INT_PTR result);
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HWND GetDlgItem(HWND dialog, int id);
int GetDlgCtrlID(HWND window);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostThreadMessageA(DWORD thread, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
BOOL GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);
BOOL PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);
BOOL IsDialogMessageA(HWND dialog, LPMSG msg);
DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds,
                                  DWORD wakeMask, DWORD flags);
BOOL SetWindowTextA(HWND window, LPCSTR text);
int GetWindowTextA(HWND window, LPSTR text, int maxCount);
int GetWindowTextLengthA(HWND window);
BOOL EnableWindow(HWND window, BOOL enable);
BOOL IsWindowEnabled(HWND window);
BOOL IsWindow(HWND window);
BOOL DestroyWindow(HWND window);
BOOL ShowWindow(HWND window, int command);
BOOL IsWindowVisible(HWND window);
BOOL GetWindowRect(HWND window, LPRECT rect);
BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);
BOOL SystemParametersInfoA(UINT action, UINT param, PVOID data, UINT winIni);
HMONITOR MonitorFromWindow(HWND window, DWORD flags);
BOOL GetMonitorInfoA(HMONITOR monitor, LPMONITORINFO info);
HWND GetParent(HWND window);
HWND GetWindow(HWND window, UINT command);
HWND GetLastActivePopup(HWND window);
HWND GetActiveWindow();
HWND GetFocus();
HWND SetFocus(HWND window);
HWND GetCapture();
LONG_PTR GetWindowLongPtrA(HWND window, int index);
LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value);
HMENU GetSystemMenu(HWND window, BOOL revert);
BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR idNewItem, LPCSTR newItem);
HICON LoadIconW(HINSTANCE instance, LPCWSTR name);
int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax);
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name);
HCURSOR SetCursor(HCURSOR cursor);
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
SHORT GetKeyState(int virtualKey);
BOOL IsIconic(HWND window);
HDC BeginPaint(HWND window, LPPAINTSTRUCT paint);
BOOL EndPaint(HWND window, const PAINTSTRUCT* paint);
int GetSystemMetrics(int index);
BOOL GetClientRect(HWND window, LPRECT rect);
BOOL DrawIcon(HDC dc, int x, int y, HICON icon);
BOOL WinHelpA(HWND window, LPCSTR helpFile, UINT command, ULONG_PTR data);

// ---- comctl32 -----------------------------------------------------------------
#define PROGRESS_CLASSA "msctls_progress32"
#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_DELTAPOS (WM_USER + 3)
#define PBM_SETSTEP (WM_USER + 4)
#define PBM_STEPIT (WM_USER + 5)
#define PBM_SETRANGE32 (WM_USER + 6)
#define PBM_GETRANGE (WM_USER + 7)
#define PBM_GETPOS (WM_USER + 8)
#define PBS_SMOOTH 0x01u

#define ICC_PROGRESS_CLASS 0x00000020u
#define ICC_STANDARD_CLASSES 0x00004000u
#define ICC_WIN95_CLASSES 0x000000FFu
struct INITCOMMONCONTROLSEX {
  DWORD dwSize;
  DWORD dwICC;
};
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init);

// ---- process entry -------------------------------------------------------------
// The simulated process starts the program at this entry, as the C run-time
// does on Windows.
int WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);
