// DllMain, DllGetClassObject and DllCanUnloadNow, with the counts they rest on.
#include "com/module.h"

#include <atomic>
#include <string>
#include <vector>

#include "com/tavik_sms_object.h"
#include "com/taviksms_idl.h"
#include "platform/win32/win32_platform.h"

namespace taviksms::com {

namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};
std::atomic<ITypeInfo*> g_type_info{nullptr};

}  // namespace

HMODULE module_handle() {
  return g_module;
}

std::wstring module_path() {
  std::vector<wchar_t> name(MAX_PATH);
  for (;;) {
    DWORD n = GetModuleFileNameW(g_module, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) return {};
    if (n < name.size()) return std::wstring(name.data(), n);
    if (name.size() >= 32768) return {};
    name.resize(name.size() * 2);
  }
}

void object_created() {
  ++g_objects;
}
void object_destroyed() {
  --g_objects;
}
void lock_server(bool lock) {
  if (lock) {
    ++g_locks;
  } else {
    --g_locks;
  }
}
bool can_unload() {
  return g_objects.load() == 0 && g_locks.load() == 0;
}

HRESULT load_type_library(ITypeLib** out) {
  *out = nullptr;
  std::wstring path = module_path();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  return LoadTypeLibEx(path.c_str(), REGKIND_NONE, out);
}

HRESULT interface_type_info(ITypeInfo** out) {
  *out = g_type_info.load();
  if (*out) return S_OK;
  ITypeLib* lib = nullptr;
  HRESULT hr = load_type_library(&lib);
  if (FAILED(hr)) return hr;
  ITypeInfo* info = nullptr;
  hr = lib->GetTypeInfoOfGuid(IID__TavikSms, &info);
  lib->Release();
  if (FAILED(hr)) return hr;
  ITypeInfo* expected = nullptr;
  if (!g_type_info.compare_exchange_strong(expected, info)) {
    info->Release();  // another thread cached it first
    info = expected;
  }
  *out = info;
  return S_OK;
}

HRESULT class_type_info(ITypeInfo** out) {
  *out = nullptr;
  ITypeLib* lib = nullptr;
  HRESULT hr = load_type_library(&lib);
  if (FAILED(hr)) return hr;
  hr = lib->GetTypeInfoOfGuid(CLSID_TavikSms, out);
  lib->Release();
  return hr;
}

}  // namespace taviksms::com

using namespace taviksms;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    com::g_module = instance;
    platform::win32::set_module_handle(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // Unloaded by FreeLibrary (not process exit): oleaut32 is still there to take it back.
    if (ITypeInfo* info = com::g_type_info.exchange(nullptr)) info->Release();
  }
  return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_TavikSms)) return CLASS_E_CLASSNOTAVAILABLE;
  return com::class_factory_query(iid, out);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() {
  return com::can_unload() ? S_OK : S_FALSE;
}
