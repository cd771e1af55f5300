// taviksms: runs TavikSms method calls by name, one per line, on one thread.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <taviksms/taviksms.h>
#include <taviksms_common/utf8.h>

#include "command_line.h"

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
  .help         this text
  .quit         stop

Methods:
)";
  for (const auto& m : taviksms::methods()) std::cout << "  " << signature(m) << '\n';
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
