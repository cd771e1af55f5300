// The Linux binding of the platform seam: the class whose members the files of this folder
// implement, one file per concern, and the library's instance of it.
#include "platform/posix/posix_platform.h"

#include "platform/odbc/odbc_session.h"

namespace taviksms::platform::posix {

PosixPlatform::PosixPlatform(DownloadLimits limits) : limits_(limits), codeset_(locale_codeset()) {
  odbc::set_driver_library_finder(&freetds_driver_library);
}

}  // namespace taviksms::platform::posix

namespace taviksms::platform {

Platform& default_platform() {
  static posix::PosixPlatform instance;
  return instance;
}

}  // namespace taviksms::platform
