#include "shell.h"

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <thread>

#include <taviksms_common/export_columns.h>
#include <taviksms_common/utf8.h>

#include "command_line.h"
#include "display_width.h"
#include "line_editor.h"
#include "method_help.h"
#include "nearest_name.h"
#include "run_outcome.h"
#include "version_info.h"

namespace taviksms::shell {

namespace {

std::string to_utf8(std::u16string_view s) {
  return utf::utf16_to_utf8(s);
}

// Set by SIGINT at an interactive prompt: the line or the waiting call's output is abandoned.
volatile std::sig_atomic_t interrupted = 0;

// Text of several lines, each through the host (a last line end adds no empty line).
void print_lines(Host& host, std::string_view text) {
  while (!text.empty()) {
    const auto end = text.find('\n');
    host.print(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

void print_help(Host& host) {
  std::string text = R"(usage: taviksms [-e] [-x] [-c LINE]... [-i] [SCRIPT | -]
       taviksms doctor
       taviksms --version

Runs TavikSms method calls, one per line: the -c lines in order, then SCRIPT (or standard input
for "-"), then an interactive prompt with -i. With neither -c nor SCRIPT, lines come from standard
input, with a prompt when it is a terminal. -e (--echo) prints each call, after "> ", before its
result.
)";
  if (!host.help_notes().empty()) {
    text += '\n';
    text += host.help_notes();
  }
  text += R"(
A line is a method name (case-insensitive) followed by its arguments, separated by blanks.
Arguments in double quotes may hold blanks and the escapes \n \t \r \" \\ \0 and \uXXXX (any
UTF-16 code unit, lone surrogates included). Lines starting with # are comments. Input is UTF-8;
a byte order mark and CR LF line ends (scripts saved on Windows) are accepted.

Output, one line per call: a text result as it is, SmsJanek's number in decimal, or for an error
that escapes the method "error 0xXXXXXXXX: description". Syntax errors go to standard error.
To a pipe or a file results go byte for byte; on a terminal their control characters are shown
escaped (\r, \n, \u001B; a byte that is no UTF-8 as \xHH), so a text cannot move the cursor
or command the terminal. .show and doctor always show them escaped.
)";
  text +=
      R"(A call that does not fit its method (argument count, an int32 that is not a number) also prints
which argument and the method's parameters to standard error.
)";
  text +=
      R"(Exit status: 0; 1 if any line failed (escaped error or syntax error); 2 for bad options.
A method's failure text does not change it (scripts that read the results rely on that), nor
does a shell command that could not do its work (.show of a missing file, .use of no instance).

-x, --stop-on-failure
              stop at the first call that fails: a text result other than "OK", -12345678
              from SmsJanek, an escaped error, a malformed line, or a shell command that
              could not do its work. The exit status is then 0 every call succeeded, 1 a
              method reported a failure, an error escaped or a command failed, 2 bad options
              or syntax.
--version     the component's version, the build's mirror list and the platform.
doctor        checks, one line each, why calls might fail here: each mirror, the keys of
              ip1.ini, the ODBC driver, a database login, the SFTP login and the folder of
              ip1.ini (and the trace, when set); exit status 1 when any check fails. It takes
              no options.

At the prompt, "help" lists the methods, "help METHOD" shows one, "exit" or "quit" (or
Ctrl-D) ends the session, and Ctrl-C abandons the line being typed, or the output of the call
being waited for, and keeps the session. A mistyped method name is named, with the nearest
method; an argument that does not fit names its parameter.

Shell commands (all on one thread; instances share that thread's session):
  .new          create another instance and make it current (prints its number)
  .use N        make instance N current
  .drop [N]     destroy instance N (default: the current one)
  .list         list the live instances
  .show FILE    print an export file (sms1.txt, sms2.txt, sms3.txt) as a table: one row per
                line, its tab-separated fields in columns, control characters escaped (CR
                shown as \r); a regular file only, of which it reads the first 16 MiB
  .sleep SEC    wait SEC seconds (results arrive while the service's clock runs)
  .help         this text (also "help"); "help METHOD" for one method
  .quit         stop (also "exit" and "quit")

Methods:)";
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    host.print(std::string_view(text).substr(start, end - start));
    start = end + 1;
  }
  for (const auto& m : method_entries()) host.print("  " + method_signature(m));
}

// A field cut to at most `max` columns ("~" marks a cut); its width in `width`.
std::u32string fit(const std::u32string& field, int max, int& width) {
  width = text_width(field);
  if (width <= max) return field;
  std::u32string out;
  width = 0;
  for (char32_t c : field) {
    const int w = char_width(c);
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

// .show reads at most this much of a file: a table for a person to read, not a way to page
// through a file of any size.
constexpr std::uintmax_t kShowLimit = 16u << 20;

// The lines of an export file (each ended by CR LF; a last line without one counts too), each as
// its tab-separated fields with control characters escaped, given to `each` one at a time.
template <typename Each>
void for_each_row(std::string_view all, Each each) {
  std::vector<std::u32string> fields;
  std::size_t start = 0;
  while (start < all.size()) {
    const std::size_t end = all.find("\r\n", start);
    const std::string_view line =
        all.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    start = end == std::string_view::npos ? all.size() : end + 2;
    fields.clear();
    std::size_t b = 0;
    for (;;) {
      const std::size_t t = line.find('\t', b);
      // Through UTF-16 and back: bytes that are no UTF-8 become U+FFFD before the escaping.
      const std::string field = to_utf8(utf::utf8_to_utf16(line.substr(b, t - b)));
      fields.push_back(to_utf32(utf::utf8_to_utf16(escape_controls(field))));
      if (t == std::string_view::npos) break;
      b = t + 1;
    }
    each(fields);
  }
}

// Prints an export file as an aligned table with the export's column names as the header. Only a
// regular file: a folder cannot be read, a device may never end, a named pipe may never open.
bool show_file(Host& host, const std::string& name) {
  FileStart file = host.read_file_start(host.path(name), kShowLimit);
  switch (file.kind) {
    case FileStart::Kind::file:
      break;
    case FileStart::Kind::folder:
      std::cerr << ".show: " << escape_controls(name) << " is a folder, not a file\n";
      return false;
    case FileStart::Kind::not_regular:
      std::cerr << ".show: " << escape_controls(name)
                << " is not a regular file (a device, pipe or socket)\n";
      return false;
    case FileStart::Kind::missing:
    case FileStart::Kind::unreadable:
      std::cerr << ".show: cannot open " << escape_controls(name)
                << (file.kind == FileStart::Kind::missing ? ": no such file" : "") << '\n';
      return false;
  }
  std::string& all = file.bytes;
  const std::uintmax_t size = file.size;
  const bool cut = size > all.size();
  // A line the limit cuts through is left out whole.
  if (cut) all.resize(all.rfind("\r\n") == std::string::npos ? 0 : all.rfind("\r\n") + 2);

  std::vector<std::u32string> header;
  for (std::string_view h : export_columns::of_file(name)) header.emplace_back(h.begin(), h.end());
  // Two passes over the text read: the widths of the columns, then the rows, so the table costs
  // no more than the text itself.
  constexpr int kMax = 24;
  std::vector<int> widths;
  std::size_t lines = 0;
  const auto measure = [&](const std::vector<std::u32string>& r) {
    if (widths.size() < r.size()) widths.resize(r.size(), 0);
    for (std::size_t i = 0; i < r.size(); ++i) {
      int w = 0;
      fit(r[i], kMax, w);
      widths[i] = std::max(widths[i], w);
    }
  };
  const auto print = [&](const std::vector<std::u32string>& r) {
    std::string out;
    for (std::size_t i = 0; i < r.size(); ++i) {
      int w = 0;
      out += utf32_to_utf8(fit(r[i], kMax, w));
      if (i + 1 < r.size()) out += std::string(static_cast<std::size_t>(widths[i] - w) + 2, ' ');
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    host.print(out);
  };
  measure(header);
  for_each_row(all, [&](const std::vector<std::u32string>& r) {
    measure(r);
    ++lines;
  });
  print(header);
  for_each_row(all, print);
  // Appended piece by piece: GCC 12 misreads "(" + std::to_string(...) as an overlapping copy.
  std::string count = "(";
  count += std::to_string(lines);
  count += lines == 1 ? " line" : " lines";
  if (cut) {
    count += "; .show reads the first ";
    count += std::to_string(kShowLimit >> 20);
    count += " MiB of its ";
    count += std::to_string(size);
    count += " bytes";
  }
  count += ')';
  host.print(count);
  return true;
}

class Shell {
 public:
  explicit Shell(Host& host) : host_(host), output_is_terminal_(host.output_is_terminal()) {}

  // The first instance; false when the component cannot be created.
  bool start() { return create(); }

  // Runs one line; false when it failed.
  bool run(const std::string& line) {
    // The name, every argument the widest method takes and one more (enough to tell "too
    // many"): a line of more words fails the same way, and its other words are only counted.
    static const std::size_t kKeptWords = most_parameters() + 2;
    auto parsed = parse_line(line, kKeptWords);
    if (!parsed.error.empty()) {
      std::cerr << "syntax error: " << parsed.error << '\n';
      outcome_.syntax_error = true;
      return false;
    }
    if (parsed.words.empty()) return true;
    std::string head = to_utf8(parsed.words[0]);
    if (!head.empty() && head[0] == '.') {
      const bool done = command(head, parsed.words);
      if (!done && !outcome_.syntax_error) outcome_.command_failed = true;
      return done;
    }
    if (head == "exit" || head == "quit") {
      quit_ = true;
      return true;
    }
    if (head == "help") return help(parsed.words);

    auto it = instances_.find(current_);
    if (it == instances_.end()) {
      std::cerr << "no current instance (use .new or .use N)\n";
      outcome_.command_failed = true;
      return false;
    }
    const std::vector<std::u16string> args(parsed.words.begin() + 1, parsed.words.end());
    interrupted = 0;
    const Outcome r = it->second->call(parsed.words[0], args);
    if (r.ok) {
      const bool failed = is_failure_result(head, r.text);
      if (failed) outcome_.failure_result = true;
      if (interrupted) {
        // Ctrl-C while waiting: the call ran to its end (it cannot be stopped midway), its output
        // is dropped as asked.
        std::cerr << "(interrupted: " << head << " finished, its result is not shown)\n";
        interrupted = 0;
      } else {
        host_.print(shown(r.text));
      }
      return !failed;
    }
    outcome_.escaped_error = true;
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(r.number));
    host_.print("error " + std::string(code) + ": " + shown(r.text));
    const MethodEntry* s = find_method_entry(head);
    if (!s && r.number == 0x80020006u)
      std::cerr << escape_controls(unknown_method_text(head)) << '\n';
    // The call did not fit the method (argument count, an int32 that is not one): say how.
    if (s && (r.number == 0x8002000Eu || r.number == 0x80020005u || r.number == 0x800A0006u)) {
      const std::string why = argument_problem(*s, args, parsed.word_count - 1);
      if (!why.empty()) std::cerr << escape_controls(why) << '\n';
      std::cerr << "usage: " << method_signature(*s) << '\n';
    }
    return false;
  }

  bool quit() const { return quit_; }
  const RunOutcome& outcome() const { return outcome_; }
  // A line that cannot be run at all (too long to read): a malformed line.
  void reject_line(const std::string& why) {
    std::cerr << "syntax error: " << why << '\n';
    outcome_.syntax_error = true;
  }

  // A result as printed: byte for byte to a pipe or file (scripts read it as data), with its
  // control characters escaped on a terminal, where a server's text could otherwise move the
  // cursor, rewrite what is shown or send the terminal commands.
  std::string shown(const std::string& text) {
    return output_is_terminal_ ? escape_controls(text) : text;
  }

 private:
  bool create() {
    auto instance = host_.create();
    if (!instance) return false;
    instances_.emplace(next_, std::move(instance));
    current_ = next_++;
    return true;
  }

  // A result that reports a failure: any text but "OK" (every text method answers "OK" on
  // success), or -12345678 from SmsJanek, the one method with a number for its result.
  static bool is_failure_result(const std::string& method, const std::string& text) {
    const MethodEntry* s = find_method_entry(method);
    if (s && s->int32_result) return text == "-12345678";
    return text != "OK";
  }

  // help: the method list; help METHOD: one method.
  bool help(const std::vector<std::u16string>& words) {
    if (words.size() == 1) {
      print_help(host_);
      return true;
    }
    const std::string name = to_utf8(words[1]);
    if (words.size() == 2) {
      if (const MethodEntry* s = find_method_entry(name)) {
        print_lines(host_, method_help(*s));
        return true;
      }
      std::cerr << "help: " << escape_controls(unknown_method_text(name)) << '\n';
    } else {
      std::cerr << "usage: help [METHOD]\n";
    }
    outcome_.syntax_error = true;
    return false;
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
      if (!create()) return false;
      host_.print(std::to_string(current_));
    } else if (head == ".use") {
      int n = number(1, -1);
      if (!instances_.count(n)) {
        std::cerr << "no instance " << escape_controls(to_utf8(words.size() > 1 ? words[1] : u""))
                  << '\n';
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
        host_.print(std::to_string(n) + (n == current_ ? " *" : ""));
      }
    } else if (head == ".show") {
      if (words.size() != 2) {
        std::cerr << "usage: .show FILE\n";
        return false;
      }
      return show_file(host_, to_utf8(words[1]));
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
      // In short steps, so Ctrl-C at the prompt ends the wait and keeps the session.
      using Clock = std::chrono::steady_clock;
      const Clock::time_point until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                         std::chrono::duration<double>(sec));
      interrupted = 0;
      while (!interrupted && Clock::now() < until) {
        const auto left = until - Clock::now();
        std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(50)));
      }
      if (interrupted) std::cerr << "(interrupted)\n";
      interrupted = 0;
    } else if (head == ".help") {
      print_help(host_);
    } else if (head == ".quit" || head == ".exit") {
      quit_ = true;
    } else {
      std::cerr << "unknown command " << escape_controls(head) << '\n';
      outcome_.syntax_error = true;
      return false;
    }
    return true;
  }

  Host& host_;
  const bool output_is_terminal_;
  std::map<int, std::unique_ptr<Instance>> instances_;
  int current_ = 0;
  int next_ = 1;
  bool quit_ = false;
  RunOutcome outcome_;
};

