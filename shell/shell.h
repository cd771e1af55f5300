// The taviksms shell, one source for Linux and Windows: options, the line loop, the dot commands
// and the output. What differs per platform (how an instance is created and called, how a line
// reaches the terminal, how a file name becomes a path) is a Host, implemented in shell/posix/
// and shell/win32/; those include this header, never the other way round.
#pragma once

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "line_editor.h"

namespace taviksms::shell {

// What a method call gave back.
struct Outcome {
  bool ok = true;
  std::string text;          // UTF-8: the result (an int32 in decimal), or the error's description
  std::uint32_t number = 0;  // the error's number (an HRESULT) when !ok
};

// One instance of the component.
class Instance {
 public:
  virtual ~Instance() = default;
  // Calls method `name` (as typed: any case) with texts as arguments.
  virtual Outcome call(const std::u16string& name, const std::vector<std::u16string>& args) = 0;
};

// One check of `taviksms doctor`: what it found and, when it failed, what to do.
struct DoctorLine {
  bool ok = false;
  std::string name;    // "mirror 1", "ODBC driver", ...
  std::string detail;  // UTF-8
  std::string hint;
};

// What reading a file for .show found.
struct FileStart {
  enum class Kind { file, missing, folder, not_regular, unreadable } kind = Kind::unreadable;
  std::string bytes;        // the first bytes, up to the limit asked for (Kind::file only)
  std::uintmax_t size = 0;  // the whole file's size
};

class Host {
 public:
  virtual ~Host() = default;
  // A new instance; nullptr (after saying why on standard output) when none can be created.
  virtual std::unique_ptr<Instance> create() = 0;
  // One line of standard output (without its line end).
  virtual void print(std::string_view utf8_line) = 0;
  virtual bool input_is_terminal() = 0;
  // Whether standard output is a terminal (a console on Windows): results are then shown with
  // their control characters escaped; to a pipe or a file they go byte for byte.
  virtual bool output_is_terminal() = 0;
  // A file named on the command line or in a line (UTF-8).
  virtual std::filesystem::path path(const std::string& utf8_name) = 0;
  // The first `limit` bytes of the file `path`, if it is a regular file. The name is opened first
  // (without waiting) and the open file checked, so a name swapped for a named pipe between a
  // check and the open can never block the shell.
  virtual FileStart read_file_start(const std::filesystem::path& path, std::size_t limit) = 0;
  // The platform's paragraph of the help text (may be empty).
  virtual std::string_view help_notes() const = 0;

  // The checks of `taviksms doctor`, in order, run with the component this shell calls.
  virtual std::vector<DoctorLine> doctor() = 0;
  // The prompt's line editor (editing, history); nullptr: plain lines (the console's own editing).
  virtual std::unique_ptr<LineEditor> line_editor() { return nullptr; }
  // At a terminal, Ctrl-C calls `handler` and interrupts a read that is waiting, rather than
  // ending the process.
  virtual void catch_interrupts(void (*handler)(int)) { std::signal(SIGINT, handler); }
};

// Runs the shell with the command-line arguments after the program name (UTF-8); returns the
// exit status.
int run(Host& host, const std::vector<std::string>& args);

}  // namespace taviksms::shell
