// Folders on POSIX: the shared object's own folder, ip1.ini's folder (the library's, or the
// user's cache folder when that one is not writable) and the flock that guards it.
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix_platform.h"

namespace taviksms::platform::posix {

bool folder_writable(const std::string& folder) {
  return faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

std::string PosixPlatform::user_cache_base() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buf(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
  struct passwd pw {};
  struct passwd* found = nullptr;
  while (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == ERANGE &&
         buf.size() < (1u << 20)) {
    buf.resize(buf.size() * 2);
  }
  return cache_base_from(found ? found->pw_dir : nullptr, std::getenv("XDG_CACHE_HOME"),
                         std::getenv("HOME"));
}

std::string cache_base_from(const char* pw_dir, const char* xdg_cache_home, const char* home) {
  auto trimmed = [](std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
  };
  if (pw_dir && pw_dir[0] == '/') return trimmed(pw_dir) + "/.cache";
  // No entry in the password database: the environment's folders, absolute ones only.
  if (xdg_cache_home && xdg_cache_home[0] == '/') return trimmed(xdg_cache_home);
  if (home && home[0] == '/') return trimmed(home) + "/.cache";
  return {};
}

PosixPlatform::UserFolder PosixPlatform::user_folder() {
  const std::string base = user_cache_base();
  if (base.empty()) return {};
  const std::string own = base + "/taviksms";
  ::mkdir(base.c_str(), 0700);  // may exist already
  if (::mkdir(own.c_str(), 0700) != 0 && errno != EEXIST) {
    return {own, std::string("cannot be created: ") + std::strerror(errno)};
  }
  if (!folder_writable(own)) return {own, "is not writable"};
  return {own, {}};
}

Platform::Report PosixPlatform::config_folder_report() {
  const std::string lib = to_ansi(library_folder());
  if (folder_writable(lib)) return {true, lib + " (the library's folder), writable"};
  // The folders really tried, in order, and why each failed: a hint that names them leads
  // somewhere, also for a user without a usable home (nobody's is /nonexistent).
  const UserFolder user = user_folder();
  if (user.path.empty()) {
    return {false,
            lib +
                " (the library's folder) is not writable, and no per-user folder is known: the "
                "password database gives this user no home folder, and neither $XDG_CACHE_HOME "
                "nor $HOME names an absolute one",
            "make " + lib +
                " writable for this user, or set XDG_CACHE_HOME (or HOME) to an absolute folder "
                "this user can write"};
  }
  if (!user.problem.empty()) {
    return {false,
            lib + " (the library's folder) is not writable, and the per-user folder " + user.path +
                " " + user.problem,
            "make one of the two writable for this user: " + lib + ", or " + user.path +
                " (made from the home folder the password database gives this user; "
                "$XDG_CACHE_HOME and $HOME count only for a user it does not know)"};
  }
  return {true, user.path + " (per-user folder: the library's folder " + lib + " is not writable)"};
}

std::u16string PosixPlatform::config_folder() {
  std::u16string lib = library_folder();
  if (folder_writable(to_ansi(lib))) return lib;
  // A system-wide install: the library's folder belongs to root.
  const UserFolder user = user_folder();
  return user.path.empty() || !user.problem.empty() ? lib : from_ansi(user.path);
}

std::shared_ptr<void> PosixPlatform::lock_config_file(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  // The folder itself is locked: nothing new appears in it, and a lock on the file would be lost
  // with the inode that the rename replaces.
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(fd);
      return nullptr;
    }
  }
  return std::shared_ptr<void>(new int(fd), [](void* p) {
    int* held = static_cast<int*>(p);
    ::flock(*held, LOCK_UN);
    ::close(*held);
    delete held;
  });
}

std::u16string PosixPlatform::library_folder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&default_platform), &info) == 0 || !info.dli_fname) {
    return u".";
  }
  std::string file = info.dli_fname;
  std::size_t slash = file.rfind('/');
  std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : file.substr(0, slash));
  return from_ansi(folder);
}

}  // namespace taviksms::platform::posix
