#include "idl_contract.h"

#include <cctype>
#include <cstdio>
#include <map>

namespace taviksms::idl {

namespace {

// The text with comments replaced by blanks (string literals kept whole).
std::string strip_comments(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    if (s[i] == '"') {
      std::size_t j = i + 1;
      while (j < s.size() && s[j] != '"') j += s[j] == '\\' ? 2 : 1;
      j = std::min(j + 1, s.size());
      out.append(s.substr(i, j - i));
      i = j;
    } else if (s.substr(i, 2) == "//") {
      while (i < s.size() && s[i] != '\n') ++i;
    } else if (s.substr(i, 2) == "/*") {
      std::size_t end = s.find("*/", i + 2);
      i = end == std::string_view::npos ? s.size() : end + 2;
      out += ' ';
    } else {
      out += s[i++];
    }
  }
  return out;
}

std::string trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

// `s` cut at each `sep` outside brackets, parentheses, braces and strings.
std::vector<std::string> split_top(std::string_view s, char sep) {
  std::vector<std::string> parts;
  int depth = 0;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (quoted) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        quoted = false;
      continue;
    }
    if (c == '"')
      quoted = true;
    else if (c == '(' || c == '[' || c == '{')
      ++depth;
    else if (c == ')' || c == ']' || c == '}')
      --depth;
    else if (c == sep && depth == 0) {
      parts.push_back(trim(s.substr(start, i - start)));
      start = i + 1;
    }
  }
  std::string last = trim(s.substr(start));
  if (!last.empty()) parts.push_back(last);
  return parts;
}

