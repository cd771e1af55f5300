// URLDownloadToFileA with a status callback. URLDownloadToFileA alone reports S_OK for a 404 and
// writes the server's error page to the target; the callback's IHttpNegotiate::OnResponse sees
// the status so an HTTP error counts as a failed mirror. GetBindInfo asks for a fresh copy: a
// cached ip1.ini would hide a mirror that has gone down.
#include <windows.h>

#include <urlmon.h>

#include <atomic>

#include "platform/win32/win32_platform.h"

namespace taviksms::platform::win32 {

namespace {

class DownloadCallback final : public IBindStatusCallback, public IHttpNegotiate {
 public:
  int http_status() const { return status_; }

  // IUnknown (stack object: reference counts are kept only for symmetry)
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IBindStatusCallback)) {
      *out = static_cast<IBindStatusCallback*>(this);
    } else if (IsEqualIID(riid, IID_IHttpNegotiate)) {
      *out = static_cast<IHttpNegotiate*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }

  // IBindStatusCallback
  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO* info) override {
    if (flags) *flags |= BINDF_GETNEWESTVERSION | BINDF_NOWRITECACHE | BINDF_PRAGMA_NO_CACHE;
    (void)info;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

  // IHttpNegotiate
  HRESULT STDMETHODCALLTYPE BeginningTransaction(LPCWSTR, LPCWSTR, DWORD,
                                                 LPWSTR* additional) override {
    if (additional) *additional = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnResponse(DWORD code, LPCWSTR, LPCWSTR, LPWSTR* additional) override {
    if (additional) *additional = nullptr;
    status_ = static_cast<int>(code);
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
  int status_ = 0;
};

}  // namespace

int download_with_status(const std::string& url, const std::string& path, int& http_status) {
  DownloadCallback callback;
  HRESULT hr = URLDownloadToFileA(nullptr, url.c_str(), path.c_str(), 0, &callback);
  http_status = callback.http_status();
  return static_cast<int>(hr);
}

int Win32Platform::download_to_file(const std::string& url, const std::string& path) {
  int status = 0;
  int hr = download_with_status(url, path, status);
  if (hr != S_OK) return hr;
  // An HTTP answer outside 2xx is an error page, not a configuration file. No status at all (a
  // non-HTTP URL) is left to the moniker's own result.
  if (status != 0 && (status < 200 || status >= 300)) {
    DeleteFileA(path.c_str());
    return -2;
  }
  return 0;
}

}  // namespace taviksms::platform::win32
