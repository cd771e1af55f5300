// DllRegisterServer / DllUnregisterServer (machine-wide, under HKEY_CLASSES_ROOT) and DllInstall
// ("regsvr32 /n /i:user" registers the same keys for the current user under
// HKEY_CURRENT_USER\Software\Classes, which needs no administrator).
//
// Keys written, under the chosen root:
//   TavikSmsDll.TavikSms                      = "TavikSms", CLSID = {class id}
//   CLSID\{class id}                          = "TavikSms"
//     InprocServer32                          = DLL path, ThreadingModel = "Apartment"
//     ProgID = "TavikSmsDll.TavikSms", VersionIndependentProgID = the same (the ProgID carries
//     no version number), TypeLib = {library id}, Version = "1.0", Programmable
//   TypeLib\{library id}\1.0                  = "TavikSmsDll", FLAGS = "0", HELPDIR = DLL folder
//     0\win32 or 0\win64                      = DLL path
//   Interface\{interface id}                  = "_TavikSms", the automation marshaller as its
//                                               proxy/stub, TypeLib = {library id}, Version "1.0"
// Unregistering removes them; the type library's key stays while the other architecture's build
// is still registered (its 0\win32 or 0\win64 entry remains): TypeLib is one key for both
// registry views of 64-bit Windows, while CLSID and Interface are kept per view, so each build
// removes its own view's interface key.
#include <windows.h>

#include <olectl.h>

#include <new>
#include <string>

#include "com/module.h"
#include "com/taviksms_idl.h"

