// What the database deadlines need on Windows: a detached thread that keeps the DLL loaded until
// it ends. Finding the driver's socket is not done here (the portable default: none).
#include <windows.h>

#include <functional>

#include "platform/win32/win32_platform.h"

namespace taviksms::platform::win32 {

namespace {

DWORD WINAPI detached_main(void* param) {
  auto* body = static_cast<std::function<void()>*>(param);
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&detached_main), &module);
  try {
    (*body)();
  } catch (...) {
  }
  delete body;
  // The reference taken by run_detached keeps the code here until the thread has left it.
  FreeLibraryAndExitThread(module, 0);
  return 0;
}

}  // namespace

bool Win32Platform::run_detached(std::function<void()> body) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&detached_main), &self)) {
    return false;
  }
  auto* held = new std::function<void()>(std::move(body));
  HANDLE thread = CreateThread(nullptr, 0, &detached_main, held, 0, nullptr);
  if (!thread) {
    delete held;
    FreeLibrary(self);
    return false;
  }
  CloseHandle(thread);
  return true;
}

}  // namespace taviksms::platform::win32
