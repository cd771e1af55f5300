// DbOpen / DbClose: the session objects' lifecycle, the connection string, and BaseFileName.
#pragma once

#include <string>
#include <string_view>

namespace taviksms::core {

// "Provider=SQLOLEDB;Initial Catalog=sms;Data Source=<server>;User ID=<user>;Password=<pw>;"
std::u16string build_conn_string(std::u16string_view server, std::u16string_view user,
                                 std::u16string_view password);

// "OK", the configuration fetch's failure text, or "False".
std::u16string db_open();

// Closes and releases DbRs and DbConn, releases DbCmd; never fails.
void db_close();

// The part of `path` after its last backslash.
std::u16string base_file_name(std::u16string_view path);

}  // namespace taviksms::core
