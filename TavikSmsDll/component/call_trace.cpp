#include "component/call_trace.h"

#include <variant>

namespace taviksms::trace {

std::string describe_value(const Value& v) {
  if (const auto* i = std::get_if<std::int32_t>(&v)) return std::to_string(*i);
  return quote(std::get<std::u16string>(v));
}

std::string describe_call(const MethodInfo& method, std::span<const Value> args) {
  std::string out = method.name;
  out += '(';
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) out += ", ";
    const std::string_view name = i < method.param_count ? method.params[i].name : "?";
    out += name;
    out += '=';
    // Login's Passwd and AddMember's user_pw.
    if (name == "Passwd" || name == "user_pw") {
      const auto* t = std::get_if<std::u16string>(&args[i]);
      out += masked(t ? t->size() : 0);
    } else {
      out += describe_value(args[i]);
    }
  }
  return out + ')';
}

}  // namespace taviksms::trace
