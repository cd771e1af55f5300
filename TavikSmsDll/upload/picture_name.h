// The name a picture has on the file server: UserId + "_" + the file's base name in lower case.
// FTP_Upload stores a picture under it and MmsSend names the picture by it, so both go through
// this one function and a message never names a file under a different case than the stored one.
#pragma once

#include <string>
#include <string_view>

namespace taviksms::upload {

// Lower case as the host language's LCase does it for the texts that occur in file names:
// ASCII and the other letters of the Basic Multilingual Plane that have a simple lower-case
// mapping. Surrogates and characters without a mapping stay as they are.
std::u16string lower_case(std::u16string_view s);

// The part of `path` after its last backslash, or after the last `platform_separator` when the
// platform's own directory separator is another character. A POSIX host names its files with
// '/', and a picture name that kept its directories would be refused by the file server.
std::u16string base_file_name(std::u16string_view path, char16_t platform_separator = u'\\');

// BaseFileName (cut at the last backslash only) of `path`, lower-cased.
std::u16string picture_base_name(std::u16string_view path);

// True when `name` holds a surrogate without its partner: a byte of a local name that the code
// set could not decode (kept as U+DC00 + byte), which no remote text can carry.
bool has_undecodable_character(std::u16string_view name);

// UserId + "_" + picture_base_name(path); the empty text when the base name is empty (an empty
// path, or one ending in a backslash), so an absent picture stays absent.
std::u16string picture_server_name(std::u16string_view user_id, std::u16string_view path);

}  // namespace taviksms::upload
