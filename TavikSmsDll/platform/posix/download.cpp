// Downloads on POSIX: libcurl, the proxy from the environment (never for loopback), written
// through a temporary file renamed over the target; TAVIKSMS_MIRRORS from the environment.
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/trace.h"
#include "platform/posix/posix_platform.h"

namespace taviksms::platform::posix {

namespace {

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
  // Only its owner may read it: it holds the database's and the SFTP server's logins.
  bool ok = fchmod(fd, 0600) == 0;
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

std::string PosixPlatform::last_download_outcome() const {
  return t_download_outcome;
}

MirrorOverride PosixPlatform::mirror_override() const {
  const char* v = std::getenv("TAVIKSMS_MIRRORS");
  if (!v) return {};
  return parse_mirror_override(v, "TAVIKSMS_MIRRORS");
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

}  // namespace taviksms::platform::posix
