// The Windows binding of the platform seam: the library's instance of the class whose members the
// files of this folder implement, one file per concern.
#include "platform/win32/win32_platform.h"

namespace taviksms::platform {

Platform& default_platform() {
  static win32::Win32Platform instance;
  return instance;
}

}  // namespace taviksms::platform
