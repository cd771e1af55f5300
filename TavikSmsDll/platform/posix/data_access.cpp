// The database on POSIX: the ODBC objects (platform/odbc/, unixODBC) and the FreeTDS driver
// library for a connection when no driver is registered under its name.
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <sql.h>

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "platform/odbc/odbc_session.h"
#include "platform/odbc/prelogin_probe.h"
#include "platform/posix/posix_platform.h"

namespace taviksms::platform::posix {

Platform::Report PosixPlatform::odbc_driver_report() {
  if (odbc::driver_registered(u"FreeTDS")) return {true, "registered as \"FreeTDS\""};
  std::string lib = freetds_driver_library();
  if (!lib.empty()) return {true, "not registered as \"FreeTDS\"; the library " + lib + " is used"};
  return {false, "no driver registered as \"FreeTDS\" and no libtdsodbc.so found"};
}

std::string freetds_driver_library() {
  // First beside the driver manager this process loaded (the right architecture), then Debian's
  // and Ubuntu's multiarch folders, lib64, lib and /usr/local.
  std::vector<std::string> candidates;
  Dl_info manager{};
  if (dladdr(reinterpret_cast<void*>(&SQLAllocHandle), &manager) != 0 && manager.dli_fname) {
    std::string dir = manager.dli_fname;
    dir = dir.substr(0, dir.rfind('/') == std::string::npos ? 0 : dir.rfind('/'));
    if (!dir.empty()) {
      candidates.push_back(dir + "/odbc/libtdsodbc.so");
      candidates.push_back(dir + "/libtdsodbc.so");
    }
  }
  std::vector<std::string> multiarch;
  if (DIR* d = ::opendir("/usr/lib")) {
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name.find("-linux-gnu") != std::string::npos) {
        multiarch.push_back("/usr/lib/" + name + "/odbc/libtdsodbc.so");
        multiarch.push_back("/usr/lib/" + name + "/libtdsodbc.so");
      }
    }
    ::closedir(d);
  }
  std::sort(multiarch.begin(), multiarch.end());
  candidates.insert(candidates.end(), multiarch.begin(), multiarch.end());
  for (const char* p :
       {"/usr/lib64/libtdsodbc.so", "/usr/lib/odbc/libtdsodbc.so", "/usr/lib/libtdsodbc.so",
        "/usr/local/lib/libtdsodbc.so", "/usr/local/lib/odbc/libtdsodbc.so"}) {
    candidates.emplace_back(p);
  }
  for (const auto& c : candidates) {
    // A versioned name alone (libtdsodbc.so.0) is what some packages install.
    for (const std::string& file : {c, c + ".0"}) {
      struct stat st {};
      if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      // Only a library this process can load: a multiarch system also has other architectures'.
      if (void* h = ::dlopen(file.c_str(), RTLD_LAZY | RTLD_LOCAL)) {
        ::dlclose(h);
        return file;
      }
    }
  }
  return {};
}

Platform::EncryptionProbe PosixPlatform::probe_encryption(const std::u16string& host,
                                                          std::uint16_t port) {
  return odbc::probe_encryption(core::utf16_to_utf8(host), port, std::chrono::seconds(5));
}

std::shared_ptr<db::DbConn> PosixPlatform::new_connection() {
  return odbc::make_connection();
}
std::shared_ptr<db::DbCmd> PosixPlatform::new_command() {
  return odbc::make_command();
}
std::shared_ptr<db::DbRs> PosixPlatform::new_recordset() {
  return odbc::make_recordset();
}

}  // namespace taviksms::platform::posix
