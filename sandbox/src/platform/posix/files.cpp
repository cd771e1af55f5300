// Upload files on POSIX: open(2) with O_NOFOLLOW, pwrite(2), stat(2).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files.h"

namespace sandbox::files {
namespace {

Failure failure_of(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
      return Failure::kNoSuchFile;
    case EACCES:
    case EPERM:
    case EROFS:
      return Failure::kPermissionDenied;
    default:
      return Failure::kOther;
  }
}

FileFacts facts_of(const struct stat& st) {
  FileFacts f;
  f.directory = S_ISDIR(st.st_mode);
  f.size = static_cast<std::uint64_t>(st.st_size);
  f.mode = static_cast<std::uint32_t>(st.st_mode);
  f.atime = st.st_atime;
  f.mtime = st.st_mtime;
  return f;
}

}  // namespace

std::optional<FileFacts> stat_path(const std::filesystem::path& path, Failure& failure) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    failure = failure_of(errno);
    return std::nullopt;
  }
  return facts_of(st);
}

bool is_plain_file(const std::filesystem::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::unique_ptr<WriteFile> WriteFile::open(const std::filesystem::path& path, OpenFlags flags,
                                           Failure& failure, std::string& why) {
  int oflags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW;
  if (flags.create) oflags |= O_CREAT;
  if (flags.truncate) oflags |= O_TRUNC;
  if (flags.exclusive) oflags |= O_EXCL;
  if (flags.append) oflags |= O_APPEND;
  const int fd = ::open(path.c_str(), oflags, 0644);
  if (fd < 0) {
    failure = failure_of(errno);
    why = std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<WriteFile>(new WriteFile(fd));
}

WriteFile::~WriteFile() {
  close();
}

bool WriteFile::write_at(std::uint64_t offset, const char* data, std::size_t size,
                         Failure& failure) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::pwrite(static_cast<int>(handle_), data + done, size - done,
                               static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure = failure_of(errno);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<FileFacts> WriteFile::facts(Failure& failure) const {
  struct stat st {};
  if (::fstat(static_cast<int>(handle_), &st) != 0) {
    failure = failure_of(errno);
    return std::nullopt;
  }
  return facts_of(st);
}

bool WriteFile::close() {
  if (handle_ < 0) return true;
  const int rc = ::close(static_cast<int>(handle_));
  handle_ = -1;
  return rc == 0;
}

bool write_private_file(const std::filesystem::path& path, std::string_view contents) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  for (std::size_t done = 0; ok && done < contents.size();) {
    const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  return ::close(fd) == 0 && ok;
}

bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to,
                  std::string& why) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  why = std::strerror(errno);
  return false;
}

bool file_name_allowed(std::string_view) {
  return true;
}

}  // namespace sandbox::files
