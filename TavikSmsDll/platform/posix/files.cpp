// Files on POSIX: export files (locked with flock, written with write(2)), the history window's
// saved file, and file lengths for the picture upload.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/error.h"
#include "platform/posix/posix_platform.h"

namespace taviksms::platform::posix {

namespace {

// The runtime's file-error number for an errno of open(2) or write(2).
std::int32_t file_error_number(int e) {
  switch (e) {
    case EACCES:
    case EROFS:
    case EISDIR:
      return 75;
    case EPERM:
    case ETXTBSY:
    case EBUSY:
      return 70;
    case ENOENT:
    case ENOTDIR:
      return 76;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return 61;
    case ENAMETOOLONG:
    case EILSEQ:
      return 52;
    default:
      return 57;
  }
}

class PosixOutputFile final : public OutputFile {
 public:
  explicit PosixOutputFile(int fd) : fd_(fd) {}
  ~PosixOutputFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  void write(std::string_view bytes) override {
    if (fd_ < 0) core::raise_file_error(52);
    while (!bytes.empty()) {
      ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        core::raise_file_error(file_error_number(errno));
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void close() override {
    if (fd_ < 0) return;
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0 && errno != EINTR) core::raise_file_error(file_error_number(errno));
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<OutputFile> PosixPlatform::create_output_file(const std::u16string& name) {
  std::string path = to_ansi(name);
  if (path.empty() || path.find('\0') != std::string::npos) core::raise_file_error(52);
  // Not blocking: a named pipe under the export's name would otherwise wait for a reader forever.
  // Only a plain file is written; a pipe, a device or a socket would take the lines (and in the
  // acknowledge mode the rows) without keeping them.
  // Not emptied on open: another session (a thread of this process or another process with the
  // same current directory) may be writing the file and has acknowledged the rows it wrote.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) core::raise_file_error(errno == ENXIO ? 75 : file_error_number(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    core::raise_file_error(75);
  }
  // Held from here until the file is closed. flock belongs to this open file description, so it
  // keeps two threads of one process apart as well as two processes. A file in use elsewhere
  // fails as a locked file does on Windows, before anything is read or emptied.
  int rc = 0;
  while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    const int e = errno;
    ::close(fd);
    core::raise_file_error(e == EWOULDBLOCK ? 70 : file_error_number(e));
  }
  if (::ftruncate(fd, 0) != 0) {
    const int e = errno;
    ::close(fd);
    core::raise_file_error(file_error_number(e));
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return std::make_unique<PosixOutputFile>(fd);
}

void PosixPlatform::save_file(const std::u16string& name, std::string_view bytes) {
  const std::string path = to_ansi(name);
  if (path.empty() || path.find('\0') != std::string::npos) core::raise_save_error(ENOENT);
  // Not blocking on the open: a named pipe nobody reads fails at once (ENXIO) instead of waiting.
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd < 0) core::raise_save_error(errno);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int failed = 0;
  while (!bytes.empty() && !failed) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed = n < 0 ? errno : ENOSPC;
    } else {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  if (::close(fd) != 0 && !failed && errno != EINTR) failed = errno;
  if (failed) core::raise_save_error(failed);
}

std::int64_t PosixPlatform::file_length(const std::string& ansi_path) {
  // A name holding NUL would name a different (shorter) path in the C interface.
  if (ansi_path.empty() || ansi_path.find('\0') != std::string::npos) return -1;
  struct stat st {};
  if (::stat(ansi_path.c_str(), &st) != 0) return -1;
  // Only a regular file has a length; directories, devices and pipes count as no file.
  if (!S_ISREG(st.st_mode)) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

}  // namespace taviksms::platform::posix
