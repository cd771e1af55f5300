// DbOpen / DbClose: the session objects' lifecycle, the connection string, and BaseFileName.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace taviksms::core {

struct ModuleState;

// "Provider=SQLOLEDB;Initial Catalog=sms;Data Source=<server>;User ID=<user>;Password=<pw>;"
std::u16string build_conn_string(std::u16string_view server, std::u16string_view user,
                                 std::u16string_view password);

// "OK", the configuration fetch's failure text, or "False".
std::u16string db_open();

// The common preamble: when not logged in, LastResult takes DbOpen's text. Returns the text the
// method must return instead of going on, or nothing when the session is there.
std::optional<std::u16string> preamble(ModuleState& s);

// Closes and releases DbRs and DbConn, releases DbCmd; never fails.
void db_close();

// The part of `path` after its last backslash, or after the last `platform_separator` when the
// platform's own directory separator is another character. A POSIX host names its files with
// '/', and a picture name that kept its directories would be refused by the file server.
std::u16string base_file_name(std::u16string_view path, char16_t platform_separator = u'\\');

}  // namespace taviksms::core
