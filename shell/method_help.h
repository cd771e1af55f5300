// What the shell tells a person about the methods: `help METHOD`, the nearest name to a
// mistyped one, and which argument of a call does not fit its parameter. Built on the method
// table the component exports, so it always matches what `invoke` accepts.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include <taviksms/taviksms.h>

#include "nearest_name.h"

namespace taviksms::shell {

// "Name param:type ...  -> type", as the method list shows it.
std::string method_signature(const MethodInfo& m);

// Several lines: the signature, each parameter with its type, and what the result means.
std::string method_help(const MethodInfo& m);

// The method whose name is nearest to `name`; nullptr when none is near enough to be a typo.
const MethodInfo* nearest_method(std::string_view name);

// "SmsJanke: no such method; did you mean SmsJanek?" (without a suggestion when none is near).
std::string unknown_method_text(std::string_view name);

// Why a call does not fit `m`, naming the parameter: a missing or extra argument, or an int32
// parameter given a text that is not a 32-bit decimal number. Empty when the call fits.
std::string argument_problem(const MethodInfo& m, std::span<const Value> args);

// True when a result reports a failure: any text but "OK" (every text method answers "OK" on
// success), or -12345678 from SmsJanek.
bool is_failure_result(const Value& result);

}  // namespace taviksms::shell
