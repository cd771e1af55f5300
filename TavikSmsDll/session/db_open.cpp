#include "session/db_open.h"

#include "base/error.h"
#include "base/module_state.h"
#include "base/platform/platform.h"
#include "config/config_fetch.h"
#include "db/session.h"

namespace taviksms::core {

std::u16string build_conn_string(std::u16string_view server, std::u16string_view user,
                                 std::u16string_view password) {
  std::u16string s = u"Provider=SQLOLEDB;";
  s += u"Initial Catalog=sms;";
  s += u"Data Source=";
  s += server;
  s += u";User ID=";
  s += user;
  s += u";Password=";
  s += password;
  s += u";";
  return s;
}

std::u16string db_open() {
  ModuleState& s = module_state();
  try {
    if (s.db_server.empty()) {
      s.last_result = config_fetch();
      if (s.last_result != u"OK") return s.last_result;
    }
    platform::Platform& p = platform::current();
    s.db_conn = p.new_connection();
    s.db_cmd = p.new_command();
    s.db_rs = p.new_recordset();
    s.conn_string = build_conn_string(s.db_server, s.db_user, s.db_password);
    s.db_conn->open(s.conn_string);
    s.db_cmd->set_active_connection(s.db_conn);
    s.db_cmd->set_command_type(db::kCmdStoredProc);
    s.db_cmd->refresh_parameters();
    s.db_rs->set_cursor_location(db::kUseClient);
    return u"OK";
  } catch (const std::exception&) {
    // The error's own description is deliberately not passed on.
    db_close();
    return u"False";
  }
}

std::optional<std::u16string> preamble(ModuleState& s) {
  if (s.logged_in) return std::nullopt;
  s.last_result = db_open();
  if (s.last_result == u"OK") return std::nullopt;
  return s.last_result;
}

void db_close() {
  ModuleState& s = module_state();
  // Each step runs even when the one before it failed.
  if (s.db_rs) {
    try {
      if (s.db_rs->state() == db::kStateOpen) s.db_rs->close();
    } catch (...) {
    }
    s.db_rs.reset();
  }
  if (s.db_conn) {
    try {
      if (s.db_conn->state() == db::kStateOpen) s.db_conn->close();
    } catch (...) {
    }
    s.db_conn.reset();
  }
  s.db_cmd.reset();
}

std::u16string base_file_name(std::u16string_view path, char16_t platform_separator) {
  std::size_t pos = path.find_last_of(std::u16string{u'\\', platform_separator});
  return std::u16string(pos == std::u16string_view::npos ? path : path.substr(pos + 1));
}

}  // namespace taviksms::core
