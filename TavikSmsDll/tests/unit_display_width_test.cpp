// The shell's display width: what a terminal gives each character, so `.show` lines up.
#include <gtest/gtest.h>

#include "display_width.h"

namespace {

using taviksms::shell::char_width;
using taviksms::shell::text_width;

TEST(DisplayWidth, WideAndFullwidthCharactersAndEmojiTakeTwoColumns) {
  for (char32_t c : {U'한', U'漢', U'か', U'カ', U'Ａ', U'￦', U'。', U'😀', U'🚀', U'🤖', U'🥰',
                     U'⌚', U'⭐', U'\U00020000'}) {
    EXPECT_EQ(char_width(c), 2) << std::hex << static_cast<unsigned>(c);
  }
  // Halfwidth forms and the ends of the ranges stay narrow.
  for (char32_t c : {U'a', U'é', U'Ω', U'ｱ', U'→', U'☺', U'\u00A0', U'\u10FF', U'\uD7A4'}) {
    EXPECT_EQ(char_width(c), 1) << std::hex << static_cast<unsigned>(c);
  }
}

TEST(DisplayWidth, CombiningMarksAndZeroWidthCharactersTakeNone) {
  for (char32_t c : {U'\u0301', U'\u0308', U'\u20DD', U'\u200B', U'\u200D', U'\uFE0F', U'\uFEFF',
                     U'\U0001F3FB', U'\u1161', U'\u11A8', U'\u0E31', U'\u093C'}) {
    EXPECT_EQ(char_width(c), 0) << std::hex << static_cast<unsigned>(c);
  }
  EXPECT_EQ(char_width(U'\t'), 0);
  EXPECT_EQ(char_width(U'\u0085'), 0);
}

TEST(DisplayWidth, TextsSumTheirCharacters) {
  EXPECT_EQ(text_width(U""), 0);
  EXPECT_EQ(text_width(U"abc"), 3);
  EXPECT_EQ(text_width(U"홍길동"), 6);
  EXPECT_EQ(text_width(U"e\u0301"), 1);                     // é as e + combining acute
  EXPECT_EQ(text_width(U"\u1112\u1169\u11BC"), 2);          // 홍 as conjoining jamo
  EXPECT_EQ(text_width(U"👍\U0001F3FD"), 2);                 // with a skin tone
  EXPECT_EQ(text_width(U"\U0001F468\u200D\U0001F4BB"), 4);  // a ZWJ pair: two glyphs' worth
  EXPECT_EQ(text_width(U"안녕 😀!"), 4 + 1 + 2 + 1);
}

TEST(DisplayWidth, ControlCharactersAndBytesThatAreNoUtf8AreEscaped) {
  const struct {
    std::string_view in, out;
  } cases[] = {
      {"plain 한글 😀 e\u0301\ttab", "plain 한글 😀 e\u0301\ttab"},
      {"a\r\nb", "a\\r\\nb"},
      {"\x1b[2J\x07\x7f", "\\u001B[2J\\u0007\\u007F"},
      {std::string_view("\0x", 2), "\\u0000x"},
      {"\xc2\x9b\xc2\x85\xc2\xa0", "\\u009B\\u0085\xc2\xa0"},  // C1 controls; NBSP stays
      {"\x9b\xc0\x80\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82",
       "\\x9B\\xC0\\x80\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80\\xE2\\x82"},
      {"back\\slash", "back\\slash"},
  };
  for (const auto& c : cases) EXPECT_EQ(taviksms::shell::escape_controls(c.in), c.out) << c.in;
}

}  // namespace
