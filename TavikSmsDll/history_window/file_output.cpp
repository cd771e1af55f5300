// The history file: written through the platform's files, whole, with the runtime's file errors so
// the window can show their number and description.
#include "base/platform/platform.h"
#include "history_window/history_window.h"

namespace taviksms::history {

void write_file(const std::u16string& path, const std::string& bytes) {
  platform::current().save_file(path, bytes);
}

}  // namespace taviksms::history
