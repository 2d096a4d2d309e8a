// CString: a single-byte string in the system's ANSI code page, with
// printf-style formatting and loading from the string table.
#pragma once

#include <string>

#include "platform/win32.h"

class CString {
 public:
  CString() = default;
  CString(LPCSTR text) : m_text(text != nullptr ? text : "") {}  // NOLINT: implicit as usual

  bool IsEmpty() const { return m_text.empty(); }
  operator LPCSTR() const { return m_text.c_str(); }  // NOLINT: implicit as usual

  CString& operator=(LPCSTR text) {
    m_text = text != nullptr ? text : "";
    return *this;
  }

  void Format(LPCSTR format, ...) __attribute__((format(printf, 2, 3)));
  // Loads string resource `id` of the program; an absent string loads as
  // empty and gives FALSE.
  BOOL LoadString(UINT id);

 private:
  std::string m_text;
};
