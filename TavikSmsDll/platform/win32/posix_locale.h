// The few POSIX locale calls upload/picture_name.cpp lower-cases picture names with, on Windows:
// forced into that one file by com/CMakeLists.txt. Lower-casing goes through Windows' own Unicode
// case table (CharLowerBuffW), which needs no locale object.
#pragma once

#include <wctype.h>
#include <windows.h>

using locale_t = void*;
#ifndef LC_CTYPE_MASK
#define LC_CTYPE_MASK 1
#endif

inline locale_t newlocale(int, const char*, locale_t) {
  static int table = 0;  // any non-null value: the case table is always there
  return &table;
}

inline wint_t towlower_l(wint_t c, locale_t) {
  wchar_t w = static_cast<wchar_t>(c);
  CharLowerBuffW(&w, 1);
  return static_cast<wint_t>(w);
}
