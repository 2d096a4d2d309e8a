#include "framework/afxwin.h"

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
  static const AFX_MSGMAP_ENTRY noEntries[] = {{0, 0, 0, 0, nullptr}};
  static const AFX_MSGMAP messageMap = {nullptr, &noEntries[0]};
  return &messageMap;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

const AFX_MSGMAP_ENTRY* CCmdTarget::FindMessageEntry(UINT nMessage, UINT nCode, UINT nID) const {
  for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr;
       map = map->pfnGetBaseMap != nullptr ? map->pfnGetBaseMap() : nullptr) {
    for (const AFX_MSGMAP_ENTRY* entry = map->lpEntries; entry->pfn != nullptr; ++entry) {
      if (entry->nMessage != nMessage) continue;
      if (nMessage != WM_COMMAND) return entry;
      if (entry->nCode == nCode && entry->nID <= nID && nID <= entry->nLastID) return entry;
    }
  }
  return nullptr;
}

BOOL CCmdTarget::OnCmdMsg(UINT nID, int nCode) {
  const AFX_MSGMAP_ENTRY* entry = FindMessageEntry(WM_COMMAND, static_cast<UINT>(nCode), nID);
  if (entry == nullptr) return FALSE;
  entry->pfn(this, MAKEWPARAM(nID, nCode), 0);
  return TRUE;
}

void CCmdTarget::BeginWaitCursor() { AfxGetApp()->DoWaitCursor(1); }

void CCmdTarget::EndWaitCursor() { AfxGetApp()->DoWaitCursor(-1); }
