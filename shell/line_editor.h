// The interactive prompt's line reader: line editing and history kept per user (libedit on
// Linux; the console's own editing on Windows, where this reader is not built). History lives in
// $TAVIKSMS_HISTORY, else $XDG_STATE_HOME/taviksms/history, else ~/.local/state/taviksms/history;
// a history file that cannot be read or written (a folder, no permission) only costs the history.
// Lines that carry a password (Login, AddMember) are recalled during the session but never
// written to the file.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace taviksms::shell {

class LineEditor {
 public:
  // nullptr when this build has no line editor (the caller reads plain lines then).
  static std::unique_ptr<LineEditor> open();
  virtual ~LineEditor() = default;

  enum class Outcome { line, interrupted, end };
  // One line without its end. `interrupted`: Ctrl-C abandoned the line; `end`: Ctrl-D.
  virtual Outcome read(const char* prompt, std::string& line) = 0;
};

// Where the history is kept, from the environment; empty when there is no home to keep it in.
std::string history_path();

}  // namespace taviksms::shell
