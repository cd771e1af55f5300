// The taviksms shell's line syntax: every UTF-16 string must be expressible.
#include <gtest/gtest.h>

#include "command_line.h"

namespace taviksms::shell {
namespace {

TEST(ShellSyntax, WordsQuotesAndEscapes) {
  auto p = parse_line("  Login demo   \"pass word\"  ");
  ASSERT_TRUE(p.error.empty());
  ASSERT_EQ(p.words.size(), 3u);
  EXPECT_EQ(p.words[0], u"Login");
  EXPECT_EQ(p.words[2], u"pass word");

  p = parse_line(R"(Login "a\nb\tc\r\"q\"\\" "")");
  ASSERT_TRUE(p.error.empty()) << p.error;
  ASSERT_EQ(p.words.size(), 3u);
  EXPECT_EQ(p.words[1], u"a\nb\tc\r\"q\"\\");
  EXPECT_EQ(p.words[2], u"");

  // \0 and \uXXXX give any code unit, lone surrogates included; UTF-8 text becomes UTF-16.
  p = parse_line(R"(x "a\0b" "\uD800\udc00\uDC00" 한국어 "한\u0041")");
  ASSERT_TRUE(p.error.empty()) << p.error;
  ASSERT_EQ(p.words.size(), 5u);
  EXPECT_EQ(p.words[1], std::u16string(u"a\0b", 3));
  EXPECT_EQ(p.words[2], (std::u16string{0xD800, 0xDC00, 0xDC00}));
  EXPECT_EQ(p.words[3], u"한국어");
  EXPECT_EQ(p.words[4], u"한A");

  // Past the limit words are counted and their syntax checked, not kept.
  p = parse_line(R"(a "b" c "d e")", 2);
  EXPECT_EQ(p.words, (std::vector<std::u16string>{u"a", u"b"}));
  EXPECT_EQ(p.word_count, 4u);
  EXPECT_FALSE(parse_line(R"(a b c "d)", 1).error.empty());
}

TEST(ShellSyntax, CommentsBlankLinesAndErrors) {
  EXPECT_TRUE(parse_line("   # Login demo demo1234").words.empty());
  EXPECT_TRUE(parse_line("").words.empty());
  EXPECT_TRUE(parse_line(" \t\r").words.empty());
  EXPECT_EQ(parse_line("x a#b").words.at(1), u"a#b");  // '#' inside a word is text
  EXPECT_FALSE(parse_line("x \"open").error.empty());
  EXPECT_FALSE(parse_line(R"(x "\q")").error.empty());
  EXPECT_FALSE(parse_line(R"(x "\u12")").error.empty());
  EXPECT_FALSE(parse_line(R"(x "a"b)").error.empty());
  EXPECT_FALSE(parse_line(R"(x a"b")").error.empty());
  EXPECT_FALSE(parse_line("x \"a\\").error.empty());
}

TEST(ShellSyntax, LinesThatHoldAPassword) {
  const struct {
    const char* line;
    bool secret;
  } cases[] = {
      {"Login demo pw", true},
      {"  lOGIN \"demo\" \"pw\"", true},
      {"AddMember a b", true},
      {"Login demo \"pw", true},
      {"x \"open LOGIN pw", true},
      {"Logout", false},
      {"help Login", false},
      {"# Login demo pw", false},
      {"SmsJanek", false},
      {"LoginX demo pw", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(holds_password(c.line), c.secret) << c.line;
}

}  // namespace
}  // namespace taviksms::shell