// The longest line the shell reads from a script, standard input or the prompt: far more than any
// call needs (a line of five million words fits), so that input without line ends (taviksms - <
// /dev/zero) cannot make it grow without bound.
constexpr std::size_t kMaxLineBytes = 16u << 20;

enum class LineRead { line, too_long, end };

// One line as std::getline reads it, at most `max` bytes: reading stops at the first byte past
// them (LineRead::too_long), so input that never ends a line costs no more than that.
LineRead read_line(std::istream& in, std::string& text, std::size_t max) {
  text.clear();
  const std::istream::sentry ready(in, true);
  if (!ready) return LineRead::end;
  std::streambuf& buffer = *in.rdbuf();
  for (bool any = false;;) {
    const int c = buffer.sbumpc();
    if (c == std::char_traits<char>::eof()) {
      in.setstate(any ? std::ios::eofbit : std::ios::eofbit | std::ios::failbit);
      return any ? LineRead::line : LineRead::end;
    }
    any = true;
    if (c == '\n') return LineRead::line;
    if (text.size() == max) {
      text.clear();
      return LineRead::too_long;
    }
    text.push_back(static_cast<char>(c));
  }
}

// With --echo, each call is printed before its result, so a script's output reads as a session.
// With --stop-on-failure, the first failing line ends the run.
struct Runner {
  Host& host;
  Shell& shell;
  bool echo = false;
  bool stop_on_failure = false;

