// The history file: created or emptied, written whole, closed; failures as the runtime's file
// errors so the window can show their number and description.
#include <cerrno>
#include <cstdio>

#include "base/error.h"
#include "base/platform/platform.h"
#include "history_window/history_window.h"

namespace taviksms::history {

namespace {

[[noreturn]] void raise_file_error(int e) {
  using core::err::runtime;
  switch (e) {
    case EACCES:
    case EPERM:
    case EROFS:
      throw core::Error(runtime(70), u"TavikSmsDll", u"Permission denied");
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
      throw core::Error(runtime(76), u"TavikSmsDll", u"Path not found");
    case ENOSPC:
      throw core::Error(runtime(61), u"TavikSmsDll", u"Disk full");
    case EMFILE:
    case ENFILE:
      throw core::Error(runtime(67), u"TavikSmsDll", u"Too many files");
    default:
      throw core::Error(runtime(75), u"TavikSmsDll", u"Path/File access error");
  }
}

}  // namespace

void write_file(const std::u16string& path, const std::string& bytes) {
  if (path.find(u'\0') != std::u16string::npos) raise_file_error(ENOENT);
#ifdef _WIN32
  std::FILE* f = _wfopen(reinterpret_cast<const wchar_t*>(path.c_str()), L"wb");
#else
  const std::string native = platform::current().to_ansi(path);
  std::FILE* f = std::fopen(native.c_str(), "wb");
#endif
  if (!f) raise_file_error(errno);
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int write_errno = errno;
  const bool closed = std::fclose(f) == 0;
  if (!written) raise_file_error(write_errno);
  if (!closed) raise_file_error(errno);
}

}  // namespace taviksms::history
