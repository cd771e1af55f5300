// The history window's toolkit on Linux: a Qt plug-in beside the library, loaded on the first
// SmsHist so that hosts which never open the window never load Qt.
#include <dlfcn.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "base/error.h"
#include "base/platform/window.h"
#include "history_window/history_window.h"

extern "C" {
using TavikSmsHistoryToolkitFn = taviksms::history::HistoryToolkit* (*)();
}

namespace taviksms::platform {

namespace {

constexpr const char* kPluginName = "libtaviksms_history_qt.so";
constexpr const char* kEntry = "taviksms_history_qt_toolkit";

std::string own_folder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&own_folder), &info) == 0 || !info.dli_fname) return {};
  std::string path = info.dli_fname;
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

history::HistoryToolkit& history_toolkit() {
  static std::mutex mutex;
  static history::HistoryToolkit* toolkit = nullptr;
  static std::string failure;
  std::lock_guard lock(mutex);
  if (!toolkit && failure.empty()) {
    const std::string folder = own_folder();
    std::string path = folder.empty() ? kPluginName : folder + "/" + kPluginName;
    // Installed, the plug-in is private to the library: in taviksms/ beside it (the build tree
    // keeps it beside the library itself).
    if (!folder.empty() && access(path.c_str(), F_OK) != 0) {
      const std::string installed = folder + "/taviksms/" + kPluginName;
      if (access(installed.c_str(), F_OK) == 0) path = installed;
    }
    void* handle =
        access(path.c_str(), F_OK) == 0 ? dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (!handle && access(path.c_str(), F_OK) != 0) {
      // A build without Qt (scripts/demo's, for one) has no plug-in: say what brings it.
      failure =
          "the history window is not part of this build: libtaviksms was built without "
          "Qt 6 Widgets, so " +
          path +
          " does not exist; install Qt 6 (Debian: apt-get "
          "install qt6-base-dev, or scripts/setup) and build again";
    } else if (!handle) {
      const char* e = dlerror();
      failure = std::string("the history window's plug-in cannot be loaded: ") + (e ? e : path) +
                "; it needs the Qt 6 Widgets libraries (Debian: apt-get install libqt6widgets6)";
    } else if (auto fn = reinterpret_cast<TavikSmsHistoryToolkitFn>(dlsym(handle, kEntry))) {
      toolkit = fn();
      if (!toolkit) failure = "the history window's plug-in has no toolkit";
    } else {
      failure = std::string("the history window's plug-in lacks ") + kEntry;
    }
  }
  if (!toolkit) {
    throw core::Error(static_cast<std::int32_t>(0x80004005u), u"TavikSmsDll",
                      std::u16string(failure.begin(), failure.end()));
  }
  return *toolkit;
}

}  // namespace taviksms::platform
