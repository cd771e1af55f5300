#include "method_help.h"

#include <algorithm>
#include <cstdint>

#include <taviksms/method_list.h>
#include <taviksms_common/utf8.h>

#include "nearest_name.h"

namespace taviksms::shell {

namespace {

const char* type_name(bool int32) {
  return int32 ? "int32" : "text";
}

std::vector<std::string_view> method_names() {
  std::vector<std::string_view> out;
  for (const auto& m : method_entries()) out.push_back(m.name);
  return out;
}

// A decimal int32 as the shell would pass it: optional sign, digits, in range.
bool is_int32_text(const std::u16string& s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == u'-' || s[i] == u'+')) ++i;
  if (i == s.size()) return false;
  std::int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < u'0' || s[i] > u'9') return false;
    v = v * 10 + (s[i] - u'0');
    if (v > 2147483648LL) return false;
  }
  return s[0] == u'-' ? v <= 2147483648LL : v <= 2147483647LL;
}

}  // namespace

const std::vector<MethodEntry>& method_entries() {
#define TAVIKSMS_SHELL_PARAM(type, name)      \
  MethodParam {                               \
#name, std::string_view(#type) == "int32" \
  }
#define TAVIKSMS_METHOD(id, name, result, ...)                    \
  MethodEntry{#name,                                              \
              {TAVIKSMS_EACH(TAVIKSMS_SHELL_PARAM, __VA_ARGS__)}, \
              std::string_view(#result) == "int32"},
  static const std::vector<MethodEntry> list = {
#include <taviksms/methods.def>
  };
#undef TAVIKSMS_SHELL_PARAM
  return list;
}

const MethodEntry* find_method_entry(std::string_view name) {
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
  for (const auto& m : method_entries()) {
    const std::string_view n = m.name;
    if (n.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; same && i < n.size(); ++i) same = lower(n[i]) == lower(name[i]);
    if (same) return &m;
  }
  return nullptr;
}

std::string method_signature(const MethodEntry& m) {
  std::string out = m.name;
  for (const auto& p : m.params) {
    out += ' ';
    out += p.name;
    out += ':';
    out += type_name(p.int32);
  }
  out += "  -> ";
  out += type_name(m.int32_result);
  return out;
}

std::string method_help(const MethodEntry& m) {
  std::string out = method_signature(m) + "\n";
  if (m.params.empty()) out += "  no arguments\n";
  for (std::size_t i = 0; i < m.params.size(); ++i) {
    out += "  " + std::to_string(i + 1) + ". " + m.params[i].name + " (" +
           type_name(m.params[i].int32) + ")\n";
  }
  if (m.int32_result) {
    out += "  result: a number; -12345678 reports a failure\n";
  } else {
    out += "  result: \"OK\" on success, otherwise a text that says what failed\n";
  }
  return out;
}

std::string unknown_method_text(std::string_view name) {
  static const std::vector<std::string_view> names = method_names();
  return unknown_name_text(name, names);
}

std::string argument_problem(const MethodEntry& m, const std::vector<std::u16string>& args,
                             std::size_t given) {
  const std::string method = m.name;
  const std::size_t want = m.params.size();
  if (given < want) {
    std::string missing;
    for (std::size_t i = given; i < want; ++i) {
      missing += (missing.empty() ? "" : ", ") + std::string(m.params[i].name);
    }
    return method + ": missing " + (want - given == 1 ? "argument " : "arguments ") + missing +
           " (takes " + std::to_string(want) + ", got " + std::to_string(given) + ")";
  }
  if (given > want) {
    return method + ": " + std::to_string(given - want) + " argument" +
           (given - want == 1 ? "" : "s") + " too many (takes " + std::to_string(want) + ", got " +
           std::to_string(given) + ")";
  }
  for (std::size_t i = 0; i < want; ++i) {
    if (m.params[i].int32 && !is_int32_text(args[i])) {
      std::string shown = utf::utf16_to_utf8(args[i]);
      if (shown.size() > 40) shown = shown.substr(0, 40) + "...";
      return method + ": " + m.params[i].name + " must be an int32, not \"" + shown + "\"";
    }
  }
  return {};
}

std::size_t most_parameters() {
  std::size_t most = 0;
  for (const auto& m : method_entries()) most = std::max(most, m.params.size());
  return most;
}

}  // namespace taviksms::shell
