// The taviksms shell's line syntax: whitespace-separated words; a word in double quotes may hold
// blanks and the escapes \n \t \r \" \\ \0 and \uXXXX (any UTF-16 code unit, lone surrogates
// included), so every string can be written. Unquoted words are taken as they are. A line whose
// first non-blank character is '#' is a comment.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace taviksms::shell {

struct ParsedLine {
  std::vector<std::u16string> words;  // the first `max_words` words
  std::size_t word_count = 0;         // all the words of the line, kept or not
  std::string error;                  // non-empty when the line is malformed
};

// `line` is UTF-8; words come back as UTF-16. Words past `max_words` are checked for their
// syntax and counted, not kept: a line of a million short words costs no million strings.
ParsedLine parse_line(std::string_view line,
                      std::size_t max_words = std::numeric_limits<std::size_t>::max());

// Whether the line calls a method that takes a password (Login, AddMember), so it must not be
// stored anywhere, such as the prompt's history file. A malformed line that names one of them
// anywhere counts too: it may hold a password all the same.
bool holds_password(std::string_view line);

}  // namespace taviksms::shell
