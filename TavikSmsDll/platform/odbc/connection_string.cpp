#include "platform/odbc/connection_string.h"

#include <atomic>

#include "base/error.h"
#include "base/text.h"

namespace taviksms::platform::odbc {

using core::iequals;

namespace {

std::u16string trim(std::u16string_view s) {
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\t')) s.remove_suffix(1);
  return std::u16string(s);
}

}  // namespace

std::u16string odbc_value(std::u16string_view v, bool for_freetds) {
  const bool has_close = v.find(u'}') != std::u16string_view::npos;
  if (!has_close) return u"{" + std::u16string(v) + u"}";
  auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  const bool bare_safe = v.find(u';') == std::u16string_view::npos && !blank(v.front()) &&
                         !blank(v.back()) && v.front() != u'{';
  if (bare_safe) return std::u16string(v);
  std::u16string out = u"{";
  for (char16_t c : v) {
    out.push_back(c);
    if (c == u'}' && !for_freetds) out.push_back(u'}');
  }
  out.push_back(u'}');
  return out;
}

ConnItems parse_conn_string(std::u16string_view ado) {
  ConnItems items;
  std::size_t pos = 0;
  while (pos < ado.size()) {
    std::size_t end = ado.find(u';', pos);
    if (end == std::u16string_view::npos) end = ado.size();
    std::size_t eq = ado.substr(pos, end - pos).find(u'=');
    if (eq == std::u16string_view::npos) {
      pos = end + 1;
      continue;
    }
    std::u16string key = trim(ado.substr(pos, eq));
    if (iequals(key, u"Password") || iequals(key, u"PWD")) {
      // The password is written last and unquoted, so it runs to the final ";": a ";" of its
      // own must not cut it.
      end = ado.size();
      if (end > pos + eq + 1 && ado[end - 1] == u';') --end;
    }
    std::u16string_view value = ado.substr(pos + eq + 1, end - pos - eq - 1);
    pos = end + 1;
    if (iequals(key, u"Data Source") || iequals(key, u"Server") || iequals(key, u"Address")) {
      items.data_source = trim(value);
      std::size_t comma = items.data_source.rfind(u',');
      if (comma != std::u16string::npos) {
        items.host = trim(std::u16string_view(items.data_source).substr(0, comma));
        items.port = trim(std::u16string_view(items.data_source).substr(comma + 1));
      } else {
        items.host = items.data_source;
        items.port.clear();
      }
    } else if (iequals(key, u"Initial Catalog") || iequals(key, u"Database")) {
      items.database = trim(value);
    } else if (iequals(key, u"User ID") || iequals(key, u"UID")) {
      items.user = std::u16string(value);
    } else if (iequals(key, u"Password") || iequals(key, u"PWD")) {
      items.password = std::u16string(value);
    }
  }
  return items;
}

std::u16string translate_conn_string(std::u16string_view ado) {
  const ConnItems c = parse_conn_string(ado);
  auto q = [](std::u16string_view v) { return odbc_value(v, true); };
  std::u16string out = u"Driver={FreeTDS};Server=" + q(c.host) + u";";
  if (!c.port.empty()) out += u"Port=" + q(c.port) + u";";
  out += u"Database=" + q(c.database) + u";UID=" + q(c.user) + u";PWD=" + q(c.password) +
         u";TDS_Version=7.4;ClientCharset=UTF-8";
  return out;
}

namespace {
std::atomic<ConnStringTranslator> g_translator{&translate_conn_string};
}

void set_conn_string_translator(ConnStringTranslator translator) {
  g_translator = translator ? translator : &translate_conn_string;
}

ConnStringTranslator conn_string_translator() {
  return g_translator.load();
}

std::uint16_t checked_port(const std::u16string& port) {
  if (port.empty()) return 1433;
  const std::optional<std::uint16_t> value = core::parse_port(std::u16string_view(port));
  if (!value) core::raise_provider(u"Invalid connection string attribute");
  return *value;
}

}  // namespace taviksms::platform::odbc
