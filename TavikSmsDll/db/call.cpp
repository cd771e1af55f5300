#include "db/call.h"

namespace taviksms::db {

DbCmd& cmd(core::ModuleState& s) {
  if (!s.session.cmd) core::raise_object_not_set();
  return *s.session.cmd;
}
DbRs& rs(core::ModuleState& s) {
  if (!s.session.rs) core::raise_object_not_set();
  return *s.session.rs;
}
DbConn& conn(core::ModuleState& s) {
  if (!s.session.conn) core::raise_object_not_set();
  return *s.session.conn;
}

Call::Call(core::ModuleState& s, std::u16string_view procedure, int cursor_location, Type type)
    : s_(s) {
  DbCmd& c = cmd(s);
  c.refresh_parameters();  // before the new text: the collection is described for it when used
  c.set_command_text(std::u16string(procedure));
  if (type == Type::stored_proc) c.set_command_type(kCmdStoredProc);
  if (cursor_location != kKeepCursor) rs(s).set_cursor_location(cursor_location);
}

Call& Call::text(std::u16string_view name, const std::u16string& value) {
  cmd(s_).parameter(name).set_value(Value::text(value));
  return *this;
}

Call& Call::integer(std::u16string_view name, std::int64_t value) {
  cmd(s_).parameter(name).set_value(Value::integer(value));
  return *this;
}

void Call::open() {
  rs(s_).open(cmd(s_));
}

void Call::execute() {
  s_.session.rs = cmd(s_).execute();
}

const Value& Call::return_value() {
  return cmd(s_).parameter(u"@return_value").value();
}

void close_if_open(core::ModuleState& s) noexcept {
  try {
    if (s.session.rs && s.session.rs->state() == kStateOpen) s.session.rs->close();
  } catch (...) {
  }
}

}  // namespace taviksms::db
