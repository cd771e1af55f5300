#include "method_help.h"

#include "nearest_name.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include <taviksms_common/utf8.h>

namespace taviksms::shell {

namespace {

const char* type_name(ArgType t) {
  return t == ArgType::int32 ? "int32" : "text";
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

std::string method_signature(const MethodInfo& m) {
  std::string out = m.name;
  for (std::size_t i = 0; i < m.param_count; ++i) {
    out += ' ';
    out += m.params[i].name;
    out += ':';
    out += type_name(m.params[i].type);
  }
  out += "  -> ";
  out += type_name(m.result);
  return out;
}

std::string method_help(const MethodInfo& m) {
  std::string out = method_signature(m) + "\n";
  if (m.param_count == 0) out += "  no arguments\n";
  for (std::size_t i = 0; i < m.param_count; ++i) {
    out += "  " + std::to_string(i + 1) + ". " + m.params[i].name + " (" +
           type_name(m.params[i].type) + ")\n";
  }
  if (m.result == ArgType::int32) {
    out += "  result: a number; -12345678 reports a failure\n";
  } else {
    out += "  result: \"OK\" on success, otherwise a text that says what failed\n";
  }
  return out;
}

const MethodInfo* nearest_method(std::string_view name) {
  std::vector<std::string_view> names;
  for (const MethodInfo& m : methods()) names.push_back(m.name);
  const std::string_view best = nearest_name(name, names);
  return best.empty() ? nullptr : find_method(best);
}

std::string unknown_method_text(std::string_view name) {
  std::vector<std::string_view> names;
  for (const MethodInfo& m : methods()) names.push_back(m.name);
  return unknown_name_text(name, names);
}

std::string argument_problem(const MethodInfo& m, std::span<const Value> args) {
  const std::string method = m.name;
  if (args.size() < m.param_count) {
    std::string missing;
    for (std::size_t i = args.size(); i < m.param_count; ++i) {
      missing += (missing.empty() ? "" : ", ") + std::string(m.params[i].name);
    }
    return method + ": missing " + (m.param_count - args.size() == 1 ? "argument " : "arguments ") +
           missing + " (takes " + std::to_string(m.param_count) + ", got " +
           std::to_string(args.size()) + ")";
  }
  if (args.size() > m.param_count) {
    return method + ": " + std::to_string(args.size() - m.param_count) + " argument" +
           (args.size() - m.param_count == 1 ? "" : "s") + " too many (takes " +
           std::to_string(m.param_count) + ", got " + std::to_string(args.size()) + ")";
  }
  for (std::size_t i = 0; i < m.param_count; ++i) {
    if (m.params[i].type != ArgType::int32) continue;
    const auto* text = std::get_if<std::u16string>(&args[i]);
    if (text && !is_int32_text(*text)) {
      std::string shown = utf::utf16_to_utf8(*text);
      if (shown.size() > 40) shown = shown.substr(0, 40) + "...";
      return method + ": " + m.params[i].name + " must be an int32, not \"" + shown + "\"";
    }
  }
  return {};
}

bool is_failure_result(const Value& result) {
  if (const auto* text = std::get_if<std::u16string>(&result)) return *text != u"OK";
  return std::get<std::int32_t>(result) == -12345678;
}

}  // namespace taviksms::shell
