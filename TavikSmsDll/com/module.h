// The in-process server's module state: its handle, the live-object and lock counts behind
// DllCanUnloadNow, and the type information that IDispatch is driven by.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <new>
#include <string>

namespace taviksms::com {

HMODULE module_handle();
// The DLL's full path, as registration writes it.
std::wstring module_path();

void object_created();
void object_destroyed();
void lock_server(bool lock);
bool can_unload();

// The type information of _TavikSms from the type library embedded in the DLL (cached, process
// wide; ITypeInfo is free-threaded). Does not add a reference for the caller.
HRESULT interface_type_info(ITypeInfo** out);
// The type information of the coclass TavikSms (IProvideClassInfo); the caller releases it.
HRESULT class_type_info(ITypeInfo** out);
// The type library itself (registration); the caller releases it.
HRESULT load_type_library(ITypeLib** out);

// The last line of every export and of every vtable method that is not a component method:
// whatever `body` throws (out of memory included) ends here as an HRESULT, never crossing into
// the caller.
template <typename F>
HRESULT contained(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace taviksms::com