namespace {

constexpr wchar_t kProgId[] = L"TavikSmsDll.TavikSms";
constexpr wchar_t kAutomationMarshaller[] = L"{00020424-0000-0000-C000-000000000046}";
#ifdef _WIN64
constexpr wchar_t kTypeLibPlatform[] = L"win64";
#else
constexpr wchar_t kTypeLibPlatform[] = L"win32";
#endif

std::wstring guid_text(REFGUID g) {
  wchar_t buf[64] = {};
  StringFromGUID2(g, buf, 64);
  return buf;
}

struct Scope {
  HKEY root;
  std::wstring prefix;  // "" for HKCR, "Software\\Classes\\" for HKCU
};

Scope machine_scope() {
  return {HKEY_CLASSES_ROOT, L""};
}
Scope user_scope() {
  return {HKEY_CURRENT_USER, L"Software\\Classes\\"};
}

LONG set_value(const Scope& s, const std::wstring& key, const wchar_t* name,
               const std::wstring& value) {
  HKEY h = nullptr;
  LONG rc = RegCreateKeyExW(s.root, (s.prefix + key).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &h, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(h);
  return rc;
}

LONG create_key(const Scope& s, const std::wstring& key) {
  HKEY h = nullptr;
  LONG rc = RegCreateKeyExW(s.root, (s.prefix + key).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &h, nullptr);
  if (rc == ERROR_SUCCESS) RegCloseKey(h);
  return rc;
}

// Deletes `key` and everything below it; a missing key is no error.
void delete_tree(const Scope& s, const std::wstring& key) {
  std::wstring full = s.prefix + key;
  HKEY h = nullptr;
  if (RegOpenKeyExW(s.root, full.c_str(), 0, KEY_READ | KEY_WRITE, &h) == ERROR_SUCCESS) {
    for (int guard = 0; guard < 10000; ++guard) {
      wchar_t name[256];
      DWORD len = 256;
      if (RegEnumKeyExW(h, 0, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        break;
      }
      delete_tree(s, key + L"\\" + name);
    }
    RegCloseKey(h);
  }
  RegDeleteKeyW(s.root, full.c_str());
}

bool has_subkeys(const Scope& s, const std::wstring& key) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(s.root, (s.prefix + key).c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) {
    return false;
  }
  DWORD count = 0;
  RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                   nullptr, nullptr, nullptr);
  RegCloseKey(h);
  return count > 0;
}

HRESULT unregister(const Scope& s) {
  std::wstring clsid = guid_text(CLSID_TavikSms);
  std::wstring libid = guid_text(LIBID_TavikSmsDll);
  std::wstring iid = guid_text(IID__TavikSms);
  delete_tree(s, kProgId);
  delete_tree(s, L"CLSID\\" + clsid);
  std::wstring lib_version = L"TypeLib\\" + libid + L"\\1.0";
  delete_tree(s, lib_version + L"\\0\\" + kTypeLibPlatform);
  if (!has_subkeys(s, lib_version + L"\\0")) delete_tree(s, L"TypeLib\\" + libid);
  // This view's marshaling entry goes with this build; keeping it while the other build remained
  // registered left it behind for good once that one was unregistered in its own view.
  delete_tree(s, L"Interface\\" + iid);
  return S_OK;
}

HRESULT register_in(const Scope& s) {
  std::wstring path = taviksms::com::module_path();
  if (path.empty()) return SELFREG_E_CLASS;
  std::wstring folder = path.substr(0, path.find_last_of(L"\\/"));
  std::wstring clsid = guid_text(CLSID_TavikSms);
  std::wstring libid = guid_text(LIBID_TavikSmsDll);
  std::wstring iid = guid_text(IID__TavikSms);
  std::wstring clsid_key = L"CLSID\\" + clsid;
  std::wstring lib_key = L"TypeLib\\" + libid + L"\\1.0";
  std::wstring iid_key = L"Interface\\" + iid;

  LONG rc = ERROR_SUCCESS;
  auto set = [&](const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    if (rc == ERROR_SUCCESS) rc = set_value(s, key, name, value);
  };
  set(kProgId, nullptr, L"TavikSms");
  set(std::wstring(kProgId) + L"\\CLSID", nullptr, clsid);
  set(clsid_key, nullptr, L"TavikSms");
  set(clsid_key + L"\\InprocServer32", nullptr, path);
  set(clsid_key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
  set(clsid_key + L"\\ProgID", nullptr, kProgId);
  set(clsid_key + L"\\VersionIndependentProgID", nullptr, kProgId);
  set(clsid_key + L"\\TypeLib", nullptr, libid);
  set(clsid_key + L"\\Version", nullptr, L"1.0");
  if (rc == ERROR_SUCCESS) rc = create_key(s, clsid_key + L"\\Programmable");
  set(lib_key, nullptr, L"TavikSmsDll");
  set(lib_key + L"\\FLAGS", nullptr, L"0");
  set(lib_key + L"\\HELPDIR", nullptr, folder);
  set(lib_key + L"\\0\\" + kTypeLibPlatform, nullptr, path);
  set(iid_key, nullptr, L"_TavikSms");
  set(iid_key + L"\\ProxyStubClsid", nullptr, kAutomationMarshaller);
  set(iid_key + L"\\ProxyStubClsid32", nullptr, kAutomationMarshaller);
  set(iid_key + L"\\TypeLib", nullptr, libid);
  set(iid_key + L"\\TypeLib", L"Version", L"1.0");
  if (rc != ERROR_SUCCESS) {
    unregister(s);
    return rc == ERROR_ACCESS_DENIED ? E_ACCESSDENIED : SELFREG_E_CLASS;
  }
  return S_OK;
}

bool is_user_scope(LPCWSTR command_line) {
  return command_line && lstrcmpiW(command_line, L"user") == 0;
}

}  // namespace

using taviksms::com::contained;  // nothing thrown (the key texts are built in memory) leaves an
                                 // export

extern "C" HRESULT WINAPI DllRegisterServer() {
  return contained([] { return register_in(machine_scope()); });
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
  return contained([] { return unregister(machine_scope()); });
}

// regsvr32 /n /i:user (register) and regsvr32 /u /n /i:user (unregister): per-user keys.
// Without "user" the machine-wide keys, as DllRegisterServer writes them.
extern "C" HRESULT WINAPI DllInstall(BOOL install, LPCWSTR command_line) {
  return contained([&] {
    Scope s = is_user_scope(command_line) ? user_scope() : machine_scope();
    return install ? register_in(s) : unregister(s);
  });
}
