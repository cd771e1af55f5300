// The connection string: the OLE DB form the component builds ("Provider=SQLOLEDB;Data
// Source=host,port;...") read into its items, and written again in the keywords of the ODBC
// driver in use, each value quoted so the driver reads it back unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace taviksms::platform::odbc {

// "Provider=SQLOLEDB;Initial Catalog=sms;Data Source=host,port;User ID=u;Password=p;" ->
// "Driver={FreeTDS};Server={host};Port={port};Database={sms};UID={u};PWD={p};TDS_Version=7.4;
// ClientCharset=UTF-8", each value quoted by odbc_value.
std::u16string translate_conn_string(std::u16string_view ado);

// The items of an OLE DB connection string ("Data Source=host,port;Initial Catalog=...;User
// ID=...;Password=...;"), as every ODBC form of it needs them. `port` is empty when the data
// source names none; `data_source` is the whole "host,port" text.
struct ConnItems {
  std::u16string data_source, host, port, database = u"sms", user, password;
};
ConnItems parse_conn_string(std::u16string_view ado);
// A connection-string value spelt so that FreeTDS and the Microsoft drivers both read it back
// unchanged; the item must be followed by ";". FreeTDS ends a braced value at the first "}"
// that a ";" follows and keeps "}}" as two characters, the Microsoft drivers end it at a "}"
// not doubled. So: in braces when the value holds no "}"; else bare when that is safe (no ";",
// no blank at either end, no leading "{"). A value that fits neither has no common spelling:
// it goes in the form of the driver in use (`for_freetds`), braced as is or with "}" doubled.
std::u16string odbc_value(std::u16string_view value, bool for_freetds);

// What Connection.open turns the connection string into: translate_conn_string unless a platform
// installs its own (the Windows build names the driver it was built for). nullptr restores it.
using ConnStringTranslator = std::u16string (*)(std::u16string_view ado);
void set_conn_string_translator(ConnStringTranslator translator);
ConnStringTranslator conn_string_translator();

// The data source's port: a number from 1 to 65535, 1433 (the driver's default) when it names
// none. Raises the provider's "Invalid connection string attribute" otherwise: the driver would
// take another number modulo 65536 (76969 is 11433) and connect somewhere it was never told to.
std::uint16_t checked_port(const std::u16string& port);

}  // namespace taviksms::platform::odbc
