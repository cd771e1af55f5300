// What the shell tells a person about the methods: the list, `help METHOD`, the nearest name to a
// mistyped one, and which argument of a call does not fit its parameter. Built from the method
// list, <taviksms/methods.def>: the interface every build implements and the type library
// states, so taviksms.exe, which calls whichever DLL is registered, says what taviksms says.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace taviksms::shell {

struct MethodParam {
  const char* name;
  bool int32;  // otherwise text
};

struct MethodEntry {
  const char* name;
  std::vector<MethodParam> params;
  bool int32_result;  // SmsJanek; every other method answers a text
};

// The 19 methods in interface order.
const std::vector<MethodEntry>& method_entries();

// A method by name, case-insensitively; nullptr when there is none.
const MethodEntry* find_method_entry(std::string_view name);

// "Name param:type ...  -> type".
std::string method_signature(const MethodEntry& m);

// Several lines: the signature, each parameter with its type, and what the result means.
std::string method_help(const MethodEntry& m);

// "SmsJanke: no such method; did you mean SmsJanek?" (without a suggestion when none is near).
std::string unknown_method_text(std::string_view name);

// Why a call does not fit `m`, naming the parameter: a missing or extra argument, or an int32
// parameter given a text that is not a 32-bit decimal number. Empty when the call fits. `given`
// is how many arguments the line had; `args` may hold only the first of them.
std::string argument_problem(const MethodEntry& m, const std::vector<std::u16string>& args,
                             std::size_t given);

// The most parameters any method takes.
std::size_t most_parameters();

}  // namespace taviksms::shell
