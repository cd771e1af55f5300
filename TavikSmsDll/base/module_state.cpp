#include "base/module_state.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace taviksms::core {

#ifdef _WIN32

// Not a C++ thread_local: the runtime would destroy that at thread exit from a TLS callback,
// under the loader lock, where closing a database or SSH connection may hang. The DLL's thread
// detach takes the record instead (take_module_state) and has it destroyed elsewhere.
namespace {
const DWORD g_slot = TlsAlloc();
}

ModuleState& module_state() {
  auto* state = static_cast<ModuleState*>(TlsGetValue(g_slot));
  if (!state) {
    state = new ModuleState();
    TlsSetValue(g_slot, state);
  }
  return *state;
}

std::uintptr_t current_thread() {
  return GetCurrentThreadId();
}

std::unique_ptr<ModuleState> take_module_state() noexcept {
  if (g_slot == TLS_OUT_OF_INDEXES) return nullptr;
  auto* state = static_cast<ModuleState*>(TlsGetValue(g_slot));
  TlsSetValue(g_slot, nullptr);
  return std::unique_ptr<ModuleState>(state);
}

#else

ModuleState& module_state() {
  thread_local ModuleState state;
  return state;
}

// The address of a thread_local is unique among live threads.
std::uintptr_t current_thread() {
  thread_local char marker = 0;
  return reinterpret_cast<std::uintptr_t>(&marker);
}

#endif

}  // namespace taviksms::core
