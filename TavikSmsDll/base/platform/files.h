// The seam's files: the export files written line by line, and the file operations of the
// configuration fetch and the picture upload. Bindings: posix/files.cpp, win32/files.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace taviksms::platform {

// A file open for output (an export file, the trace file). write() hands the bytes to the
// operating system before it returns (nothing stays in a buffer of the process); a failure raises
// core::Error with the runtime's file-error text. close() releases the file; it is also released
// when the object is destroyed.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  virtual void write(std::string_view bytes) = 0;
  virtual void close() = 0;
};

class Files {
 public:
  virtual ~Files() = default;

  // Creates the file `name` (relative names in the process's current directory) or empties it,
  // open for output. Raises core::Error when it cannot be created.
  virtual std::unique_ptr<OutputFile> create_output_file(const std::u16string& name) = 0;
  // Writes the file a user named (the history window's save: any folder, created or emptied),
  // `bytes` whole, and closes it; raises core::raise_save_error's errors. Never waits for a reader
  // of a named pipe.
  virtual void save_file(const std::u16string& path, std::string_view bytes) = 0;
  // Length in bytes of the regular file `ansi_path`; -1 when it cannot be obtained (no such
  // file, a directory or device, an unusable name such as one holding NUL). Never throws.
  virtual std::int64_t file_length(const std::string& ansi_path) = 0;
  // Moves the file `from` over `to` in one step (replacing it); false when that failed.
  virtual bool replace_file(const std::string& from, const std::string& to);
  // Deletes `path` if it exists; never fails.
  virtual void remove_file(const std::string& path);
  // The first `max_bytes` bytes of the file `path` (fewer when it is shorter; empty when it
  // cannot be read), for saying what a mirror served.
  virtual std::string read_file_start(const std::string& path, std::size_t max_bytes);
};

}  // namespace taviksms::platform