  bool should_stop() const { return shell.quit() || (stop_on_failure && shell.outcome().any()); }

  bool line(const std::string& text) {
    if (echo) {
      const auto first = text.find_first_not_of(" \t\r");
      if (first != std::string::npos && text[first] != '#') host.print("> " + shell.shown(text));
    }
    return shell.run(text);
  }

  void stream(std::istream& in, bool prompt) {
    std::string text;
    bool first = true;
    // A person at a terminal gets line editing and history where the platform has them.
    std::unique_ptr<LineEditor> editor;
    if (prompt && &in == &std::cin && host.input_is_terminal()) editor = host.line_editor();
    while (!should_stop()) {
      if (editor) {
        const auto got = editor->read("taviksms> ", text);
        if (got == LineEditor::Outcome::interrupted) continue;
        if (got == LineEditor::Outcome::end) break;
        line(text);
        continue;
      }
      if (prompt) std::cout << "taviksms> " << std::flush;
      interrupted = 0;
      const LineRead got = read_line(in, text, kMaxLineBytes);
      if (got == LineRead::end) {
        if (prompt && interrupted) {
          // Ctrl-C at the prompt: drop the line, keep the session.
          in.clear();
          std::clearerr(stdin);
          std::cout << "^C\n";
          continue;
        }
        break;
      }
      if (prompt && interrupted) continue;
      if (got == LineRead::too_long) {
        // No longer lines of text (most likely no text at all): the rest is not read.
        shell.reject_line("a line longer than " + std::to_string(kMaxLineBytes >> 20) +
                          " MiB is not run, and the input after it is not read");
        break;
      }
      // Scripts saved on Windows: a UTF-8 byte order mark before the first line, CR LF line ends.
      if (first && text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
      first = false;
      if (!text.empty() && text.back() == '\r') text.pop_back();
      line(text);
    }
    if (prompt) host.print("");
  }
};

// `taviksms doctor`: one line per check, a hint under each failing one; 1 when any failed.
int run_doctor(Host& host) {
  bool all_ok = true;
  for (const auto& c : host.doctor()) {
    all_ok = all_ok && c.ok;
    std::string name = c.name;
    if (name.size() < 16) name.resize(16, ' ');
    // Details quote what the checks met (a server's message, ip1.ini's values, a refused
    // setting): their control characters are always escaped, as these lines are for reading.
    host.print((c.ok ? "ok    " : "FAIL  ") + escape_controls(name) + escape_controls(c.detail));
    if (!c.ok && !c.hint.empty()) host.print("      hint: " + escape_controls(c.hint));
  }
  host.print(all_ok ? "all checks passed" : "some checks failed");
  return all_ok ? 0 : 1;
}

// Whether the command line names the doctor: "doctor" where a script's name would stand (never a
// script of that name; "./doctor" is one).
bool names_doctor(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-c") {
      ++i;
    } else if (args[i].empty() || args[i][0] != '-' || args[i] == "-") {
      return args[i] == "doctor";
    }
  }
  return false;
}

}  // namespace

