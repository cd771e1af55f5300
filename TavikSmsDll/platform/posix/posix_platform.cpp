#include "platform/posix/posix_platform.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

#include "component/text.h"
#include "platform/odbc/odbc_session.h"
#include "platform/posix/ini_reader.h"

namespace taviksms::platform::posix {

namespace {

// The code set of the environment's locale, without touching the process's global locale.
// Plain ASCII ("ANSI_X3.4-1968", the C locale) is widened to UTF-8.
std::string locale_codeset() {
  std::string cs = "UTF-8";
  locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (loc != static_cast<locale_t>(nullptr)) {
    const char* name = nl_langinfo_l(CODESET, loc);
    if (name && *name) cs = name;
    freelocale(loc);
  }
  if (cs == "ANSI_X3.4-1968" || cs == "ASCII" || cs == "US-ASCII" || cs == "utf8") cs = "UTF-8";
  return cs;
}

bool is_utf8(const std::string& cs) {
  return cs == "UTF-8" || cs == "utf-8";
}

// iconv between the code set and UTF-16LE; unconvertible input is replaced by '?' / U+FFFD.
std::string iconv_all(const char* to, const char* from, std::string_view in,
                      std::string_view repl) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  std::string out;
  std::string buf(4096, '\0');
  char* src = const_cast<char*>(in.data());
  std::size_t left = in.size();
  while (left > 0) {
    char* dst = buf.data();
    std::size_t room = buf.size();
    std::size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buf.data(), buf.size() - room);
    if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
      // Skip one input unit (a byte, or a UTF-16 code unit) and put a replacement in its place.
      std::size_t unit = std::string_view(from) == "UTF-16LE" ? 2 : 1;
      unit = std::min(unit, left);
      src += unit;
      left -= unit;
      out.append(repl);
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

struct Sink {
  std::string data;
  long max_bytes;
  bool too_big = false;
};

size_t on_data(char* p, size_t size, size_t n, void* user) {
  auto* sink = static_cast<Sink*>(user);
  std::size_t len = size * n;
  if (static_cast<long>(sink->data.size() + len) > sink->max_bytes) {
    sink->too_big = true;
    return 0;  // aborts the transfer
  }
  sink->data.append(p, len);
  return len;
}

}  // namespace

PosixPlatform::PosixPlatform(DownloadLimits limits) : limits_(limits), codeset_(locale_codeset()) {}

int PosixPlatform::download_to_file(const std::string& url, const std::string& path) {
  static CurlGlobal global;  // curl_global_init is not thread-safe: once, under the static guard
  CURL* curl = curl_easy_init();
  if (!curl) return -1;
  Sink sink{{}, limits_.max_bytes};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, limits_.connect_timeout_ms);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, limits_.total_timeout_ms);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_data);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");  // no proxy from the environment
  CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  // An HTTP error status is a failed mirror, not a configuration file.
  if (rc != CURLE_OK || sink.too_big || status < 200 || status >= 300)
    return rc != CURLE_OK ? rc : -2;

  // Replace the target in one step, so a reader never sees half a file.
  std::string tmp = path + ".part";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (!f) return -3;
    f.write(sink.data.data(), static_cast<std::streamsize>(sink.data.size()));
    if (!f.flush()) {
      std::remove(tmp.c_str());
      return -3;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return -3;
  }
  return 0;
}

std::string PosixPlatform::read_profile_string(const std::string& section, const std::string& key,
                                               const std::string& def, std::size_t buffer_size,
                                               const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return profile_lookup({}, section, key, def, buffer_size);
  std::string content((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  return profile_lookup(content, section, key, def, buffer_size);
}

std::u16string PosixPlatform::library_folder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&default_platform), &info) == 0 || !info.dli_fname) {
    return u".";
  }
  std::string file = info.dli_fname;
  std::size_t slash = file.rfind('/');
  std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : file.substr(0, slash));
  return from_ansi(folder);
}

std::string PosixPlatform::to_ansi(std::u16string_view text) {
  if (is_utf8(codeset_)) return core::utf16_to_utf8(text);
  std::string_view bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  return iconv_all(codeset_.c_str(), "UTF-16LE", bytes, "?");
}

std::u16string PosixPlatform::from_ansi(std::string_view bytes) {
  if (is_utf8(codeset_)) return core::utf8_to_utf16(bytes);
  std::string wide = iconv_all("UTF-16LE", codeset_.c_str(), bytes, std::string("\xFD\xFF", 2));
  std::u16string out(wide.size() / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(wide[2 * i]) |
                                   (static_cast<unsigned char>(wide[2 * i + 1]) << 8));
  }
  return out;
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

namespace taviksms::platform {

Platform& default_platform() {
  static posix::PosixPlatform instance;
  return instance;
}

}  // namespace taviksms::platform
