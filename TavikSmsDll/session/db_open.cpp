#include "session/db_open.h"

#include "base/error.h"
#include "base/module_state.h"
#include "base/platform/platform.h"
#include "base/trace.h"
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
    if (s.config.db_server.empty()) {
      s.last_result = config_fetch();
      if (s.last_result != u"OK") return s.last_result;
    }
    platform::Platform& p = platform::current();
    s.session.conn = p.new_connection();
    s.session.cmd = p.new_command();
    s.session.rs = p.new_recordset();
    s.session.conn_string =
        build_conn_string(s.config.db_server, s.config.db_user, s.config.db_password);
    s.session.conn->open(s.session.conn_string);
    s.session.cmd->set_active_connection(s.session.conn);
    s.session.cmd->set_command_type(db::kCmdStoredProc);
    s.session.cmd->refresh_parameters();
    s.session.rs->set_cursor_location(db::kUseClient);
    s.session.reopen = false;
    return u"OK";
  } catch (const std::exception&) {
    // The error's own description is deliberately not passed on.
    db_close();
    return u"False";
  }
}

std::optional<std::u16string> preamble(ModuleState& s) {
  if (s.logged_in) {
    if (!link_lost(s)) return std::nullopt;
    s.last_result = reopen_session(s);
  } else {
    s.last_result = db_open();
  }
  if (s.last_result == u"OK") return std::nullopt;
  return s.last_result;
}

bool link_lost(ModuleState& s) {
  if (!s.session.reopen && s.session.conn && !s.session.conn->check_link()) {
    s.session.reopen = true;
  }
  return s.session.reopen;
}

bool server_gave_no_answer(const ModuleState& s) {
  return s.session.conn && s.session.conn->gave_up();
}

void mark_if_link_lost(ModuleState& s) {
  if (s.session.conn && s.session.conn->link_lost()) s.session.reopen = true;
}

std::u16string reopen_session(ModuleState& s) {
  if (trace::enabled()) trace::emit("session", "the link to the server was lost: opening it again");
  std::u16string opened = db_open();
  if (opened != u"False") return opened;
  // A failover may have moved the service: its mirrors say where it is now.
  const Configuration kept = s.config;
  if (config_fetch() != u"OK") {
    s.config = kept;
    return opened;
  }
  const bool moved = s.config.db_server != kept.db_server || s.config.db_user != kept.db_user ||
                     s.config.db_password != kept.db_password;
  if (trace::enabled()) {
    trace::emit("session", moved ? "ip1.ini names another server or login: opening it"
                                 : "ip1.ini names the same server: not tried again");
  }
  return moved ? db_open() : opened;
}

void db_close() {
  ModuleState& s = module_state();
  // Each step runs even when the one before it failed.
  db::close_and_release(s.session.rs);
  db::close_and_release(s.session.conn);
  s.session.cmd.reset();
}

}  // namespace taviksms::core
