#include "method_help.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include <taviksms_common/utf8.h>

namespace taviksms::shell {

namespace {

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

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

std::size_t edit_distance(std::string_view a, std::string_view b) {
  // Damerau-Levenshtein (optimal string alignment), three rows.
  std::vector<std::size_t> prev2(b.size() + 1), prev(b.size() + 1), cur(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const bool same = lower(a[i - 1]) == lower(b[j - 1]);
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
          lower(a[i - 2]) == lower(b[j - 1])) {
        cur[j] = std::min(cur[j], prev2[j - 2] + 1);
      }
    }
    std::swap(prev2, prev);
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

const MethodInfo* nearest_method(std::string_view name) {
  // Long lines are no one's typo; comparing them would only cost time.
  if (name.empty() || name.size() > 64) return nullptr;
  const MethodInfo* best = nullptr;
  std::size_t best_distance = 0;
  for (const MethodInfo& m : methods()) {
    const std::size_t d = edit_distance(name, m.name);
    if (!best || d < best_distance) {
      best = &m;
      best_distance = d;
    }
  }
  // About a third of the name may be wrong; beyond that a suggestion is a guess.
  const std::size_t allowed = std::max<std::size_t>(1, name.size() / 3);
  return best && best_distance <= allowed ? best : nullptr;
}

std::string unknown_method_text(std::string_view name) {
  // A whole pasted paragraph is not repeated back; the cut keeps whole UTF-8 characters.
  std::size_t keep = name.size();
  if (keep > 64) {
    keep = 64;
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  }
  std::string out(name.substr(0, keep));
  if (keep < name.size()) out += "...";
  out += ": no such method";
  if (const MethodInfo* m = nearest_method(name))
    out += std::string("; did you mean ") + m->name + "?";
  return out;
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
