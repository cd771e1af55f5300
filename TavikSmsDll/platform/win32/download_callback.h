// The status callback of the ip1.ini download (download.cpp): the HTTP status, a deadline and a
// size limit for URLDownloadToFileA, and the bind options urlmon asks for. In a header of its
// own so that a Windows test program can hold urlmon's side of the contract against it.
#pragma once

#include <windows.h>

#include <urlmon.h>

#include <atomic>
#include <cstddef>

namespace taviksms::platform::win32 {

inline constexpr ULONG kMaxDownloadBytes = 1 << 20;  // larger is not a configuration file

class DownloadCallback final : public IBindStatusCallback, public IHttpNegotiate {
 public:
  explicit DownloadCallback(ULONGLONG deadline) : deadline_(deadline) {}
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
  // Returning E_ABORT ends the transfer: past the deadline, or an answer too large to be ours.
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG, ULONG, LPCWSTR) override {
    if (GetTickCount64() > deadline_ || progress > kMaxDownloadBytes) return E_ABORT;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override { return S_OK; }
  // The flags are ours to set, not to add to (the caller's value is undefined), and the
  // structure is ours to fill: everything but its size, which the caller set for its version.
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO* info) override {
    if (!flags || !info) return E_INVALIDARG;
    *flags = BINDF_GETNEWESTVERSION | BINDF_NOWRITECACHE | BINDF_PRAGMA_NO_CACHE;
    const ULONG size = info->cbSize;
    if (size < sizeof(ULONG)) return E_INVALIDARG;
    const std::size_t fill = size < sizeof(BINDINFO) ? size : sizeof(BINDINFO);
    ZeroMemory(info, fill);
    info->cbSize = size;
    if (fill >= offsetof(BINDINFO, dwBindVerb) + sizeof(info->dwBindVerb)) {
      info->dwBindVerb = BINDVERB_GET;
    }
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
  ULONGLONG deadline_;
  int status_ = 0;
};

}  // namespace taviksms::platform::win32