// Position just past the bracket that closes the one at `open`; npos when unbalanced.
std::size_t closing(std::string_view s, std::size_t open) {
  const char o = s[open];
  const char c = o == '[' ? ']' : o == '(' ? ')' : '}';
  int depth = 0;
  bool quoted = false;
  for (std::size_t i = open; i < s.size(); ++i) {
    if (quoted) {
      if (s[i] == '\\')
        ++i;
      else if (s[i] == '"')
        quoted = false;
    } else if (s[i] == '"') {
      quoted = true;
    } else if (s[i] == o) {
      ++depth;
    } else if (s[i] == c && --depth == 0) {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

// A leading "[...]" taken off `s`: its attributes, lower-cased names with their arguments.
std::vector<std::string> take_attributes(std::string& s) {
  std::vector<std::string> attrs;
  s = trim(s);
  if (s.empty() || s[0] != '[') return attrs;
  std::size_t end = closing(s, 0);
  if (end == std::string::npos) return attrs;
  attrs = split_top(std::string_view(s).substr(1, end - 2), ',');
  s = trim(s.substr(end));
  return attrs;
}

std::string list_type(std::string idl_type) {
  std::string t;
  for (char c : idl_type) {
    if (!std::isspace(static_cast<unsigned char>(c))) t += c;
  }
  if (t == "BSTR") return "text";
  if (t == "long" || t == "LONG" || t == "int") return "int32";
  return t;
}

bool is_ident(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

bool has_attribute(const std::vector<std::string>& attrs, std::string_view name) {
  for (const auto& a : attrs) {
    if (a == name) return true;
  }
  return false;
}

// The dispatch id of an attribute "id(...)"; -1 when it is not one, -2 when unreadable.
std::int64_t dispatch_id(const std::string& attr) {
  if (attr.rfind("id", 0) != 0) return -1;
  std::string rest = trim(attr.substr(2));
  if (rest.size() < 2 || rest.front() != '(' || rest.back() != ')') return -1;
  rest = trim(rest.substr(1, rest.size() - 2));
  try {
    std::size_t used = 0;
    long long v = std::stoll(rest, &used, 0);
    if (used == rest.size() && v >= 0) return v;
  } catch (...) {
  }
  return -2;
}

void parse_method(const std::string& decl, IdlInterface& out) {
  IdlMethod m;
  std::string rest = decl;
  for (const auto& a : take_attributes(rest)) {
    const std::int64_t id = dispatch_id(a);
    if (id == -2) out.errors.push_back("unreadable dispatch id " + a + " in: " + decl);
    if (id >= 0) m.dispid = id;
  }
  std::size_t open = rest.find('(');
  std::size_t end = open == std::string::npos ? open : closing(rest, open);
  if (end == std::string::npos || !trim(rest.substr(end)).empty()) {
    out.errors.push_back("not a method declaration: " + decl);
    return;
  }
  std::string head = trim(rest.substr(0, open));
  std::size_t name_start = head.size();
  while (name_start > 0 && is_ident(head[name_start - 1])) --name_start;
  m.name = head.substr(name_start);
  for (std::string p : split_top(std::string_view(rest).substr(open + 1, end - open - 2), ',')) {
    auto attrs = take_attributes(p);
    std::size_t n = p.size();
    while (n > 0 && is_ident(p[n - 1])) --n;
    std::string type = trim(p.substr(0, n));
    if (has_attribute(attrs, "retval")) {
      if (!type.empty() && type.back() == '*') type.pop_back();
      m.result = list_type(type);
    } else {
      m.params.push_back(IdlParam{p.substr(n), list_type(type)});
    }
  }
  out.methods.push_back(std::move(m));
}

std::string hex(std::int64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
  return b;
}

const char* type_name(ArgType t) {
  return t == ArgType::int32 ? "int32" : "text";
}

}  // namespace

IdlInterface parse_interface(std::string_view idl_text, std::string_view interface_name) {
  IdlInterface out;
  const std::string text = strip_comments(idl_text);
  std::size_t at = 0;
  for (;;) {
    at = text.find("interface", at);
    if (at == std::string::npos) {
      out.errors.push_back("no interface " + std::string(interface_name));
      return out;
    }
    std::size_t n = at + 9;
    while (n < text.size() && std::isspace(static_cast<unsigned char>(text[n]))) ++n;
    const bool word_start = at == 0 || !is_ident(text[at - 1]);
    if (word_start && text.compare(n, interface_name.size(), interface_name) == 0 &&
        !is_ident(text[n + interface_name.size()])) {
      break;
    }
    at = n;
  }
  std::size_t open = text.find('{', at);
  std::size_t end = open == std::string::npos ? open : closing(text, open);
  if (end == std::string::npos) {
    out.errors.push_back("the body of interface " + std::string(interface_name) + " is not closed");
    return out;
  }
  for (const auto& decl : split_top(std::string_view(text).substr(open + 1, end - open - 2), ';')) {
    parse_method(decl, out);
  }
  return out;
}

std::vector<std::string> compare(const IdlInterface& idl, std::span<const MethodInfo> list) {
  std::vector<std::string> out = idl.errors;
  std::map<std::string, std::size_t> in_idl;
  for (std::size_t i = 0; i < idl.methods.size(); ++i) in_idl[idl.methods[i].name] = i;
  std::map<std::string, std::size_t> in_list;
  for (std::size_t i = 0; i < list.size(); ++i) in_list[list[i].name] = i;

  for (std::size_t i = 0; i < list.size(); ++i) {
    const MethodInfo& l = list[i];
    const std::string name = l.name;
    auto found = in_idl.find(name);
    if (found == in_idl.end()) {
      out.push_back(name + ": in the method list, not in the IDL");
      continue;
    }
    const IdlMethod& m = idl.methods[found->second];
    if (found->second != i) {
      out.push_back(name + ": position: IDL " + std::to_string(found->second + 1) + ", list " +
                    std::to_string(i + 1));
    }
    if (m.dispid != l.dispid) {
      out.push_back(name + ": dispatch id: IDL " + (m.dispid < 0 ? "none" : hex(m.dispid)) +
                    ", list " + hex(static_cast<std::uint32_t>(l.dispid)));
    }
    if (m.result != type_name(l.result)) {
      out.push_back(name + ": result type: IDL " + (m.result.empty() ? "none" : m.result) +
                    ", list " + type_name(l.result));
    }
    if (m.params.size() != l.param_count) {
      out.push_back(name + ": parameter count: IDL " + std::to_string(m.params.size()) + ", list " +
                    std::to_string(l.param_count));
    }
    for (std::size_t k = 0; k < std::min(m.params.size(), l.param_count); ++k) {
      const std::string field = name + ": parameter " + std::to_string(k + 1);
      if (m.params[k].name != l.params[k].name) {
        out.push_back(field + " name: IDL " + m.params[k].name + ", list " + l.params[k].name);
      }
      if (m.params[k].type != type_name(l.params[k].type)) {
        out.push_back(field + " (" + l.params[k].name + ") type: IDL " + m.params[k].type +
                      ", list " + type_name(l.params[k].type));
      }
    }
  }
  for (const auto& m : idl.methods) {
    if (!in_list.count(m.name)) out.push_back(m.name + ": in the IDL, not in the method list");
  }
  return out;
}

}  // namespace taviksms::idl
