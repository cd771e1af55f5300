// Texts of the Windows shell from the system: a NUL-terminated wide string as UTF-16, and the
// system's message for an error code.
#pragma once

#include <windows.h>

#include <cwchar>
#include <string>

namespace taviksms::shell::win32 {

inline std::u16string from_wide(const wchar_t* s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s), std::wcslen(s));
}

// FormatMessage's text for `code` without its line end; empty when the system has none.
inline std::u16string system_message(DWORD code) {
  wchar_t buf[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, buf, 512, nullptr);
  while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n')) --n;
  return std::u16string(reinterpret_cast<const char16_t*>(buf), n);
}

}  // namespace taviksms::shell::win32
