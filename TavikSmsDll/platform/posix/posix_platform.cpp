#include "platform/posix/posix_platform.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <sql.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <vector>

#include "base/error.h"
#include "base/text.h"
#include "base/trace.h"
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

// The length of the valid UTF-8 sequence starting at `i`; 0 when none starts there.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  std::size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || i + len > s.size()) return 0;
  std::uint32_t cp = c & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// True when `bytes` ends inside a character of `codeset`: a lead byte without all its trail bytes.
// An invalid byte elsewhere counts as a character of its own.
bool ends_mid_character(const char* codeset, std::string_view bytes) {
  iconv_t cd = iconv_open("UTF-16LE", codeset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  char* src = const_cast<char*>(bytes.data());
  std::size_t left = bytes.size();
  bool partial = false;
  char buf[256];
  while (left > 0) {
    char* dst = buf;
    std::size_t room = sizeof buf;
    if (iconv(cd, &src, &left, &dst, &room) != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;
    if (errno == EINVAL) {
      partial = true;
      break;
    }
    ++src;
    --left;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return partial;
}

// The runtime's file-error number for an errno of open(2) or write(2).
std::int32_t file_error_number(int e) {
  switch (e) {
    case EACCES:
    case EROFS:
    case EISDIR:
      return 75;
    case EPERM:
    case ETXTBSY:
    case EBUSY:
      return 70;
    case ENOENT:
    case ENOTDIR:
      return 76;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return 61;
    case ENAMETOOLONG:
    case EILSEQ:
      return 52;
    default:
      return 57;
  }
}

class PosixOutputFile final : public OutputFile {
 public:
  explicit PosixOutputFile(int fd) : fd_(fd) {}
  ~PosixOutputFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  void write(std::string_view bytes) override {
    if (fd_ < 0) core::raise_file_error(52);
    while (!bytes.empty()) {
      ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        core::raise_file_error(file_error_number(errno));
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void close() override {
    if (fd_ < 0) return;
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0 && errno != EINTR) core::raise_file_error(file_error_number(errno));
  }

 private:
  int fd_;
};

thread_local std::string t_download_outcome;

struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

struct Sink {
  std::string data;
  long max_bytes;
  bool too_big = false;
};

// Called from C: nothing may be thrown through it. Returning less than `len` aborts the
// transfer.
size_t on_data(char* p, size_t size, size_t n, void* user) noexcept {
  auto* sink = static_cast<Sink*>(user);
  std::size_t len = size * n;
  if (static_cast<long>(sink->data.size() + len) > sink->max_bytes) {
    sink->too_big = true;
    return 0;
  }
  try {
    sink->data.append(p, len);
  } catch (...) {
    sink->too_big = true;  // out of memory: no file from this mirror
    return 0;
  }
  return len;
}

}  // namespace

PosixPlatform::PosixPlatform(DownloadLimits limits) : limits_(limits), codeset_(locale_codeset()) {
  odbc::set_driver_library_finder(&freetds_driver_library);
}

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
  // The proxy comes from the environment as curl reads it (http_proxy, https_proxy, all_proxy);
  // loopback, where a development or test sandbox runs, never goes through one.
  const std::string no_proxy = no_proxy_list();
  curl_easy_setopt(curl, CURLOPT_NOPROXY, no_proxy.c_str());
  char curl_error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curl_error);
  const auto started = std::chrono::steady_clock::now();
  CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  std::string& outcome = t_download_outcome;
  if (rc != CURLE_OK) {
    outcome = std::string("error: ") + (curl_error[0] ? curl_error : curl_easy_strerror(rc));
  } else {
    outcome = "HTTP " + std::to_string(status) + ", " + std::to_string(sink.data.size()) + " bytes";
  }
  if (sink.too_big) outcome += ", larger than " + std::to_string(limits_.max_bytes) + " bytes";
  if (trace::enabled()) {
    trace::emit("mirror", "GET " + url + " -> " + outcome,
                std::chrono::steady_clock::now() - started);
  }
  // An HTTP error status is a failed mirror, not a configuration file.
  if (rc != CURLE_OK || sink.too_big || status < 200 || status >= 300)
    return rc != CURLE_OK ? rc : -2;

  // Written under a name of its own beside the target, then renamed over it in one step: a
  // reader never sees half a file, and two writers never share a temporary file.
  std::string tmp = path + ".XXXXXX";
  int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) {
    outcome += "; cannot write in the folder of " + path + ": " + std::strerror(errno);
    return -3;
  }
  bool ok = fchmod(fd, 0644) == 0;
  for (std::size_t done = 0; ok && done < sink.data.size();) {
    ssize_t n = ::write(fd, sink.data.data() + done, sink.data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ::close(fd) == 0 && ok;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    outcome += "; cannot write " + path;
    return -3;
  }
  return 0;
}

bool folder_writable(const std::string& folder) {
  return faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

std::string PosixPlatform::user_cache_base() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buf(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
  struct passwd pw {};
  struct passwd* found = nullptr;
  while (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == ERANGE &&
         buf.size() < (1u << 20)) {
    buf.resize(buf.size() * 2);
  }
  return cache_base_from(found ? found->pw_dir : nullptr, std::getenv("XDG_CACHE_HOME"),
                         std::getenv("HOME"));
}

std::string cache_base_from(const char* pw_dir, const char* xdg_cache_home, const char* home) {
  auto trimmed = [](std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
  };
  if (pw_dir && pw_dir[0] == '/') return trimmed(pw_dir) + "/.cache";
  // No entry in the password database: the environment's folders, absolute ones only.
  if (xdg_cache_home && xdg_cache_home[0] == '/') return trimmed(xdg_cache_home);
  if (home && home[0] == '/') return trimmed(home) + "/.cache";
  return {};
}

std::string PosixPlatform::last_download_outcome() const {
  return t_download_outcome;
}

Platform::Report PosixPlatform::odbc_driver_report() {
  if (odbc::driver_registered(u"FreeTDS")) return {true, "registered as \"FreeTDS\""};
  std::string lib = freetds_driver_library();
  if (!lib.empty()) return {true, "not registered as \"FreeTDS\"; the library " + lib + " is used"};
  return {false, "no driver registered as \"FreeTDS\" and no libtdsodbc.so found"};
}

Platform::Report PosixPlatform::config_folder_report() {
  const std::string lib = to_ansi(library_folder());
  const std::string cfg = to_ansi(config_folder());
  if (cfg == lib) {
    if (folder_writable(lib)) return {true, lib + " (the library's folder), writable"};
    return {false, lib + " (the library's folder) is not writable and no per-user folder is known"};
  }
  if (folder_writable(cfg)) {
    return {true, cfg + " (per-user folder: the library's folder " + lib + " is not writable)"};
  }
  return {false, cfg + " (per-user folder) is not writable"};
}

MirrorOverride PosixPlatform::mirror_override() const {
  const char* v = std::getenv("TAVIKSMS_MIRRORS");
  if (!v) return {};
  return parse_mirror_override(v, "TAVIKSMS_MIRRORS");
}

UserSetting PosixPlatform::trace_setting() const {
  const char* v = std::getenv("TAVIKSMS_TRACE");
  if (!v) return {};
  return {v, "TAVIKSMS_TRACE", {}};
}

std::unique_ptr<OutputFile> PosixPlatform::open_trace_file(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return nullptr;
  // Not blocking: a FIFO without a reader must not stall the host.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return nullptr;
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return std::make_unique<PosixOutputFile>(fd);
}

std::string no_proxy_list() {
  std::string list = "127.0.0.1,localhost,::1";
  const char* env = std::getenv("no_proxy");
  if (!env || !*env) env = std::getenv("NO_PROXY");
  if (env && *env) {
    list += ',';
    list += env;
  }
  return list;
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

std::u16string PosixPlatform::config_folder() {
  std::u16string lib = library_folder();
  if (folder_writable(to_ansi(lib))) return lib;
  // A system-wide install: the library's folder belongs to root.
  std::string base = user_cache_base();
  if (base.empty()) return lib;
  ::mkdir(base.c_str(), 0700);  // may exist already
  std::string own = base + "/taviksms";
  if (::mkdir(own.c_str(), 0700) != 0 && errno != EEXIST) return lib;
  return from_ansi(own);
}

std::shared_ptr<void> PosixPlatform::lock_config_file(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  // The folder itself is locked: nothing new appears in it, and a lock on the file would be lost
  // with the inode that the rename replaces.
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(fd);
      return nullptr;
    }
  }
  return std::shared_ptr<void>(new int(fd), [](void* p) {
    int* held = static_cast<int*>(p);
    ::flock(*held, LOCK_UN);
    ::close(*held);
    delete held;
  });
}

std::string PosixPlatform::read_profile_string(const std::string& section, const std::string& key,
                                               const std::string& def, std::size_t buffer_size,
                                               const std::string& path) {
  if (buffer_size == 0) return {};
  std::string content;
  if (std::ifstream f(path, std::ios::binary); f) {
    content.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  std::string value = profile_lookup(content, section, key, def, std::string::npos);
  // The Windows reader converts whole characters only, and the NUL-filled buffer then ends the
  // value before a character that did not fit: a multi-byte character is never cut in half.
  std::size_t keep = std::min(value.size(), buffer_size - 1);
  for (int back = 0; back < 3 && keep > 0 && keep < value.size() &&
                     ends_mid_character(codeset_.c_str(), std::string_view(value).substr(0, keep));
       ++back) {
    --keep;
  }
  value.resize(keep);
  return value;
}

std::unique_ptr<OutputFile> PosixPlatform::create_output_file(const std::u16string& name) {
  std::string path = to_ansi(name);
  if (path.empty() || path.find('\0') != std::string::npos) core::raise_file_error(52);
  // Not blocking: a named pipe under the export's name would otherwise wait for a reader forever.
  // Only a plain file is written; a pipe, a device or a socket would take the lines (and in the
  // acknowledge mode the rows) without keeping them.
  // Not emptied on open: another session (a thread of this process or another process with the
  // same current directory) may be writing the file and has acknowledged the rows it wrote.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) core::raise_file_error(errno == ENXIO ? 75 : file_error_number(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    core::raise_file_error(75);
  }
  // Held from here until the file is closed. flock belongs to this open file description, so it
  // keeps two threads of one process apart as well as two processes. A file in use elsewhere
  // fails as a locked file does on Windows, before anything is read or emptied.
  int rc = 0;
  while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    const int e = errno;
    ::close(fd);
    core::raise_file_error(e == EWOULDBLOCK ? 70 : file_error_number(e));
  }
  if (::ftruncate(fd, 0) != 0) {
    const int e = errno;
    ::close(fd);
    core::raise_file_error(file_error_number(e));
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return std::make_unique<PosixOutputFile>(fd);
}

std::u16string PosixPlatform::decimal_separator() {
  std::u16string sep = u".";
  locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
  if (loc != static_cast<locale_t>(nullptr)) {
    const char* radix = nl_langinfo_l(RADIXCHAR, loc);
    if (radix && *radix) {
      std::string_view r(radix);
      // The radix is in the numeric locale's own code set; ASCII needs no conversion.
      bool ascii = true;
      for (char c : r) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
      sep = ascii ? std::u16string(r.begin(), r.end()) : from_ansi(r);
    }
    freelocale(loc);
  }
  return sep.empty() ? u"." : sep;
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
  if (is_utf8(codeset_)) {
    // A lone U+DC80..U+DCFF stands for the byte that from_ansi could not decode, so a file or
    // folder whose name is not valid UTF-8 keeps its name through the UTF-16 core.
    std::string out;
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char16_t c = text[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
          text[i + 1] <= 0xDFFF) {
        ++i;  // a pair: an ordinary character
      } else if (c >= 0xDC80 && c <= 0xDCFF) {
        out += core::utf16_to_utf8(text.substr(run, i - run));
        out += static_cast<char>(c - 0xDC00);
        run = i + 1;
      }
    }
    if (run == 0) return core::utf16_to_utf8(text);  // the usual case: no copy of the result
    return out + core::utf16_to_utf8(text.substr(run));
  }
  std::string_view bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  return iconv_all(codeset_.c_str(), "UTF-16LE", bytes, "?");
}

