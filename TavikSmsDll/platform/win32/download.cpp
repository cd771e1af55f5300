// URLDownloadToFileA with a status callback and a deadline.
//
// URLDownloadToFileA alone reports S_OK for a 404 and writes the server's error page to the
// target; the callback's IHttpNegotiate::OnResponse sees the status so an HTTP error counts as a
// failed mirror. GetBindInfo asks for a fresh copy: a cached ip1.ini would hide a mirror that has
// gone down.
//
// URLDownloadToFileA has no timeout of its own, and a mirror that accepts the request and never
// answers would hold the caller for as long as the TCP connection lives. So the download runs on
// a worker thread into a file name of its own, and the caller waits at most the total limit: the
// callback aborts the transfer once the deadline has passed (when the moniker calls it), and the
// caller stops waiting in any case. Only the caller, while still waiting, moves the finished file
// to the target; a worker that finishes after the caller has given up deletes its file, so a late
// answer can never replace an ip1.ini another download or reader is using.
#include <windows.h>

#include <urlmon.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "base/trace.h"
#include "platform/win32/download_callback.h"
#include "platform/win32/win32_platform.h"

namespace taviksms::platform::win32 {

namespace {

constexpr DWORD kTotalTimeoutMs = 10000;  // one mirror, request to last byte (as on Linux)

enum JobState : int { kRunning, kDone, kAbandoned };

// One download, shared by the caller and the worker; whoever lets go last frees it.
struct DownloadJob {
  std::string url;
  std::string temp_path;
  ULONGLONG deadline = 0;
  HRESULT hr = E_FAIL;
  int http_status = 0;
  // kRunning until the worker finishes (kDone) or the caller stops waiting (kAbandoned); the
  // first of the two to change it decides who owns the temporary file.
  std::atomic<int> state{kRunning};
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HMODULE module = nullptr;  // a reference to this library, held while the worker runs
  ~DownloadJob() {
    if (done) CloseHandle(done);
  }
};

void run_download(DownloadJob& job) {
  DownloadCallback callback(job.deadline);
  job.hr = URLDownloadToFileA(nullptr, job.url.c_str(), job.temp_path.c_str(), 0, &callback);
  job.http_status = callback.http_status();
}

DWORD WINAPI download_worker(void* param) {
  auto* holder = static_cast<std::shared_ptr<DownloadJob>*>(param);
  HMODULE module = (*holder)->module;
  {
    std::shared_ptr<DownloadJob> job = std::move(*holder);
    delete holder;
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    run_download(*job);
    if (SUCCEEDED(com)) CoUninitialize();
    int expected = kRunning;
    if (!job->state.compare_exchange_strong(expected, kDone)) {
      DeleteFileA(job->temp_path.c_str());  // nobody waits for it any more
    }
    SetEvent(job->done);
  }
  // The library stays loaded until this thread has left its code.
  FreeLibraryAndExitThread(module, 0);
  return 0;
}

// A name beside `path` that no other download of this process or another uses.
std::string temp_name(const std::string& path) {
  static std::atomic<unsigned> sequence{0};
  return path + "." + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(GetCurrentThreadId()) + "-" + std::to_string(++sequence) + ".part";
}

}  // namespace

int download_with_status(const std::string& url, const std::string& path, int& http_status) {
  http_status = 0;
  auto job = std::make_shared<DownloadJob>();
  job->url = url;
  job->temp_path = temp_name(path);
  job->deadline = GetTickCount64() + kTotalTimeoutMs;
  if (!job->done) return E_OUTOFMEMORY;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&download_worker), &job->module)) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  auto* holder = new std::shared_ptr<DownloadJob>(job);
  HANDLE thread = CreateThread(nullptr, 0, &download_worker, holder, 0, nullptr);
  if (!thread) {
    DWORD err = GetLastError();
    delete holder;
    FreeLibrary(job->module);
    return HRESULT_FROM_WIN32(err);
  }
  CloseHandle(thread);

  DWORD waited = WaitForSingleObject(job->done, kTotalTimeoutMs + 500);
  int expected = kRunning;
  if (waited != WAIT_OBJECT_0 && job->state.compare_exchange_strong(expected, kAbandoned)) {
    return HRESULT_FROM_WIN32(ERROR_TIMEOUT);  // the worker deletes its file when it ends
  }
  // The worker has finished (perhaps just now): its results are final.
  WaitForSingleObject(job->done, INFINITE);
  http_status = job->http_status;
  HRESULT hr = job->hr;
  if (hr == S_OK && (http_status == 0 || (http_status >= 200 && http_status < 300))) {
    if (!replace_file_retrying(job->temp_path, path)) hr = HRESULT_FROM_WIN32(GetLastError());
  }
  DeleteFileA(job->temp_path.c_str());  // left over unless it was moved
  return static_cast<int>(hr);
}

