// The seam's folders: the library's own, the one ip1.ini goes to, and the lock that keeps
// processes sharing it apart. Bindings: posix/folders.cpp, win32/folders.cpp.
#pragma once

#include <memory>
#include <string>

#include "base/platform/report.h"

namespace taviksms::platform {

class Folders {
 public:
  virtual ~Folders() = default;

  // The folder holding the component's library, without a trailing separator.
  virtual std::u16string library_folder() = 0;
  // The folder ip1.ini is downloaded to: the library's folder unless a platform must go
  // elsewhere (a per-user folder when the library's is not writable: ~/.cache/taviksms on Linux,
  // %LOCALAPPDATA%\TavikSms on Windows). Empty: no folder the user can write to; the fetch then
  // fails as if no mirror had answered.
  virtual std::u16string config_folder() { return library_folder(); }
  // Where ip1.ini goes (config_folder) and whether it can be written there.
  virtual Report config_folder_report() = 0;
  // Holds the local ip1.ini against other processes while a fetch puts its download in place
  // and reads it; released when the returned object is destroyed. nullptr: no lock across
  // processes (the fetch still keeps its own threads apart).
  virtual std::shared_ptr<void> lock_config_file(const std::string& path);
  virtual char16_t path_separator() const = 0;
};

}  // namespace taviksms::platform
