#include "send/send.h"

#include <exception>
#include <new>

#include "component/error.h"
#include "component/text.h"
#include "db/db_open.h"
#include "db/session.h"
#include "send/time_text.h"
#include "upload/picture_name.h"

namespace taviksms::send {

namespace {

using core::ModuleState;
using db::Value;

db::DbCmd& cmd(ModuleState& s) {
  if (!s.db_cmd) core::raise_object_not_set();
  return *s.db_cmd;
}
db::DbRs& rs(ModuleState& s) {
  if (!s.db_rs) core::raise_object_not_set();
  return *s.db_rs;
}

void set_text(db::DbCmd& c, std::u16string_view name, const std::u16string& v) {
  c.parameter(name).set_value(Value::text(v));
}

// The parameters every send procedure starts with, in their order.
void set_common_head(ModuleState& s, const std::u16string& sub_id, const std::u16string& user_tel,
                     const std::u16string& custom_id, const std::u16string& custom_nam,
                     const std::u16string& custom_tel) {
  db::DbCmd& c = cmd(s);
  set_text(c, u"@user_id", s.user_id);
  set_text(c, u"@Sub_ID", sub_id);
  set_text(c, u"@User_tel", user_tel);
  set_text(c, u"@Custom_id", custom_id);
  set_text(c, u"@Custom_nam", custom_nam);
  set_text(c, u"@Custom_tel", custom_tel);
}

// The common preamble; an empty optional-like result means "go on".
bool preamble(ModuleState& s, std::u16string& result) {
  if (s.logged_in) return true;
  s.last_result = core::db_open();
  if (s.last_result == u"OK") return true;
  result = s.last_result;
  return false;
}

// Runs `body` under the send methods' error handler: any run-time error ends the method and its
// description is the result. Nothing is cleaned up.
template <typename Body>
std::u16string with_handler(Body&& body) {
  try {
    return body();
  } catch (const core::Error& e) {
    return e.description();
  } catch (const std::bad_alloc&) {
    return u"Out of memory";
  } catch (const std::exception& e) {
    return core::utf8_to_utf16(e.what());
  }
}

}  // namespace

void submit_to_recipients(ModuleState& s, std::u16string list) {
  for (char16_t& c : list) {
    if (c == u':' || c == u';') c = u',';
  }
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t comma = list.find(u',', start);
    std::size_t end = comma == std::u16string::npos ? list.size() : comma;
    if (end > start) {
      cmd(s).parameter(u"@Custom_tel").set_value(Value::text(list.substr(start, end - start)));
      rs(s).set_cursor_location(db::kUseServer);
      s.db_rs = cmd(s).execute();
    }
    if (comma == std::u16string::npos) break;
    start = comma + 1;
  }
}

std::u16string sms_send(const std::u16string& sub_id, const std::u16string& user_tel,
                        const std::u16string& custom_id, const std::u16string& custom_nam,
                        const std::u16string& custom_tel, const std::u16string& msg,
                        std::int32_t typ, const std::u16string& yk_time) {
  ModuleState& s = core::module_state();
  return with_handler([&]() -> std::u16string {
    std::u16string result;
    if (!preamble(s, result)) return result;
    std::u16string when = expand_time_text(yk_time);
    db::DbCmd& c = cmd(s);
    c.refresh_parameters();
    c.set_command_text(u"sp_sms_send");
    c.set_command_type(db::kCmdStoredProc);
    set_common_head(s, sub_id, user_tel, custom_id, custom_nam, custom_tel);
    set_text(c, u"@msg", msg);
    c.parameter(u"@typ").set_value(Value::integer(typ));
    set_text(c, u"@n_code", std::u16string());
    set_text(c, u"@YK_Time", when);
    submit_to_recipients(s, custom_tel);
    return u"OK";
  });
}

std::u16string lms_send(const std::u16string& sub_id, const std::u16string& user_tel,
                        const std::u16string& custom_id, const std::u16string& custom_nam,
                        const std::u16string& custom_tel, const std::u16string& subject,
                        const std::u16string& msg, const std::u16string& yk_time) {
  ModuleState& s = core::module_state();
  return with_handler([&]() -> std::u16string {
    std::u16string result;
    if (!preamble(s, result)) return result;
    std::u16string when = expand_time_text(yk_time);
    db::DbCmd& c = cmd(s);
    c.refresh_parameters();
    c.set_command_text(u"sp_lms_send");
    set_common_head(s, sub_id, user_tel, custom_id, custom_nam, custom_tel);
    set_text(c, u"@subject", subject);
    set_text(c, u"@msg", msg);
    set_text(c, u"@YK_Time", when);
    submit_to_recipients(s, custom_tel);
    return u"OK";
  });
}

std::u16string mms_send(const std::u16string& sub_id, const std::u16string& user_tel,
                        const std::u16string& custom_id, const std::u16string& custom_nam,
                        const std::u16string& custom_tel, const std::u16string& subject,
                        const std::u16string& msg, const std::u16string& fnam1,
                        const std::u16string& fnam2, const std::u16string& fnam3,
                        const std::u16string& yk_time) {
  ModuleState& s = core::module_state();
  return with_handler([&]() -> std::u16string {
    std::u16string result;
    if (!preamble(s, result)) return result;
    std::u16string when = expand_time_text(yk_time);
    std::u16string pic1 = upload::picture_server_name(s.user_id, fnam1);
    std::u16string pic2 = upload::picture_server_name(s.user_id, fnam2);
    std::u16string pic3 = upload::picture_server_name(s.user_id, fnam3);
    db::DbCmd& c = cmd(s);
    c.refresh_parameters();
    c.set_command_text(u"sp_mms_send");
    set_common_head(s, sub_id, user_tel, custom_id, custom_nam, custom_tel);
    set_text(c, u"@subject", subject);
    set_text(c, u"@msg", msg);
    set_text(c, u"@fnam1", pic1);
    set_text(c, u"@fnam2", pic2);
    set_text(c, u"@fnam3", pic3);
    set_text(c, u"@YK_Time", when);
    submit_to_recipients(s, custom_tel);
    return u"OK";
  });
}

}  // namespace taviksms::send
