// The interface's method table (dispatch ids, names, parameters in order), expanded from
// <taviksms/methods.def>. The late-bound dispatcher, the shell's help and the test that compares
// the list with the IDL all read it.
#include <array>
#include <string>

#include <taviksms_common/ascii.h>

#include "component/taviksms.h"

namespace taviksms {

namespace {

template <typename... P>
constexpr std::array<ParamInfo, sizeof...(P)> params(P... p) {
  return {p...};
}

#define TAVIKSMS_PARAM_INFO(type, name) \
  ParamInfo {                           \
#name, ArgType::type                \
  }
#define TAVIKSMS_METHOD(id, name, result, ...) \
  constexpr auto k##name##Params = params(TAVIKSMS_EACH(TAVIKSMS_PARAM_INFO, __VA_ARGS__));
#include <taviksms/methods.def>
#undef TAVIKSMS_PARAM_INFO

constexpr MethodInfo kMethods[] = {
#define TAVIKSMS_METHOD(id, name, result, ...) \
  {id, #name, k##name##Params.data(), k##name##Params.size(), ArgType::result},
#include <taviksms/methods.def>
};

}  // namespace

std::span<const MethodInfo> methods() {
  return kMethods;
}

const MethodInfo* find_method(std::string_view name) {
  for (const auto& mi : kMethods) {
    if (ascii::iequals(mi.name, name)) return &mi;
  }
  return nullptr;
}

const MethodInfo& core::method_info(core::Method m) {
  return kMethods[static_cast<std::size_t>(m)];
}

}  // namespace taviksms
