#include "framework/afxstr.h"

#include <cstdarg>
#include <cstdio>

#include "framework/afxwin.h"

void CString::Format(LPCSTR format, ...) {
  va_list args;
  va_start(args, format);
  va_list probe;
  va_copy(probe, args);
  const int length = std::vsnprintf(nullptr, 0, format, probe);
  va_end(probe);
  if (length < 0) {
    m_text.clear();
  } else {
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(length));
    m_text = std::move(text);
  }
  va_end(args);
}

BOOL CString::LoadString(UINT id) {
  // LoadStringA truncates silently, so grow the buffer until the text fits.
  for (int size = 256; size <= 65536; size *= 4) {
    std::string buffer(static_cast<std::size_t>(size), '\0');
    const int copied = ::LoadStringA(AfxGetResourceHandle(), id, buffer.data(), size);
    if (copied <= 0) {
      m_text.clear();
      return FALSE;
    }
    if (copied < size - 1) {
      buffer.resize(static_cast<std::size_t>(copied));
      m_text = std::move(buffer);
      return TRUE;
    }
  }
  m_text.clear();
  return FALSE;
}
