// taviksms on Linux: the shell over libtaviksms, through the C++ API's late-bound invoke.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <iostream>

#include <taviksms/doctor.h>
#include <taviksms/taviksms.h>
#include <taviksms_common/utf8.h>

#include "shell.h"

namespace {

using taviksms::shell::Outcome;

class LibraryInstance final : public taviksms::shell::Instance {
 public:
  Outcome call(const std::u16string& name, const std::vector<std::u16string>& args) override {
    const std::vector<taviksms::Value> values(args.begin(), args.end());
    try {
      const taviksms::Value r = object_.invoke(taviksms::utf::utf16_to_utf8(name), values);
      if (const auto* text = std::get_if<std::u16string>(&r)) {
        return {true, taviksms::utf::utf16_to_utf8(*text)};
      }
      return {true, std::to_string(std::get<std::int32_t>(r))};
    } catch (const taviksms::ComError& e) {
      return {false, taviksms::utf::utf16_to_utf8(e.description),
              static_cast<std::uint32_t>(e.number)};
    }
  }

 private:
  taviksms::TavikSms object_;
};

class PosixHost final : public taviksms::shell::Host {
 public:
  std::unique_ptr<taviksms::shell::Instance> create() override {
    return std::make_unique<LibraryInstance>();
  }
  void print(std::string_view line) override { std::cout << line << '\n' << std::flush; }
  bool input_is_terminal() override { return isatty(STDIN_FILENO) != 0; }
  bool output_is_terminal() override { return isatty(STDOUT_FILENO) != 0; }
  // Names are bytes on Linux: taken as they are, whatever their encoding.
  std::filesystem::path path(const std::string& name) override { return name; }
  std::string_view help_notes() const override { return {}; }

  // Opened without waiting (a named pipe opens at once instead of waiting for a writer), then the
  // open file is checked: whatever the name pointed to before, only what was opened is read.
  taviksms::shell::FileStart read_file_start(const std::filesystem::path& path,
                                             std::size_t limit) override {
    using Kind = taviksms::shell::FileStart::Kind;
    taviksms::shell::FileStart out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      out.kind = errno == ENOENT ? Kind::missing : Kind::unreadable;
      return out;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      out.kind = Kind::unreadable;
    } else if (S_ISDIR(st.st_mode)) {
      out.kind = Kind::folder;
    } else if (!S_ISREG(st.st_mode)) {
      out.kind = Kind::not_regular;
    } else {
      out.kind = Kind::file;
      out.size = static_cast<std::uintmax_t>(st.st_size);
      out.bytes.resize(static_cast<std::size_t>(std::min<std::uintmax_t>(out.size, limit)));
      std::size_t got = 0;
      while (got < out.bytes.size()) {
        const ssize_t n = ::read(fd, out.bytes.data() + got, out.bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
      }
      out.bytes.resize(got);
    }
    ::close(fd);
    return out;
  }

  // The library's own checks, on this thread.
  std::vector<taviksms::shell::DoctorLine> doctor() override {
    std::vector<taviksms::shell::DoctorLine> out;
    try {
      for (auto& c : taviksms::doctor_checks()) {
        out.push_back({c.ok, std::move(c.name), std::move(c.detail), std::move(c.hint)});
      }
    } catch (const std::exception& e) {
      out.push_back({false, "doctor", e.what(), {}});
    }
    return out;
  }
  std::unique_ptr<taviksms::shell::LineEditor> line_editor() override {
    return isatty(STDOUT_FILENO) ? taviksms::shell::LineEditor::open() : nullptr;
  }
  // Without SA_RESTART, so a waiting read returns.
  void catch_interrupts(void (*handler)(int)) override {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
  }
};

}  // namespace

int main(int argc, char** argv) {
  PosixHost host;
  return taviksms::shell::run(host, std::vector<std::string>(argv + 1, argv + argc));
}
