#include "line_editor.h"

#include <sys/stat.h>

#include <langinfo.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <vector>

#include "command_line.h"

#if defined(TAVIKSMS_SHELL_LIBEDIT)
#include <editline/readline.h>
#endif

namespace taviksms::shell {

std::string history_path() {
  if (const char* own = std::getenv("TAVIKSMS_HISTORY"); own && *own) return own;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/') {
    return std::string(state) + "/taviksms/history";
  }
  if (const char* home = std::getenv("HOME"); home && *home) {
    return std::string(home) + "/.local/state/taviksms/history";
  }
  return {};
}

#if defined(TAVIKSMS_SHELL_LIBEDIT)

namespace {

// Only a regular file (or none yet) is history: a folder or a device in its place is left alone.
bool usable_history_file(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno == ENOENT;
  return S_ISREG(st.st_mode);
}

bool ctype_is_utf8() {
  const char* codeset = nl_langinfo(CODESET);
  return codeset && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
}

// libedit decodes the keys and measures the characters it draws by the C library's LC_CTYPE, and
// a program's LC_CTYPE is "C" (ASCII) until it sets one: every byte of a Korean character would
// be dropped. The shell reads UTF-8 from every source, so the prompt takes the environment's
// LC_CTYPE when that is UTF-8 and C.UTF-8 otherwise (no locale set, or one of another code set,
// where the terminal's bytes could not be read as the shell's input anyway). Only LC_CTYPE: the
// numbers the shell reads (".sleep 0.5") keep the C locale's decimal point, and the component
// reads the environment's locale by itself.
void use_utf8_ctype() {
  if (std::setlocale(LC_CTYPE, "") && ctype_is_utf8()) return;
  for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
    if (std::setlocale(LC_CTYPE, name) && ctype_is_utf8()) return;
  }
  std::setlocale(LC_CTYPE, "C");
  std::cerr << "taviksms: no UTF-8 locale here: the prompt reads ASCII only\n";
}

class EditLineEditor : public LineEditor {
 public:
  EditLineEditor() : path_(history_path()) {
    using_history();
    stifle_history(kKeep);
    if (!usable_history_file(path_)) {
      if (!path_.empty())
        std::cerr << "taviksms: history not kept: " << path_ << " is not a file\n";
      path_.clear();
      return;
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
    read_history(path_.c_str());  // a missing or unreadable file is an empty history
    // A file written before passwords were kept out of it is cleaned at the next save.
    for (const auto& line : history_lines()) dirty_ = dirty_ || holds_password(line);
  }
  ~EditLineEditor() override {
    if (path_.empty() || !dirty_) return;
    // Calls that carry a password (Login, AddMember) can be recalled during the session but are
    // never written to the file.
    const std::vector<std::string> lines = history_lines();
    clear_history();
    for (const auto& line : lines) {
      if (!holds_password(line)) add_history(line.c_str());
    }
    if (write_history(path_.c_str()) != 0) {
      std::cerr << "taviksms: history not saved to " << path_ << '\n';
    }
  }

  Outcome read(const char* prompt, std::string& line) override {
    interrupted_ = 0;
    struct sigaction sa {
    }, old{};
    sa.sa_handler = [](int) { interrupted_ = 1; };
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the read returns, the line is abandoned
    sigaction(SIGINT, &sa, &old);
    char* got = readline(prompt);
    sigaction(SIGINT, &old, nullptr);
    if (interrupted_) {
      std::free(got);
      std::cout << '\n' << std::flush;
      return Outcome::interrupted;
    }
    if (!got) return Outcome::end;
    line = got;
    std::free(got);
    if (line.find_first_not_of(" \t") != std::string::npos && line != last_) {
      add_history(line.c_str());
      last_ = line;
      dirty_ = true;
    }
    return Outcome::line;
  }

 private:
  static std::vector<std::string> history_lines() {
    std::vector<std::string> lines;
    for (int i = 0; i < history_length; ++i) {
      if (const HIST_ENTRY* e = history_get(history_base + i); e && e->line)
        lines.push_back(e->line);
    }
    return lines;
  }

  static constexpr int kKeep = 1000;
  static inline volatile std::sig_atomic_t interrupted_ = 0;
  std::string path_;
  std::string last_;
  bool dirty_ = false;
};

}  // namespace

std::unique_ptr<LineEditor> LineEditor::open() {
  use_utf8_ctype();  // before libedit starts: it reads the character set once
  return std::make_unique<EditLineEditor>();
}

#else

std::unique_ptr<LineEditor> LineEditor::open() {
  return nullptr;
}

#endif

}  // namespace taviksms::shell
