// Shared by the fuzz targets: turning the input into UTF-16 texts, and a property check that
// stops the run with a message (libFuzzer then saves the input as a crash).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(cond)                                                                 \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      std::fprintf(stderr, "property failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace fuzz {

// Little-endian byte pairs as UTF-16 code units (lone surrogates and NUL included); an odd last
// byte is dropped.
inline std::u16string utf16_of(const std::uint8_t* data, std::size_t size) {
  std::u16string out;
  out.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    out.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return out;
}

// Folds the input onto a small alphabet so the interesting characters of a grammar turn up
// often: each byte picks one character of `alphabet`.
inline std::u16string pick_from(const std::uint8_t* data, std::size_t size,
                                std::u16string_view alphabet) {
  std::u16string out;
  out.reserve(size);
  for (std::size_t i = 0; i < size; ++i) out.push_back(alphabet[data[i] % alphabet.size()]);
  return out;
}

}  // namespace fuzz
