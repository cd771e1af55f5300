#include "account/account.h"

#include <new>

#include "component/error.h"
#include "component/module_state.h"
#include "db/db_open.h"
#include "db/session.h"

namespace taviksms::core {

namespace {

// The shared objects a call needs; a released one is the runtime's "object not set".
db::DbCmd& cmd(ModuleState& s) {
  if (!s.db_cmd) raise_object_not_set();
  return *s.db_cmd;
}
db::DbRs& rs(ModuleState& s) {
  if (!s.db_rs) raise_object_not_set();
  return *s.db_rs;
}

}  // namespace

std::u16string login(const std::u16string& user_id, const std::u16string& passwd) {
  ModuleState& s = module_state();
  s.user_id = user_id;
  try {
    s.last_result = db_open();
    if (s.last_result != u"OK") {
      s.logged_in = false;
      return s.last_result;
    }
    cmd(s).refresh_parameters();
    cmd(s).set_command_text(u"f_login");
    cmd(s).set_command_type(db::kCmdStoredProc);
    rs(s).set_cursor_location(db::kUseServer);
    cmd(s).parameter(u"@user_id").set_value(db::Value::text(s.user_id));
    cmd(s).parameter(u"@user_pw").set_value(db::Value::text(passwd));
    rs(s).open(cmd(s));
    s.last_result = cmd(s).parameter(u"@return_value").value().to_text();
    if (s.last_result.empty()) {
      s.logged_in = true;
      return u"OK";
    }
    s.logged_in = false;
    return s.last_result;
  } catch (const Error& e) {
    s.logged_in = false;
    return e.description();
  } catch (const std::bad_alloc&) {
    s.logged_in = false;
    return u"Out of memory";
  }
}

std::u16string logout() {
  ModuleState& s = module_state();
  s.logged_in = false;
  db_close();
  return u"OK";
}

std::int32_t sms_janek() {
  ModuleState& s = module_state();
  try {
    if (!s.logged_in) {
      s.last_result = db_open();
      if (s.last_result != u"OK") return kJanekFailure;
    }
    cmd(s).refresh_parameters();
    cmd(s).set_command_text(u"f_sms_janek");
    cmd(s).parameter(u"@user_id").set_value(db::Value::text(s.user_id));
    rs(s).set_cursor_location(db::kUseServer);
    rs(s).open(cmd(s));
    return cmd(s).parameter(u"@return_value").value().to_int32();
  } catch (const Error&) {
    return kJanekFailure;
  } catch (const std::bad_alloc&) {
    return kJanekFailure;
  }
}

}  // namespace taviksms::core
