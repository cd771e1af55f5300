// The one way a method calls a stored procedure on the thread's shared DbCmd/DbRs: the call
// itself (refresh, command text and type, cursor location, parameters by name, open or execute),
// close-if-open, and the error handler that turns a run-time error into the method's result text.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "base/error.h"
#include "base/module_state.h"
#include "base/text.h"
#include "db/session.h"

namespace taviksms::db {

// The shared objects a call needs; a released one is the runtime's "object not set".
DbCmd& cmd(core::ModuleState& s);
DbRs& rs(core::ModuleState& s);
DbConn& conn(core::ModuleState& s);

// One procedure call. The constructor refreshes the parameters, sets the command text (and the
// command type when asked) and DbRs's cursor location; the setters assign parameters by name in
// the order they are called; open() or execute() runs it.
// A cursor location that leaves DbRs's as it is.
inline constexpr int kKeepCursor = 0;

class Call {
 public:
  enum class Type : std::uint8_t { keep, stored_proc };

  Call(core::ModuleState& s, std::u16string_view procedure, int cursor_location,
       Type type = Type::keep);
  Call& text(std::u16string_view name, const std::u16string& value);
  Call& integer(std::u16string_view name, std::int64_t value);
  // Recordset.Open with the command as source: the rows stay in DbRs.
  void open();
  // Command.Execute: the recordset it returns replaces DbRs.
  void execute();
  // "@return_value" after the call.
  const Value& return_value();

 private:
  core::ModuleState& s_;
};

// Closes DbRs when it is set and open; errors while closing are swallowed (this runs in
// error paths too).
void close_if_open(core::ModuleState& s) noexcept;

// Runs `body` under a method's error handler: a run-time error ends it, `cleanup` runs, and the
// error's description is the result. The component applies it to each method whose rule in the
// method list says so; a method that calls another method's function with that method's own
// handler uses it too.
template <typename Body, typename Cleanup>
std::invoke_result_t<Body&> with_handler(Body&& body, Cleanup&& cleanup) {
  try {
    return body();
  } catch (const core::Error& e) {
    cleanup();
    return e.description();
  } catch (const std::bad_alloc&) {
    cleanup();
    return std::u16string(u"Out of memory");
  } catch (const std::exception& e) {
    cleanup();
    return core::utf8_to_utf16(e.what());
  }
}

template <typename Body>
std::invoke_result_t<Body&> with_handler(Body&& body) {
  return with_handler(std::forward<Body>(body), [] {});
}

}  // namespace taviksms::db
