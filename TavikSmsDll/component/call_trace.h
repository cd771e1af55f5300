// The trace line of one method call: its arguments (passwords masked), its result or the error
// that escaped, and its duration. The method table's types are the component's, so this sits
// beside the class the hosts call, on the trace of base/.
#pragma once

#include <exception>
#include <span>
#include <string>

#include <taviksms/taviksms.h>

#include "base/trace.h"

namespace taviksms::trace {

// The argument list of a method call, both passwords (Login's Passwd, AddMember's user_pw)
// masked: Login(User_ID="demo", Passwd=***(8)).
std::string describe_call(const MethodInfo& method, std::span<const Value> args);
std::string describe_value(const Value& v);

// Runs one method call (`body()` returns its Value) and, when the trace is on, writes the call
// with its arguments, its result or the error that escaped, and its duration. The one place every
// call passes hooks it in: `return trace::traced_call(method, args, [&] { return ...; });`.
template <typename F>
Value traced_call(const MethodInfo& method, std::span<const Value> args, F&& body) {
  if (!enabled()) return body();
  Span span("call", describe_call(method, args));
  try {
    Value result = body();
    span.finish(describe_value(result));
    return result;
  } catch (const std::exception& e) {
    span.finish(std::string("raised: ") + describe_error(e));
    throw;
  }
}

}  // namespace taviksms::trace
