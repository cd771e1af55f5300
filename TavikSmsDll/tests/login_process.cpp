// One host process for the tests of processes sharing ip1.ini: logs in once with the mirrors and
// library folder given, prints the result and where ip1.ini went.
// Usage: taviksms_login_process MIRROR1 MIRROR2 MIRROR3 LIBRARY_FOLDER [CACHE_BASE [UID]]
//        taviksms_login_process --hold FILE SECONDS
// --hold opens FILE as an export file the way a session does, writes "held" CR LF, prints
// "held", keeps it open for SECONDS and closes it: another process's export meeting it.
// CACHE_BASE replaces the user's cache folder; UID (when run as root) is taken on before
// anything else, so that the library folder's permissions apply.
#include <taviksms/taviksms.h>

#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/platform/testing.h"
#include "base/text.h"
#include "platform/posix/posix_platform.h"

namespace {

class ProcessPlatform : public taviksms::platform::posix::PosixPlatform {
 public:
  ProcessPlatform(std::vector<std::u16string> mirrors, std::string folder, std::string cache)
      // A connect limit of 5 s: many processes start at once, and a mirror's full listen
      // queue answers a connect only at the client's first retry, a second later.
      : PosixPlatform({5000, 10000, 1 << 20}),
        mirrors_(std::move(mirrors)),
        folder_(std::move(folder)),
        cache_(std::move(cache)) {}
  std::vector<std::u16string> mirror_bases() const override { return mirrors_; }
  std::u16string library_folder() override { return from_ansi(folder_); }
  std::string user_cache_base() override {
    return cache_.empty() ? PosixPlatform::user_cache_base() : cache_;
  }

 private:
  std::vector<std::u16string> mirrors_;
  std::string folder_;
  std::string cache_;
};

}  // namespace

int hold(const char* file, const char* seconds) {
  taviksms::platform::Platform& p = taviksms::platform::default_platform();
  try {
    auto f = p.create_output_file(p.from_ansi(file));
    f->write("held\r\n");
    std::printf("held\n");
    std::fflush(stdout);
    ::sleep(static_cast<unsigned>(std::stoul(seconds)));
    f->close();
  } catch (...) {
    std::printf("failed\n");
    return 1;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--hold") return hold(argv[2], argv[3]);
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s M1 M2 M3 FOLDER [CACHE_BASE [UID]]\n", argv[0]);
    return 2;
  }
  if (argc > 6 && geteuid() == 0) {
    const auto id = static_cast<uid_t>(std::stoul(argv[6]));
    if (setgid(id) != 0 || setuid(id) != 0) {
      std::perror("setuid");
      return 2;
    }
  }
  std::vector<std::u16string> mirrors;
  for (int i = 1; i <= 3; ++i) mirrors.push_back(taviksms::core::utf8_to_utf16(argv[i]));
  ProcessPlatform platform(std::move(mirrors), argv[4], argc > 5 ? argv[5] : "");
  taviksms::platform::ScopedPlatformOverride use(platform);
  std::u16string result;
  {
    taviksms::TavikSms c;
    result = c.Login(u"demo", u"demo1234");
    c.Logout();
  }
  std::printf("%s\n%s\n", taviksms::core::utf16_to_utf8(result).c_str(),
              taviksms::core::utf16_to_utf8(platform.config_folder()).c_str());
  return result == u"OK" ? 0 : 1;
}
