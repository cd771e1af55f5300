// Upload files on Windows: CreateFileW (a reparse point is opened as itself, never followed),
// WriteFile at an offset, GetFileAttributesExW.
#include <windows.h>

#include <algorithm>
#include <array>
#include <system_error>

#include "platform/files.h"

namespace sandbox::files {
namespace {

Failure failure_of(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return Failure::kNoSuchFile;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_FILE_EXISTS:
      return Failure::kPermissionDenied;
    default:
      return Failure::kOther;
  }
}

std::string text_of(DWORD e) {
  char text[512] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, e, 0, text, sizeof text, nullptr);
  std::string out(text, n);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out.empty() ? "error " + std::to_string(e) : out;
}

std::int64_t unix_seconds(const FILETIME& t) {
  const std::uint64_t ticks = (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000) - 11644473600LL;  // 1601 -> 1970
}

FileFacts facts_of(DWORD attributes, std::uint64_t size, const FILETIME& accessed,
                   const FILETIME& written) {
  FileFacts f;
  f.directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  f.size = f.directory ? 0 : size;
  const bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  f.mode = f.directory ? 040755 : (read_only ? 0100444 : 0100644);
  f.atime = unix_seconds(accessed);
  f.mtime = unix_seconds(written);
  return f;
}

HANDLE as_handle(std::intptr_t h) {
  return reinterpret_cast<HANDLE>(h);
}

}  // namespace

std::optional<FileFacts> stat_path(const std::filesystem::path& path, Failure& failure) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    failure = failure_of(::GetLastError());
    return std::nullopt;
  }
  return facts_of(data.dwFileAttributes,
                  (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow,
                  data.ftLastAccessTime, data.ftLastWriteTime);
}

bool is_plain_file(const std::filesystem::path& path) {
  const DWORD a = ::GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES &&
         (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) ==
             0;
}

std::unique_ptr<WriteFile> WriteFile::open(const std::filesystem::path& path, OpenFlags flags,
                                           Failure& failure, std::string& why) {
  DWORD disposition = OPEN_EXISTING;
  if (flags.create && flags.exclusive) {
    disposition = CREATE_NEW;
  } else if (flags.create && flags.truncate) {
    disposition = CREATE_ALWAYS;
  } else if (flags.create) {
    disposition = OPEN_ALWAYS;
  } else if (flags.truncate) {
    disposition = TRUNCATE_EXISTING;
  }
  const DWORD access = flags.append ? FILE_APPEND_DATA | SYNCHRONIZE : GENERIC_WRITE;
  // Shared as POSIX files are: the control port reads and deletes uploads while they are open.
  HANDLE h = ::CreateFileW(
      path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = ::GetLastError();
    failure = failure_of(e);
    why = text_of(e);
    return nullptr;
  }
  return std::unique_ptr<WriteFile>(new WriteFile(reinterpret_cast<std::intptr_t>(h)));
}

WriteFile::~WriteFile() {
  close();
}

bool WriteFile::write_at(std::uint64_t offset, const char* data, std::size_t size,
                         Failure& failure) {
  for (std::size_t done = 0; done < size;) {
    OVERLAPPED at{};
    const std::uint64_t where = offset + done;
    at.Offset = static_cast<DWORD>(where);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(as_handle(handle_), data + done, chunk, &written, &at) || written == 0) {
      failure = failure_of(::GetLastError());
      return false;
    }
    done += written;
  }
  return true;
}

std::optional<FileFacts> WriteFile::facts(Failure& failure) const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(as_handle(handle_), &info)) {
    failure = failure_of(::GetLastError());
    return std::nullopt;
  }
  return facts_of(info.dwFileAttributes,
                  (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow,
                  info.ftLastAccessTime, info.ftLastWriteTime);
}

bool WriteFile::close() {
  if (handle_ == -1) return true;
  const BOOL ok = ::CloseHandle(as_handle(handle_));
  handle_ = -1;
  return ok != FALSE;
}

bool write_private_file(const std::filesystem::path& path, std::string_view contents) {
  // The data folder lies under the user's profile, which only the user (and administrators)
  // may read.
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      ::WriteFile(h, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) &&
      written == contents.size();
  return ::CloseHandle(h) && ok;
}

bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to,
                  std::string& why) {
  if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  why = std::system_category().message(static_cast<int>(::GetLastError()));
  return false;
}

bool file_name_allowed(std::string_view name) {
  if (name.empty() || name.back() == '.' || name.back() == ' ') return false;
  for (const char c : name) {
    if (std::string_view("<>:\"|?*").find(c) != std::string_view::npos) return false;
  }
  if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(),
                            static_cast<int>(name.size()), nullptr, 0) <= 0) {
    return false;
  }
  // Device names, also with an extension ("nul.jpg") and in any case.
  std::string stem(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  static constexpr std::array<std::string_view, 6> kDevices = {"CON", "PRN",    "AUX",
                                                               "NUL", "CONIN$", "CONOUT$"};
  for (std::string_view d : kDevices) {
    if (stem == d) return false;
  }
  if (stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '0' &&
      stem[3] <= '9') {
    return false;
  }
  return true;
}

}  // namespace sandbox::files
