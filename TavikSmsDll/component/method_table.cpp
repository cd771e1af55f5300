// The interface's method table (dispatch ids, names, parameters in order), expanded from
// <taviksms/methods.def>. The late-bound dispatcher, the shell's help and the test that compares
// the list with the IDL all read it.
#include <array>
#include <string>

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

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

}  // namespace

std::span<const MethodInfo> methods() {
  return kMethods;
}

const MethodInfo* find_method(std::string_view name) {
  for (const auto& mi : kMethods) {
    std::string_view n = mi.name;
    if (n.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < n.size() && same; ++i) same = lower(n[i]) == lower(name[i]);
    if (same) return &mi;
  }
  return nullptr;
}

const MethodInfo& core::method_info(core::Method m) {
  return kMethods[static_cast<std::size_t>(m)];
}

}  // namespace taviksms