std::u16string PosixPlatform::from_ansi(std::string_view bytes) {
  if (is_utf8(codeset_)) {
    // Each byte that starts no valid sequence becomes U+DC00 + byte (undone by to_ansi).
    std::u16string out;
    std::size_t run = 0;
    for (std::size_t i = 0; i < bytes.size();) {
      const std::size_t len = utf8_sequence_length(bytes, i);
      if (len > 0) {
        i += len;
        continue;
      }
      out += core::utf8_to_utf16(bytes.substr(run, i - run));
      out.push_back(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(bytes[i])));
      run = ++i;
    }
    return out + core::utf8_to_utf16(bytes.substr(run));
  }
  std::string wide = iconv_all("UTF-16LE", codeset_.c_str(), bytes, std::string("\xFD\xFF", 2));
  std::u16string out(wide.size() / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(wide[2 * i]) |
                                   (static_cast<unsigned char>(wide[2 * i + 1]) << 8));
  }
  return out;
}

std::u16string PosixPlatform::lower_case(std::u16string_view text) {
  // The C library's Unicode tables, independent of the process's own locale.
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::u16string out(text);
  for (char16_t& c : out) {
    if (c >= u'A' && c <= u'Z') {
      c = static_cast<char16_t>(c + 32);
    } else if (c >= 0x80 && (c < 0xD800 || c > 0xDFFF) && loc != static_cast<locale_t>(nullptr)) {
      wint_t lower = towlower_l(static_cast<wint_t>(c), loc);
      if (lower <= 0xFFFF && (lower < 0xD800 || lower > 0xDFFF)) c = static_cast<char16_t>(lower);
    }
  }
  return out;
}

std::vector<Platform::SocketId> PosixPlatform::tcp_sockets_to(std::uint16_t port) {
  std::vector<SocketId> out;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return out;
  while (const dirent* e = ::readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || fd == ::dirfd(dir)) continue;
    struct stat st {};
    if (::fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &len) != 0)
      continue;
    std::uint16_t peer_port = 0;
    if (peer.ss_family == AF_INET) {
      peer_port = ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
    } else if (peer.ss_family == AF_INET6) {
      peer_port = ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
    } else {
      continue;
    }
    if (peer_port == port) out.push_back(SocketId{fd, static_cast<std::uint64_t>(st.st_ino)});
  }
  ::closedir(dir);
  return out;
}

void PosixPlatform::shut_down_socket(const SocketId& socket) {
  struct stat st {};
  const int fd = static_cast<int>(socket.handle);
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_ino) != socket.identity) {
    return;  // closed meanwhile, perhaps reused: not ours to touch
  }
  ::shutdown(fd, SHUT_RDWR);
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
