// DllMain, DllGetClassObject and DllCanUnloadNow, with the counts they rest on.
#include "com/module.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "base/module_state.h"
#include "com/tavik_sms_object.h"
#include "com/taviksms_idl.h"
#include "platform/win32/win32_platform.h"

namespace taviksms::com {

namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};
std::atomic<ITypeInfo*> g_type_info{nullptr};

// ---- per-thread records of ended threads ----
// A thread's ModuleState may hold an open database connection and an SFTP session. Thread
// detach runs under the loader lock, where closing them (network round trips, driver code that
// may itself wait for the loader) can hang the process: the record goes to a thread of its own
// that destroys it after the lock is released. When the library unloads or the process ends,
// records are abandoned, never closed: the connections end with the process or the server.
SRWLOCK g_retired_lock = SRWLOCK_INIT;
std::vector<core::ModuleState*>* g_retired = nullptr;  // guarded by g_retired_lock
bool g_reaper_running = false;                         // guarded by g_retired_lock

DWORD WINAPI reaper(void*) {
  for (;;) {
    std::vector<core::ModuleState*> batch;
    AcquireSRWLockExclusive(&g_retired_lock);
    if (g_retired) batch.swap(*g_retired);
    if (batch.empty()) g_reaper_running = false;
    ReleaseSRWLockExclusive(&g_retired_lock);
    if (batch.empty()) break;
    for (core::ModuleState* state : batch) delete state;
  }
  // The reference taken when this thread was started keeps the code here until it has left.
  FreeLibraryAndExitThread(g_module, 0);
  return 0;
}

bool holds_connections(const core::ModuleState& s) {
  return s.session.conn || s.session.cmd || s.session.rs || s.sftp.client;
}

// Thread detach (loader lock held).
void retire_thread_state() noexcept {
  std::unique_ptr<core::ModuleState> state = core::take_module_state();
  if (!state || !holds_connections(*state)) return;  // texts only: freed here
  AcquireSRWLockExclusive(&g_retired_lock);
  bool queued = false;
  try {
    if (!g_retired) g_retired = new std::vector<core::ModuleState*>();
    g_retired->push_back(state.get());
    queued = true;
    if (!g_reaper_running) {
      HMODULE self = nullptr;
      HANDLE thread = nullptr;
      // The new thread starts running once the loader lock is free; it holds a reference on
      // the library meanwhile, so the library cannot go away under it.
      if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                             reinterpret_cast<LPCWSTR>(&reaper), &self)) {
        thread = CreateThread(nullptr, 0, &reaper, nullptr, 0, nullptr);
        if (!thread) FreeLibrary(self);
      }
      if (thread) {
        CloseHandle(thread);
        g_reaper_running = true;
      } else {
        g_retired->pop_back();
        queued = false;
      }
    }
  } catch (...) {
    if (queued) g_retired->pop_back();
    queued = false;
  }
  ReleaseSRWLockExclusive(&g_retired_lock);
  // Queued: the reaper owns it now. Otherwise abandoned rather than closed here.
  (void)state.release();
}

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
  } else if (reason == DLL_THREAD_DETACH) {
    com::retire_thread_state();
  } else if (reason == DLL_PROCESS_DETACH) {
    // Unloading or the process ending: whatever the threads still hold is abandoned, not closed
    // under the loader lock (the process's end or the server's timeout ends those sessions).
    (void)core::take_module_state().release();
    if (reserved == nullptr) {
      // Unloaded by FreeLibrary (not process exit): oleaut32 is still there to take it back.
      if (ITypeInfo* info = com::g_type_info.exchange(nullptr)) info->Release();
    }
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
