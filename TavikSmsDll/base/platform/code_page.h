// The seam's code page and locale: the system ANSI code page that every byte text at this seam
// ("ansi") is in, the user's decimal separator and the system's case table. Bindings:
// posix/code_page.cpp (the locale's code set), win32/code_page.cpp (CP_ACP).
#pragma once

#include <string>
#include <string_view>

namespace taviksms::platform {

class CodePage {
 public:
  virtual ~CodePage() = default;

  // Conversion to and from the system ANSI code page.
  virtual std::string to_ansi(std::u16string_view text) = 0;
  virtual std::u16string from_ansi(std::string_view bytes) = 0;

  // The decimal separator of the user's regional settings (Windows: the user locale; POSIX: the
  // environment's LC_NUMERIC).
  virtual std::u16string decimal_separator() = 0;

  // `text` in lower case by the system's locale-independent Unicode case table: letters of the
  // Basic Multilingual Plane with a simple lower-case mapping; surrogates, characters without a
  // mapping and the length stay as they are.
  virtual std::u16string lower_case(std::u16string_view text) = 0;
};

}  // namespace taviksms::platform
