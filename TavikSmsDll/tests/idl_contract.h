// Reads the methods of interface _TavikSms out of the type library's IDL and compares them with
// the method list, so the published contract and the code cannot drift apart unnoticed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <taviksms/taviksms.h>

namespace taviksms::idl {

struct IdlParam {
  std::string name;
  std::string type;  // "text", "int32", or the IDL's own spelling when it is neither
};

struct IdlMethod {
  std::int64_t dispid = -1;  // -1 when the declaration has no id(...)
  std::string name;
  std::vector<IdlParam> params;  // the [in] parameters, in order
  std::string result;            // the [out, retval] parameter's type
};

struct IdlInterface {
  std::vector<IdlMethod> methods;
  std::vector<std::string> errors;  // what could not be read
};

// The methods of `interface_name` in `idl` (comments, attributes such as helpstring and line
// breaks anywhere are allowed).
IdlInterface parse_interface(std::string_view idl, std::string_view interface_name);

// Every disagreement, one line each, naming the method and the field; empty when they agree.
std::vector<std::string> compare(const IdlInterface& idl, std::span<const MethodInfo> list);

}  // namespace taviksms::idl
