// The code page and locale on Windows: CP_ACP, the user locale's decimal separator, the
// invariant locale's case table.
#include <windows.h>

#include "platform/win32/win32_platform.h"

namespace taviksms::platform::win32 {

std::string Win32Platform::to_ansi(std::u16string_view text) {
  if (text.empty()) return {};
  auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  int len = static_cast<int>(text.size());
  int need = WideCharToMultiByte(CP_ACP, 0, wide, len, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(need > 0 ? need : 0), '\0');
  if (need > 0) WideCharToMultiByte(CP_ACP, 0, wide, len, out.data(), need, nullptr, nullptr);
  return out;
}

std::u16string Win32Platform::from_ansi(std::string_view bytes) {
  if (bytes.empty()) return {};
  int len = static_cast<int>(bytes.size());
  int need = MultiByteToWideChar(CP_ACP, 0, bytes.data(), len, nullptr, 0);
  std::u16string out(static_cast<std::size_t>(need > 0 ? need : 0), u'\0');
  if (need > 0) {
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), len, reinterpret_cast<wchar_t*>(out.data()), need);
  }
  return out;
}

std::u16string Win32Platform::lower_case(std::u16string_view text) {
  std::u16string out(text);
  if (out.empty()) return out;
  auto* wide = reinterpret_cast<wchar_t*>(out.data());
  int len = static_cast<int>(out.size());
  // The invariant locale's table, so the user's language (Turkish dotted I) changes nothing.
  // Lower-casing maps character by character: the length is kept.
  std::u16string mapped(out.size(), u'\0');
  int got = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, wide, len,
                          reinterpret_cast<wchar_t*>(mapped.data()), len, nullptr, nullptr, 0);
  if (got == len) return mapped;
  CharLowerBuffW(wide, static_cast<DWORD>(len));
  return out;
}

std::u16string Win32Platform::decimal_separator() {
  wchar_t buf[8] = {};
  int n = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, buf, 8);
  if (n <= 1) return u".";
  return std::u16string(reinterpret_cast<const char16_t*>(buf), static_cast<std::size_t>(n - 1));
}

}  // namespace taviksms::platform::win32
