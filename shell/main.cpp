// taviksms: runs TavikSms method calls by name, one per line, on one thread.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <taviksms/taviksms.h>
#include <taviksms_common/utf8.h>

#include "command_line.h"
#include "doctor.h"

namespace {

using taviksms::ArgType;

std::string to_utf8(std::u16string_view s) {
  return taviksms::utf::utf16_to_utf8(s);
}

// "Name param:type ...  -> type", as the help lists it.
std::string signature(const taviksms::MethodInfo& m) {
  std::string out = m.name;
  for (std::size_t i = 0; i < m.param_count; ++i) {
    out += ' ';
    out += m.params[i].name;
    out += m.params[i].type == ArgType::int32 ? ":int32" : ":text";
  }
  out += m.result == ArgType::int32 ? "  -> int32" : "  -> text";
  return out;
}

void print_help() {
  std::cout <<
      R"(usage: taviksms [-e] [-c LINE]... [-i] [SCRIPT | -]

Runs TavikSms method calls, one per line: the -c lines in order, then SCRIPT (or standard input
for "-"), then an interactive prompt with -i. With neither -c nor SCRIPT, lines come from standard
input, with a prompt when it is a terminal. -e (--echo) prints each call, after "> ", before its
result.

A line is a method name (case-insensitive) followed by its arguments, separated by blanks.
Arguments in double quotes may hold blanks and the escapes \n \t \r \" \\ \0 and \uXXXX (any
UTF-16 code unit, lone surrogates included). Lines starting with # are comments. Input is UTF-8;
a byte order mark and CR LF line ends (scripts saved on Windows) are accepted.

Output, one line per call: a text result as it is, SmsJanek's number in decimal, or for an error
that escapes the method "error 0xXXXXXXXX: description". Syntax errors go to standard error.
A call that does not fit its method (argument count, an int32 that is not a number) also prints
the method's parameters to standard error.
Exit status: 0; 1 if any line failed (escaped error or syntax error); 2 for bad options.

Shell commands (all on one thread; instances share that thread's session):
  .new          create another instance and make it current (prints its number)
  .use N        make instance N current
  .drop [N]     destroy instance N (default: the current one)
  .list         list the live instances
  .show FILE    print an export file (sms1.txt, sms2.txt, sms3.txt) as a table: one row per
                line, its tab-separated fields in columns, CR shown as \r
  .sleep SEC    wait SEC seconds (results arrive while the service's clock runs)
  .help         this text
  .quit         stop

Methods:
)";
  for (const auto& m : taviksms::methods()) std::cout << "  " << signature(m) << '\n';
}

// Columns a character takes on a terminal: two for Hangul and the CJK blocks, else one.
int display_width(char32_t c) {
  if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
      (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6)) {
    return 2;
  }
  return 1;
}

// A field cut to at most `max` columns ("~" marks a cut); its width in `width`.
std::u32string fit(const std::u32string& field, int max, int& width) {
  width = 0;
  for (char32_t c : field) width += display_width(c);
  if (width <= max) return field;
  std::u32string out;
  width = 0;
  for (char32_t c : field) {
    const int w = display_width(c);
    if (width + w > max - 1) break;
    out += c;
    width += w;
  }
  out += U'~';
  ++width;
  return out;
}

std::string utf32_to_utf8(const std::u32string& s) {
  std::u16string u16;
  for (char32_t c : s) {
    if (c >= 0x10000) {
      u16 += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      u16 += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      u16 += static_cast<char16_t>(c);
    }
  }
  return to_utf8(u16);
}

std::u32string to_utf32(const std::u16string& s) {
  std::u32string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    out += c;
  }
  return out;
}

