// DbOpen / DbClose: the session objects' lifecycle and the connection string.
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

}  // namespace taviksms::core