int run(Host& host, const std::vector<std::string>& args) {
  if (names_doctor(args)) {
    if (args.size() == 1) return run_doctor(host);
    // Its status already says whether a check failed; it runs every check, in order.
    std::cerr << "taviksms: doctor takes no options or arguments (usage: taviksms doctor; exit "
                 "status 1 when a check fails)\n";
    return 2;
  }
  std::vector<std::string> lines;
  std::string script;
  bool interactive = false;
  bool echo = false;
  bool stop_on_failure = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help" || a == "/?") {
      print_help(host);
      return 0;
    } else if (a == "-c") {
      if (++i >= args.size()) {
        std::cerr << "taviksms: -c needs a line\n";
        return 2;
      }
      lines.push_back(args[i]);
    } else if (a == "-i") {
      interactive = true;
    } else if (a == "-e" || a == "--echo") {
      echo = true;
    } else if (a == "-x" || a == "--stop-on-failure") {
      stop_on_failure = true;
    } else if (a == "--version") {
      print_lines(host, version_text());
      return 0;
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

  Shell shell(host);
  if (!shell.start()) return 2;
  Runner runner{host, shell, echo, stop_on_failure};
  for (const auto& l : lines) {
    if (runner.should_stop()) break;
    runner.line(l);
  }
  if (!script.empty() && !runner.should_stop()) {
    if (script == "-") {
      runner.stream(std::cin, false);
    } else {
      std::ifstream f(host.path(script));
      if (!f) {
        std::cerr << "taviksms: cannot open " << script << '\n';
        return 2;
      }
      runner.stream(f, false);
    }
  }
  if ((interactive || (lines.empty() && script.empty())) && !runner.should_stop()) {
    const bool tty = host.input_is_terminal();
    const bool prompt = interactive || tty;
    // Ctrl-C at a terminal interrupts the read instead of ending the process.
    if (prompt && tty) host.catch_interrupts([](int) { interrupted = 1; });
    runner.stream(std::cin, prompt);
  }
  return shell.outcome().exit_status(stop_on_failure);
}

}  // namespace taviksms::shell
