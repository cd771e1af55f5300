#include "send/send.h"

#include "db/call.h"
#include "send/time_text.h"
#include "upload/picture_name.h"

namespace taviksms::send {

namespace {

using core::ModuleState;
using db::Value;

// The parameters every send procedure starts with, in their order.
void set_common_head(ModuleState& s, db::Call& call, const std::u16string& sub_id,
                     const std::u16string& user_tel, const std::u16string& custom_id,
                     const std::u16string& custom_nam, const std::u16string& custom_tel) {
  call.text(u"@user_id", s.user_id);
  call.text(u"@Sub_ID", sub_id);
  call.text(u"@User_tel", user_tel);
  call.text(u"@Custom_id", custom_id);
  call.text(u"@Custom_nam", custom_nam);
  call.text(u"@Custom_tel", custom_tel);
}

// Whether the recipient text names anyone: not empty, not only separators. A list that names no
// one executes nothing, so the call is not even prepared: "OK" whatever state the shared recordset
// is in (preparing sets its cursor location, which an open one refuses).
bool names_a_recipient(std::u16string_view list) {
  return list.find_first_not_of(u",;:") != std::u16string_view::npos;
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
      db::cmd(s).parameter(u"@Custom_tel").set_value(Value::text(list.substr(start, end - start)));
      db::rs(s).set_cursor_location(db::kUseServer);
      s.session.rs = db::cmd(s).execute();
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
  if (!names_a_recipient(custom_tel)) return u"OK";
  std::u16string when = expand_time_text(yk_time);
  db::Call call(s, u"sp_sms_send", db::kUseServer, db::Call::Type::stored_proc);
  set_common_head(s, call, sub_id, user_tel, custom_id, custom_nam, custom_tel);
  call.text(u"@msg", msg);
  call.integer(u"@typ", typ);
  call.text(u"@n_code", std::u16string());
  call.text(u"@YK_Time", when);
  submit_to_recipients(s, custom_tel);
  return u"OK";
}

std::u16string lms_send(const std::u16string& sub_id, const std::u16string& user_tel,
                        const std::u16string& custom_id, const std::u16string& custom_nam,
                        const std::u16string& custom_tel, const std::u16string& subject,
                        const std::u16string& msg, const std::u16string& yk_time) {
  ModuleState& s = core::module_state();
  if (!names_a_recipient(custom_tel)) return u"OK";
  std::u16string when = expand_time_text(yk_time);
  db::Call call(s, u"sp_lms_send", db::kUseServer);
  set_common_head(s, call, sub_id, user_tel, custom_id, custom_nam, custom_tel);
  call.text(u"@subject", subject);
  call.text(u"@msg", msg);
  call.text(u"@YK_Time", when);
  submit_to_recipients(s, custom_tel);
  return u"OK";
}

std::u16string mms_send(const std::u16string& sub_id, const std::u16string& user_tel,
                        const std::u16string& custom_id, const std::u16string& custom_nam,
                        const std::u16string& custom_tel, const std::u16string& subject,
                        const std::u16string& msg, const std::u16string& fnam1,
                        const std::u16string& fnam2, const std::u16string& fnam3,
                        const std::u16string& yk_time) {
  ModuleState& s = core::module_state();
  if (!names_a_recipient(custom_tel)) return u"OK";
  std::u16string when = expand_time_text(yk_time);
  std::u16string pic1 = upload::picture_server_name(s.user_id, fnam1);
  std::u16string pic2 = upload::picture_server_name(s.user_id, fnam2);
  std::u16string pic3 = upload::picture_server_name(s.user_id, fnam3);
  db::Call call(s, u"sp_mms_send", db::kUseServer);
  set_common_head(s, call, sub_id, user_tel, custom_id, custom_nam, custom_tel);
  call.text(u"@subject", subject);
  call.text(u"@msg", msg);
  call.text(u"@fnam1", pic1);
  call.text(u"@fnam2", pic2);
  call.text(u"@fnam3", pic3);
  call.text(u"@YK_Time", when);
  submit_to_recipients(s, custom_tel);
  return u"OK";
}

}  // namespace taviksms::send