namespace {

thread_local std::string t_download_outcome;

// What a failed download's HRESULT means, for the trace and taviksms doctor: the URL moniker's
// own codes by name, and the two this binding makes itself.
const char* download_error_meaning(unsigned hr) {
  switch (hr) {
    case 0x800C0002u:
      return "INET_E_INVALID_URL: not a valid address";
    case 0x800C0003u:
      return "INET_E_NO_SESSION: no Internet session";
    case 0x800C0004u:
      return "INET_E_CANNOT_CONNECT: the connection was refused or failed";
    case 0x800C0005u:
      return "INET_E_RESOURCE_NOT_FOUND: the server could not be reached";
    case 0x800C0006u:
      return "INET_E_OBJECT_NOT_FOUND: no such file on the server";
    case 0x800C0007u:
      return "INET_E_DATA_NOT_AVAILABLE: the server sent no data";
    case 0x800C0008u:
      return "INET_E_DOWNLOAD_FAILURE: no connection, or the transfer broke off";
    case 0x800C000Bu:
      return "INET_E_CONNECTION_TIMEOUT: the connection timed out";
    case 0x800C000Eu:
      return "INET_E_SECURITY_PROBLEM: a secure connection could not be made";
    case 0x80004004u:
      return "E_ABORT: stopped (over the size limit or past the deadline)";
    case 0x800705B4u:
      return "no answer within the download's time limit";
    case 0x80070005u:
      return "access denied writing ip1.ini";
    default:
      return nullptr;
  }
}

}  // namespace

int Win32Platform::download_to_file(const std::string& url, const std::string& path) {
  int status = 0;
  const auto started = std::chrono::steady_clock::now();
  int hr = download_with_status(url, path, status);
  char buf[128];
  if (hr != S_OK) {
    std::snprintf(buf, sizeof buf, "error: HRESULT 0x%08X", static_cast<unsigned>(hr));
    if (const char* meaning = download_error_meaning(static_cast<unsigned>(hr))) {
      std::snprintf(buf, sizeof buf, "error: HRESULT 0x%08X (%s)", static_cast<unsigned>(hr),
                    meaning);
    }
  } else {
    std::snprintf(buf, sizeof buf, "HTTP %d", status);
  }
  t_download_outcome = buf;
  if (trace::enabled()) {
    trace::emit("mirror", "GET " + url + " -> " + t_download_outcome,
                std::chrono::steady_clock::now() - started);
  }
  if (hr != S_OK) return hr;
  // An HTTP answer outside 2xx is an error page, not a configuration file (its temporary file
  // was not moved). No status at all (a non-HTTP URL) is left to the moniker's own result.
  if (status != 0 && (status < 200 || status >= 300)) return -2;
  return 0;
}

MirrorOverride Win32Platform::mirror_override() const {
  UserSetting s = user_setting("TAVIKSMS_MIRRORS", "Mirrors");
  if (s.source.empty()) return {};
  if (!s.problem.empty()) {
    MirrorOverride o;
    o.source = s.source;
    o.problem = s.problem;
    return o;
  }
  return parse_mirror_override(s.value, s.source);
}

std::string Win32Platform::last_download_outcome() const {
  return t_download_outcome;
}

}  // namespace taviksms::platform::win32