// Prints an export file as an aligned table with the export's column names as the header.
bool show_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    std::cerr << "cannot open " << path << '\n';
    return false;
  }
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<std::vector<std::u32string>> rows;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find("\r\n", start);
    std::string line =
        all.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? all.size() : end + 2;
    std::vector<std::u32string> fields;
    std::size_t b = 0;
    for (;;) {
      std::size_t t = line.find('\t', b);
      std::u32string field = to_utf32(taviksms::utf::utf8_to_utf16(line.substr(b, t - b)));
      std::u32string shown;
      for (char32_t c : field) {
        if (c == U'\r')
          shown += U"\\r";
        else if (c < 0x20)
          shown += U'?';
        else
          shown += c;
      }
      fields.push_back(shown);
      if (t == std::string::npos) break;
      b = t + 1;
    }
    rows.push_back(std::move(fields));
  }
  const bool deposits = path.size() >= 8 && path.compare(path.size() - 8, 8, "sms3.txt") == 0;
  static const char* const kResult[] = {"id",          "User_ID",    "SUB_ID",     "user_tel",
                                        "Custom_tel",  "Custom_id",  "Custom_nam", "msg",
                                        "result_code", "Result_Msg", "typ",        "kun2",
                                        "fee2",        "i_time",     "s_time"};
  static const char* const kDeposit[] = {"User_ID", "kunsu", "ibgum", "Ibgum_date", "ibgum_memo"};
  std::vector<std::u32string> header;
  if (deposits) {
    for (const char* h : kDeposit) header.push_back(std::u32string(h, h + std::strlen(h)));
  } else {
    for (const char* h : kResult) header.push_back(std::u32string(h, h + std::strlen(h)));
  }
  rows.insert(rows.begin(), header);
  constexpr int kMax = 24;
  std::vector<int> widths;
  for (const auto& r : rows) {
    if (widths.size() < r.size()) widths.resize(r.size(), 0);
    for (std::size_t i = 0; i < r.size(); ++i) {
      int w = 0;
      fit(r[i], kMax, w);
      widths[i] = std::max(widths[i], w);
    }
  }
  for (const auto& r : rows) {
    std::string out;
    for (std::size_t i = 0; i < r.size(); ++i) {
      int w = 0;
      out += utf32_to_utf8(fit(r[i], kMax, w));
      if (i + 1 < r.size()) out += std::string(static_cast<std::size_t>(widths[i] - w) + 2, ' ');
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    std::cout << out << '\n';
  }
  std::cout << "(" << rows.size() - 1 << (rows.size() == 2 ? " line)" : " lines)") << '\n';
  return true;
}

class Shell {
 public:
  Shell() { create(); }

  // Runs one line; false when it failed.
  bool run(const std::string& line) {
    auto parsed = taviksms::shell::parse_line(line);
    if (!parsed.error.empty()) {
      std::cerr << "syntax error: " << parsed.error << '\n';
      return false;
    }
    if (parsed.words.empty()) return true;
    std::string head = to_utf8(parsed.words[0]);
    if (!head.empty() && head[0] == '.') return command(head, parsed.words);

    auto it = instances_.find(current_);
    if (it == instances_.end()) {
      std::cerr << "no current instance (use .new or .use N)\n";
      return false;
    }
    std::vector<taviksms::Value> args(parsed.words.begin() + 1, parsed.words.end());
    try {
      taviksms::Value r = it->second->invoke(head, args);
      if (const auto* text = std::get_if<std::u16string>(&r)) {
        std::cout << to_utf8(*text) << '\n';
      } else {
        std::cout << std::get<std::int32_t>(r) << '\n';
      }
      std::cout.flush();
      return true;
    } catch (const taviksms::ComError& e) {
      char code[16];
      std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(e.number));
      std::cout << "error " << code << ": " << to_utf8(e.description) << '\n';
      std::cout.flush();
      // The call did not fit the method (argument count, an int32 that is not one): say how.
      const auto* m = taviksms::find_method(head);
      const auto n = static_cast<std::uint32_t>(e.number);
      if (m && (n == 0x8002000Eu || n == 0x80020005u || n == 0x800A0006u)) {
        std::cerr << "usage: " << signature(*m) << '\n';
      }
      return false;
    }
  }

  bool quit() const { return quit_; }

 private:
  void create() {
    instances_.emplace(next_, std::make_unique<taviksms::TavikSms>());
    current_ = next_++;
  }

  bool command(const std::string& head, const std::vector<std::u16string>& words) {
    auto number = [&](std::size_t i, int def) {
      if (i >= words.size()) return def;
      try {
        return std::stoi(to_utf8(words[i]));
      } catch (...) {
        return -1;
      }
    };
    if (head == ".new") {
      create();
      std::cout << current_ << '\n';
    } else if (head == ".use") {
      int n = number(1, -1);
      if (!instances_.count(n)) {
        std::cerr << "no instance " << to_utf8(words.size() > 1 ? words[1] : u"") << '\n';
        return false;
      }
      current_ = n;
    } else if (head == ".drop") {
      int n = number(1, current_);
      if (!instances_.erase(n)) {
        std::cerr << "no instance " << n << '\n';
        return false;
      }
    } else if (head == ".list") {
      for (const auto& [n, obj] : instances_) {
        std::cout << n << (n == current_ ? " *" : "") << '\n';
      }
    } else if (head == ".show") {
      if (words.size() != 2) {
        std::cerr << "usage: .show FILE\n";
        return false;
      }
      return show_file(to_utf8(words[1]));
    } else if (head == ".sleep") {
      double sec = -1;
      try {
        sec = words.size() == 2 ? std::stod(to_utf8(words[1])) : -1;
      } catch (...) {
      }
      if (!(sec >= 0 && sec <= 3600)) {
        std::cerr << "usage: .sleep SECONDS (0 to 3600)\n";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::duration<double>(sec));
    } else if (head == ".help") {
      print_help();
    } else if (head == ".quit" || head == ".exit") {
      quit_ = true;
    } else {
      std::cerr << "unknown command " << head << '\n';
      return false;
    }
    return true;
  }

  std::map<int, std::unique_ptr<taviksms::TavikSms>> instances_;
  int current_ = 0;
  int next_ = 1;
  bool quit_ = false;
};

