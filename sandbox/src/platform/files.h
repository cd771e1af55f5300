// Files as the SFTP server keeps uploads: writing at an offset into a file opened for it, what a
// stat tells, a private key file, and which names a folder can hold. One file per platform:
// platform/posix/files.cpp, platform/win32/files.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sandbox::files {

enum class Failure { kNoSuchFile, kPermissionDenied, kOther };

struct FileFacts {
  bool directory = false;
  std::uint64_t size = 0;
  std::uint32_t mode = 0;  // POSIX type and permission bits, as SFTP carries them
  std::int64_t atime = 0;  // seconds since 1970
  std::int64_t mtime = 0;
};

// Facts of the file or folder at `path`; `failure` says why there are none.
std::optional<FileFacts> stat_path(const std::filesystem::path& path, Failure& failure);

// A plain file: not a folder, a device, or a link (a reparse point on Windows) to elsewhere.
bool is_plain_file(const std::filesystem::path& path);

struct OpenFlags {
  bool create = false;
  bool truncate = false;
  bool exclusive = false;  // fails when the file exists
  bool append = false;
};

// A file opened for writing only. A symbolic link (or reparse point) in its place is not
// followed.
class WriteFile {
 public:
  // nullptr with `failure` and `why` set when it cannot be opened.
  static std::unique_ptr<WriteFile> open(const std::filesystem::path& path, OpenFlags flags,
                                         Failure& failure, std::string& why);
  ~WriteFile();  // closes, if close() was not called
  WriteFile(const WriteFile&) = delete;
  WriteFile& operator=(const WriteFile&) = delete;

  // Writes all of `data` at `offset` (appending files: at the end); false with `failure` set.
  bool write_at(std::uint64_t offset, const char* data, std::size_t size, Failure& failure);
  std::optional<FileFacts> facts(Failure& failure) const;
  // False when closing reported an error (the data may not all be stored).
  bool close();

 private:
  explicit WriteFile(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_;  // a descriptor or a HANDLE; -1 once closed
};

// Creates `path` with `contents`, readable by its owner only where the system has such
// permissions; false when it cannot.
bool write_private_file(const std::filesystem::path& path, std::string_view contents);

// Puts `from` in the place of `to` in one step (a reader sees the old file or the new one),
// replacing `to` if it exists; false with `why` set when it cannot.
bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to,
                  std::string& why);

// Whether a folder can hold a file of this name (UTF-8 or, on POSIX, any bytes): Windows refuses
// device names (CON, NUL, COM1, ...), the characters <>:"|?* and a trailing dot or blank, and
// the name must be valid UTF-8 there. Separators are the caller's business.
bool file_name_allowed(std::string_view name);

}  // namespace sandbox::files
