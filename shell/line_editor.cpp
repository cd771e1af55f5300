#include "line_editor.h"

#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

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
  }
  ~EditLineEditor() override {
    if (path_.empty() || !dirty_) return;
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
  static constexpr int kKeep = 1000;
  static inline volatile std::sig_atomic_t interrupted_ = 0;
  std::string path_;
  std::string last_;
  bool dirty_ = false;
};

}  // namespace

std::unique_ptr<LineEditor> LineEditor::open() {
  return std::make_unique<EditLineEditor>();
}

#else

std::unique_ptr<LineEditor> LineEditor::open() {
  return nullptr;
}

#endif

}  // namespace taviksms::shell
