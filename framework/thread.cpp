#include "framework/afxwin.h"

CWinThread::~CWinThread() {
  if (m_hThread != nullptr) ::CloseHandle(m_hThread);
}

BOOL CWinThread::CreateThread(DWORD dwCreateFlags, UINT nStackSize,
                              LPSECURITY_ATTRIBUTES lpSecurityAttrs) {
  m_hThread = ::CreateThread(lpSecurityAttrs, nStackSize, &CWinThread::ThreadEntry, this,
                             dwCreateFlags | CREATE_SUSPENDED, &m_nThreadID);
  return m_hThread != nullptr ? TRUE : FALSE;
}

DWORD WINAPI CWinThread::ThreadEntry(LPVOID pParam) {
  auto* pThread = static_cast<CWinThread*>(pParam);
  const UINT exitCode = pThread->m_pfnThreadProc(pThread->m_pThreadParams);
  if (pThread->m_bAutoDelete) delete pThread;
  return exitCode;
}

CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int nPriority,
                           UINT nStackSize, DWORD dwCreateFlags,
                           LPSECURITY_ATTRIBUTES lpSecurityAttrs) {
  auto* pThread = new CWinThread(pfnThreadProc, pParam);
  // Created suspended so that the priority is in place before it runs.
  if (!pThread->CreateThread(dwCreateFlags, nStackSize, lpSecurityAttrs)) {
    delete pThread;
    return nullptr;
  }
  pThread->SetThreadPriority(nPriority);
  if ((dwCreateFlags & CREATE_SUSPENDED) == 0) pThread->ResumeThread();
  return pThread;
}