// With --echo, each call is printed before its result, so a script's output reads as a session.
bool echo_lines = false;

bool run_line(Shell& shell, const std::string& line) {
  if (echo_lines) {
    const auto first = line.find_first_not_of(" \t\r");
    if (first != std::string::npos && line[first] != '#') std::cout << "> " << line << '\n';
  }
  return shell.run(line);
}

bool run_stream(Shell& shell, std::istream& in, bool prompt) {
  bool ok = true;
  std::string line;
  bool first = true;
  while (!shell.quit()) {
    if (prompt) std::cout << "taviksms> " << std::flush;
    if (!std::getline(in, line)) break;
    // Scripts saved on Windows: a UTF-8 byte order mark before the first line, CR LF line ends.
    if (first && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
    first = false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ok = run_line(shell, line) && ok;
  }
  if (prompt) std::cout << '\n';
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "doctor")
    return taviksms::shell::run_doctor(std::cout);
  std::vector<std::string> lines;
  std::string script;
  bool interactive = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      print_help();
      return 0;
    } else if (a == "-c") {
      if (++i >= argc) {
        std::cerr << "taviksms: -c needs a line\n";
        return 2;
      }
      lines.emplace_back(argv[i]);
    } else if (a == "-i") {
      interactive = true;
    } else if (a == "-e" || a == "--echo") {
      echo_lines = true;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      std::cerr << "taviksms: unknown option " << a << " (see --help)\n";
      return 2;
    } else if (script.empty()) {
      script = a;
    } else {
      std::cerr << "taviksms: only one script\n";
      return 2;
    }
  }

  Shell shell;
  bool ok = true;
  for (const auto& l : lines) {
    if (shell.quit()) break;
    ok = run_line(shell, l) && ok;
  }
  if (!script.empty() && !shell.quit()) {
    if (script == "-") {
      ok = run_stream(shell, std::cin, false) && ok;
    } else {
      std::ifstream f(script);
      if (!f) {
        std::cerr << "taviksms: cannot open " << script << '\n';
        return 2;
      }
      ok = run_stream(shell, f, false) && ok;
    }
  }
  if (interactive || (lines.empty() && script.empty())) {
    bool tty = isatty(STDIN_FILENO) != 0;
    ok = run_stream(shell, std::cin, interactive || tty) && ok;
  }
  return ok ? 0 : 1;
}
