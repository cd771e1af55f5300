// Files on Windows: export files (opened without write sharing, written with WriteFile), the
// trace file's handle, the history window's saved file, file lengths through the ANSI file API,
// and replacing ip1.ini.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "base/error.h"
#include "platform/win32/win32_platform.h"

namespace taviksms::platform::win32 {

namespace {

// The runtime's file-error number for a Win32 error of CreateFileW or WriteFile.
std::int32_t file_error_number(DWORD e) {
  switch (e) {
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return 75;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return 70;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND:
      return 76;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return 61;
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return 52;
    default:
      return 57;
  }
}

class Win32OutputFile final : public OutputFile {
 public:
  explicit Win32OutputFile(HANDLE h) : h_(h) {}
  ~Win32OutputFile() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  void write(std::string_view bytes) override {
    if (h_ == INVALID_HANDLE_VALUE) core::raise_file_error(52);
    while (!bytes.empty()) {
      DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
      DWORD done = 0;
      if (!WriteFile(h_, bytes.data(), chunk, &done, nullptr)) {
        core::raise_file_error(file_error_number(GetLastError()));
      }
      bytes.remove_prefix(done);
    }
  }
  void close() override {
    if (h_ == INVALID_HANDLE_VALUE) return;
    BOOL ok = CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    if (!ok) core::raise_file_error(file_error_number(GetLastError()));
  }

 private:
  HANDLE h_;
};

}  // namespace

std::unique_ptr<OutputFile> output_file(void* handle) {
  return std::make_unique<Win32OutputFile>(static_cast<HANDLE>(handle));
}

std::unique_ptr<OutputFile> Win32Platform::create_output_file(const std::u16string& name) {
  if (name.empty() || name.find(u'\0') != std::u16string::npos) core::raise_file_error(52);
  // Others may read the file while it is written, as with the runtime's sequential output, but
  // not write it: another session's export of the same file (which asks for write access) fails
  // with a sharing violation ("Permission denied") until this one is closed, and never empties it.
  HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(name.c_str()), GENERIC_WRITE,
                         FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) core::raise_file_error(file_error_number(GetLastError()));
  // Only a file on a disk keeps what is written (not a pipe or a device such as NUL).
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    core::raise_file_error(75);
  }
  return std::make_unique<Win32OutputFile>(h);
}

// By its wide name, as the save dialog gives it; the C runtime's errno says what failed.
void Win32Platform::save_file(const std::u16string& name, std::string_view bytes) {
  if (name.empty() || name.find(u'\0') != std::u16string::npos) core::raise_save_error(ENOENT);
  std::FILE* f = _wfopen(reinterpret_cast<const wchar_t*>(name.c_str()), L"wb");
  if (!f) core::raise_save_error(errno);
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int write_errno = errno;
  const bool closed = std::fclose(f) == 0;
  if (!written) core::raise_save_error(write_errno);
  if (!closed) core::raise_save_error(errno);
}

std::int64_t Win32Platform::file_length(const std::string& ansi_path) {
  if (ansi_path.empty() || ansi_path.find('\0') != std::string::npos) return -1;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(ansi_path.c_str(), GetFileExInfoStandard, &data)) return -1;
  // Only a regular file has a length; folders and devices count as no file.
  if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return -1;
  return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Moves the finished file over the target. Another thread may be reading the old ip1.ini at this
// moment, which makes the replace fail briefly: retry for a short while.
bool replace_file_retrying(const std::string& from, const std::string& to) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    Sleep(25);
  }
  return false;
}

bool Win32Platform::replace_file(const std::string& from, const std::string& to) {
  return replace_file_retrying(from, to);
}

void Win32Platform::remove_file(const std::string& path) {
  DeleteFileA(path.c_str());
}

}  // namespace taviksms::platform::win32
