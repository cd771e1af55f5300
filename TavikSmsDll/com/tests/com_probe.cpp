// com_probe: what the Wine tests cannot see from a script.
//   com_probe typelib      prints the registered type library as late-bound clients see it, one
//                          line per member of _TavikSms:
//                            func <dispid hex> <name> <invkind> <result vt> [<param>:<vt>]...
//                          then "coclass <name> default=<interface>" and "end".
//   com_probe unload DLL   loads DLL itself and prints "<step> <DllCanUnloadNow result>" while a
//                          class factory, a lock and objects live, and "wrong_thread <scode>" for
//                          a call made on a thread that does not own the object.
//   com_probe dispatch     calls the registered object through IDispatch the ways C++ and .NET
//                          hosts do (property get, named arguments, typed by-reference arguments,
//                          Booleans), asks for its class (IProvideClassInfo), and runs a second
//                          session in an apartment of its own; one "<case> <hresult> <result>"
//                          line each.
//   com_probe worker PIC   a worker thread logs in, uploads PIC and ends without Logout or
//                          FTP_DisConnect (object not released, apartment not left); prints the
//                          calls' lines, "worker_exit <ms>" for the wait on the thread, and
//                          "end". The process then ends without any cleanup call either.
//   com_probe oom          an IDispatch::Invoke whose argument copy cannot be allocated (a
//                          Boolean named argument for a text parameter, with an argument count
//                          whose copy would need ~100 GB, 1.6 GB in a 32-bit process): "oom
//                          <hresult>" then "end", or "oom skipped" when the process would be
//                          given that much memory.
//   com_probe bindinfo     the download callback's GetBindInfo as urlmon calls it, with flags
//                          and a BINDINFO full of junk: "bindinfo <hr> <flags> <cbSize kept
//                          0/1> <verb> <other bytes zero 0/1>", and for a BINDINFO of an older,
//                          shorter size "bindinfo_short <hr> <cbSize kept> <bytes past it
//                          untouched 0/1>".
//   com_probe docs         the help strings of the registered type library through
//                          ITypeInfo::GetDocumentation: "doc library <text>", "doc coclass
//                          <text>", "doc interface <text>", "doc <method> <text>" for each
//                          member of _TavikSms, then "end" (texts as UTF-8).
//   com_probe login-env V  sets LOCALAPPDATA to V for this process (V "-" removes it), then
//                          Login("demo", "demo1234") and Logout through IDispatch: "login <hr>
//                          <result>", "logout ...", "end".
// Exit status 0 when the probe ran, 1 otherwise.
#include <windows.h>

#include <ocidl.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "com/taviksms_idl.h"
#include "platform/win32/download_callback.h"

namespace {

void print_bstr(BSTR s) {
  for (UINT i = 0; s && i < SysStringLen(s); ++i) std::printf("%c", static_cast<char>(s[i]));
}

void print_utf8(BSTR s) {
  if (!s) return;
  int len = static_cast<int>(SysStringLen(s));
  int need = WideCharToMultiByte(CP_UTF8, 0, s, len, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(need > 0 ? need : 0), '\0');
  if (need > 0) WideCharToMultiByte(CP_UTF8, 0, s, len, out.data(), need, nullptr, nullptr);
  std::fwrite(out.data(), 1, out.size(), stdout);
}

// "doc <what> <help string>" for one member (or the type itself: MEMBERID_NIL).
void print_doc(ITypeInfo* info, MEMBERID id, const char* what) {
  BSTR name = nullptr;
  BSTR doc = nullptr;
  HRESULT hr = info->GetDocumentation(id, &name, &doc, nullptr, nullptr);
  std::printf("doc ");
  if (what) {
    std::printf("%s", what);
  } else {
    print_bstr(name);
  }
  if (FAILED(hr)) {
    std::printf(" error 0x%08lX\n", static_cast<unsigned long>(hr));
    return;
  }
  std::printf(" ");
  print_utf8(doc);
  std::printf("\n");
  SysFreeString(name);
  SysFreeString(doc);
}

int docs() {
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadRegTypeLib(LIBID_TavikSmsDll, 1, 0, 0, &lib);
  if (FAILED(hr)) {
    std::printf("error LoadRegTypeLib 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  BSTR doc = nullptr;
  if (SUCCEEDED(lib->GetDocumentation(-1, nullptr, &doc, nullptr, nullptr))) {
    std::printf("doc library ");
    print_utf8(doc);
    std::printf("\n");
    SysFreeString(doc);
  }
  ITypeInfo* cls = nullptr;
  if (SUCCEEDED(lib->GetTypeInfoOfGuid(CLSID_TavikSms, &cls))) {
    print_doc(cls, MEMBERID_NIL, "coclass");
    cls->Release();
  }
  ITypeInfo* info = nullptr;
  if (SUCCEEDED(lib->GetTypeInfoOfGuid(IID__TavikSms, &info))) {
    print_doc(info, MEMBERID_NIL, "interface");
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&attr))) {
      for (UINT f = 0; f < attr->cFuncs; ++f) {
        FUNCDESC* fd = nullptr;
        if (FAILED(info->GetFuncDesc(f, &fd))) continue;
        print_doc(info, fd->memid, nullptr);
        info->ReleaseFuncDesc(fd);
      }
      info->ReleaseTypeAttr(attr);
    }
    info->Release();
  }
  lib->Release();
  std::printf("end\n");
  return 0;
}

int dump() {
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadRegTypeLib(LIBID_TavikSmsDll, 1, 0, 0, &lib);
  if (FAILED(hr)) {
    std::printf("error LoadRegTypeLib 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  ITypeInfo* info = nullptr;
  hr = lib->GetTypeInfoOfGuid(IID__TavikSms, &info);
  if (FAILED(hr)) {
    std::printf("error GetTypeInfoOfGuid 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  TYPEATTR* attr = nullptr;
  info->GetTypeAttr(&attr);
  std::printf("interface kind=%d flags=0x%X funcs=%d\n", attr->typekind, attr->wTypeFlags,
              attr->cFuncs);
  for (UINT f = 0; f < attr->cFuncs; ++f) {
    FUNCDESC* fd = nullptr;
    if (FAILED(info->GetFuncDesc(f, &fd))) continue;
    BSTR names[32] = {};
    UINT count = 0;
    info->GetNames(fd->memid, names, 32, &count);
    std::printf("func 0x%08lX ", static_cast<unsigned long>(fd->memid));
    print_bstr(names[0]);
    std::printf(" %d %d", fd->invkind, fd->elemdescFunc.tdesc.vt);
    for (SHORT p = 0; p < fd->cParams; ++p) {
      std::printf(" ");
      if (static_cast<UINT>(p + 1) < count) print_bstr(names[p + 1]);
      std::printf(":%d", fd->lprgelemdescParam[p].tdesc.vt);
    }
    std::printf("\n");
    for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);
    info->ReleaseFuncDesc(fd);
  }
  info->ReleaseTypeAttr(attr);
  info->Release();

  ITypeInfo* cls = nullptr;
  if (SUCCEEDED(lib->GetTypeInfoOfGuid(CLSID_TavikSms, &cls))) {
    BSTR name = nullptr;
    cls->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    std::printf("coclass ");
    print_bstr(name);
    SysFreeString(name);
    HREFTYPE ref = 0;
    ITypeInfo* def = nullptr;
    if (SUCCEEDED(cls->GetRefTypeOfImplType(0, &ref)) &&
        SUCCEEDED(cls->GetRefTypeInfo(ref, &def))) {
      BSTR iname = nullptr;
      def->GetDocumentation(MEMBERID_NIL, &iname, nullptr, nullptr, nullptr);
      std::printf(" default=");
      print_bstr(iname);
      SysFreeString(iname);
      def->Release();
    }
    std::printf("\n");
    cls->Release();
  }
  lib->Release();
  std::printf("end\n");
  return 0;
}

using CanUnloadFn = HRESULT(WINAPI*)();
using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

struct ThreadCall {
  IDispatch* object;
  HRESULT hr;
  SCODE scode;
};

DWORD WINAPI call_from_other_thread(void* p) {
  auto* c = static_cast<ThreadCall*>(p);
  CoInitialize(nullptr);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO ei{};
  c->hr = c->object->Invoke(0x600300D3, IID_NULL, 0, DISPATCH_METHOD, &none, &result, &ei, nullptr);
  c->scode = ei.scode;
  SysFreeString(ei.bstrSource);
  SysFreeString(ei.bstrDescription);
  VariantClear(&result);
  CoUninitialize();
  return 0;
}

int unload(const wchar_t* dll) {
  HMODULE h = LoadLibraryW(dll);
  if (!h) {
    std::printf("error LoadLibrary %lu\n", GetLastError());
    return 1;
  }
  auto can_unload = reinterpret_cast<CanUnloadFn>(GetProcAddress(h, "DllCanUnloadNow"));
  auto get_class = reinterpret_cast<GetClassObjectFn>(GetProcAddress(h, "DllGetClassObject"));
  if (!can_unload || !get_class) return 1;
  auto step = [&](const char* name) {
    std::printf("%s %s\n", name, can_unload() == S_OK ? "S_OK" : "S_FALSE");
  };
  step("initial");
  IClassFactory* factory = nullptr;
  if (FAILED(get_class(CLSID_TavikSms, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
    return 1;
  }
  step("factory_held");
  IDispatch* a = nullptr;
  IDispatch* b = nullptr;
  factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&a));
  factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&b));
  factory->LockServer(TRUE);
  factory->Release();
  step("locked_two_objects");
  factory = nullptr;
  get_class(CLSID_TavikSms, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  factory->LockServer(FALSE);
  factory->Release();
  step("two_objects");

  ThreadCall call{a, S_OK, 0};
  HANDLE t = CreateThread(nullptr, 0, call_from_other_thread, &call, 0, nullptr);
  WaitForSingleObject(t, 30000);
  CloseHandle(t);
  std::printf("wrong_thread 0x%08lX 0x%08lX\n", static_cast<unsigned long>(call.hr),
              static_cast<unsigned long>(call.scode));

  a->Release();
  step("one_object");
  b->Release();
  step("released");
  std::fflush(stdout);
  return 0;
}

// One IDispatch::Invoke: "<name> <hr> <result as text>", plus the EXCEPINFO scode on failure.
void invoke(IDispatch* d, const char* name, const wchar_t* method, WORD flags,
            std::initializer_list<const wchar_t*> named, VARIANT* args, UINT count) {
  std::vector<std::wstring> words{method};
  for (const wchar_t* n : named) words.push_back(n);
  std::vector<LPOLESTR> names;
  for (auto& w : words) names.push_back(w.data());
  std::vector<DISPID> ids(names.size());
  HRESULT hr =
      d->GetIDsOfNames(IID_NULL, names.data(), static_cast<UINT>(names.size()), 0, ids.data());
  if (FAILED(hr)) {
    std::printf("%s names 0x%08lX\n", name, static_cast<unsigned long>(hr));
    return;
  }
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{args, ids.size() > 1 ? ids.data() + 1 : nullptr, count,
                    static_cast<UINT>(ids.size() - 1)};
  if (flags == DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &put;
    params.cNamedArgs = 1;
  }
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO ei{};
  UINT arg_err = 0;
  hr = d->Invoke(ids[0], IID_NULL, 0, flags, &params, &result, &ei, &arg_err);
  std::printf("%s 0x%08lX", name,
              static_cast<unsigned long>(hr == DISP_E_EXCEPTION ? ei.scode : hr));
  if (SUCCEEDED(hr)) {
    VARIANT text;
    VariantInit(&text);
    if (SUCCEEDED(VariantChangeType(&text, &result, 0, VT_BSTR))) {
      std::printf(" ");
      print_bstr(V_BSTR(&text));
    }
    VariantClear(&text);
  }
  std::printf("\n");
  SysFreeString(ei.bstrSource);
  SysFreeString(ei.bstrDescription);
  SysFreeString(ei.bstrHelpFile);
  VariantClear(&result);
}

VARIANT text_arg(const wchar_t* s) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(s);
  return v;
}

IDispatch* create_object() {
  CLSID clsid{};
  IDispatch* d = nullptr;
  if (FAILED(CLSIDFromProgID(L"TavikSmsDll.TavikSms", &clsid))) return nullptr;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&d)))) {
    return nullptr;
  }
  return d;
}

// The calls every session makes: login, balance, logout (arguments right to left).
void session(IDispatch* d, const char* tag) {
  std::string login = std::string(tag) + "_login";
  std::string janek = std::string(tag) + "_janek";
  std::string logout = std::string(tag) + "_logout";
  VARIANT args[2] = {text_arg(L"demo1234"), text_arg(L"demo")};
  invoke(d, login.c_str(), L"Login", DISPATCH_METHOD, {}, args, 2);
  invoke(d, janek.c_str(), L"SmsJanek", DISPATCH_METHOD, {}, nullptr, 0);
  invoke(d, logout.c_str(), L"Logout", DISPATCH_METHOD, {}, nullptr, 0);
  for (VARIANT& v : args) VariantClear(&v);
}

// Login and Logout with LOCALAPPDATA set to `value` ("-": removed) in this process, where the
// component looks for the per-user ip1.ini folder when its own folder is not writable.
int login_with_local_app_data(const wchar_t* value) {
  SetEnvironmentVariableW(L"LOCALAPPDATA", lstrcmpW(value, L"-") == 0 ? nullptr : value);
  IDispatch* d = create_object();
  if (!d) {
    std::printf("error create\n");
    return 1;
  }
  VARIANT args[2] = {text_arg(L"demo1234"), text_arg(L"demo")};
  invoke(d, "login", L"Login", DISPATCH_METHOD, {}, args, 2);
  invoke(d, "logout", L"Logout", DISPATCH_METHOD, {}, nullptr, 0);
  for (VARIANT& v : args) VariantClear(&v);
  d->Release();
  std::printf("end\n");
  return 0;
}

DWORD WINAPI second_apartment(void*) {
  CoInitialize(nullptr);
  if (IDispatch* d = create_object()) {
    session(d, "thread2");
    d->Release();
  } else {
    std::printf("thread2 create failed\n");
  }
  std::fflush(stdout);
  CoUninitialize();
  return 0;
}

int out_of_memory() {
  // Times sizeof(VARIANT): ~100 GB for a 64-bit process, 1.6 GB for a 32-bit one.
  constexpr UINT kArgs = sizeof(void*) == 8 ? 0xFFFFFFF0u : 0x06000000u;
  if (void* p = VirtualAlloc(nullptr, static_cast<SIZE_T>(kArgs) * sizeof(VARIANT),
                             MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE)) {
    VirtualFree(p, 0, MEM_RELEASE);
    std::printf("oom skipped\n");
    return 0;
  }
  IDispatch* d = create_object();
  if (!d) {
    std::printf("error create\n");
    return 1;
  }
  OLECHAR login[] = L"Login";
  OLECHAR user[] = L"User_ID";
  LPOLESTR names[] = {login, user};
  DISPID ids[2] = {};
  HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 2, 0, ids);
  if (FAILED(hr)) {
    std::printf("oom names 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  // Only the first argument is ever read: the component must give up when it cannot copy them.
  VARIANT flag;
  VariantInit(&flag);
  V_VT(&flag) = VT_BOOL;
  V_BOOL(&flag) = VARIANT_TRUE;
  DISPPARAMS params{&flag, &ids[1], kArgs, 1};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO ei{};
  UINT arg_err = 0;
  hr = d->Invoke(ids[0], IID_NULL, 0, DISPATCH_METHOD, &params, &result, &ei, &arg_err);
  std::printf("oom 0x%08lX\nend\n", static_cast<unsigned long>(hr));
  VariantClear(&result);
  d->Release();
  std::fflush(stdout);
  return 0;
}

int bind_info() {
  taviksms::platform::win32::DownloadCallback callback(GetTickCount64() + 1000);
  struct {
    BINDINFO info;
    unsigned char tail[64];
  } buf;
  FillMemory(&buf, sizeof buf, 0xAB);
  buf.info.cbSize = sizeof(BINDINFO);
  DWORD flags = 0xFFFFFFFF;
  HRESULT hr = callback.GetBindInfo(&flags, &buf.info);
  bool zero = true;
  const auto* bytes = reinterpret_cast<const unsigned char*>(&buf.info);
  for (std::size_t i = sizeof(ULONG); i < sizeof(BINDINFO); ++i) {
    if (i >= offsetof(BINDINFO, dwBindVerb) && i < offsetof(BINDINFO, dwBindVerb) + sizeof(DWORD))
      continue;
    zero = zero && bytes[i] == 0;
  }
  std::printf("bindinfo 0x%08lX 0x%08lX %d %lu %d\n", static_cast<unsigned long>(hr),
              static_cast<unsigned long>(flags), buf.info.cbSize == sizeof(BINDINFO) ? 1 : 0,
              static_cast<unsigned long>(buf.info.dwBindVerb), zero ? 1 : 0);

  // An older BINDINFO, only as far as dwBindVerb: nothing past it may be written.
  FillMemory(&buf, sizeof buf, 0xAB);
  const ULONG short_size = offsetof(BINDINFO, dwBindVerb) + sizeof(DWORD);
  buf.info.cbSize = short_size;
  hr = callback.GetBindInfo(&flags, &buf.info);
  bool untouched = true;
  for (std::size_t i = short_size; i < sizeof buf; ++i) {
    untouched = untouched && reinterpret_cast<const unsigned char*>(&buf)[i] == 0xAB;
  }
  std::printf("bindinfo_short 0x%08lX %d %d\n", static_cast<unsigned long>(hr),
              buf.info.cbSize == short_size ? 1 : 0, untouched ? 1 : 0);
  std::fflush(stdout);
  return 0;
}

DWORD WINAPI abandoning_worker(void* picture) {
  CoInitialize(nullptr);
  IDispatch* d = create_object();
  if (!d) {
    std::printf("worker create failed\n");
    return 1;
  }
  VARIANT login[2] = {text_arg(L"demo1234"), text_arg(L"demo")};
  invoke(d, "worker_login", L"Login", DISPATCH_METHOD, {}, login, 2);
  VARIANT pic = text_arg(static_cast<const wchar_t*>(picture));
  invoke(d, "worker_upload", L"FTP_Upload", DISPATCH_METHOD, {}, &pic, 1);
  for (VARIANT& v : login) VariantClear(&v);
  VariantClear(&pic);
  std::fflush(stdout);
  return 0;  // the thread ends holding the object, the connection and the SFTP session
}

int worker(const wchar_t* picture) {
  const ULONGLONG start = GetTickCount64();
  HANDLE t = CreateThread(nullptr, 0, abandoning_worker, const_cast<wchar_t*>(picture), 0, nullptr);
  if (!t) return 1;
  DWORD waited = WaitForSingleObject(t, 60000);
  CloseHandle(t);
  std::printf("worker_exit %s %llu\n", waited == WAIT_OBJECT_0 ? "ok" : "timeout",
              static_cast<unsigned long long>(GetTickCount64() - start));
  // Time for the ended thread's session to be closed by the library on its own.
  Sleep(1500);
  std::printf("end\n");
  std::fflush(stdout);
  ExitProcess(0);  // no CoUninitialize, no FreeLibrary: the host just ends
}

int dispatch() {
  IDispatch* d = create_object();
  if (!d) {
    std::printf("error create\n");
    return 1;
  }
  // IProvideClassInfo: the class behind the object, as VB's TypeName reports it.
  IProvideClassInfo* pci = nullptr;
  std::printf("class_info ");
  if (SUCCEEDED(d->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&pci)))) {
    ITypeInfo* cls = nullptr;
    if (SUCCEEDED(pci->GetClassInfo(&cls))) {
      BSTR name = nullptr;
      cls->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
      print_bstr(name);
      SysFreeString(name);
      cls->Release();
    }
    pci->Release();
  } else {
    std::printf("none");
  }
  std::printf("\n");

  // Named arguments in the opposite order to the declaration (VB: Login(Passwd:=...,
  // User_ID:=...)).
  VARIANT named[2] = {text_arg(L"demo"), text_arg(L"demo1234")};  // User_ID, Passwd
  invoke(d, "named", L"Login", DISPATCH_METHOD, {L"User_ID", L"Passwd"}, named, 2);
  for (VARIANT& v : named) VariantClear(&v);
  // A property get of a method without arguments (.NET InvokeMember GetProperty, PowerShell).
  invoke(d, "propget_janek", L"SmsJanek", DISPATCH_PROPERTYGET, {}, nullptr, 0);
  invoke(d, "propget_logout", L"Logout", DISPATCH_PROPERTYGET, {}, nullptr, 0);
  // A property put is no call.
  VARIANT one;
  VariantInit(&one);
  V_VT(&one) = VT_I4;
  V_I4(&one) = 1;
  invoke(d, "propput", L"Logout", DISPATCH_PROPERTYPUT, {}, &one, 1);
  // Typed by-reference arguments, as VB passes its String variables.
  BSTR user = SysAllocString(L"demo");
  BSTR pw = SysAllocString(L"demo1234");
  VARIANT byref[2];
  VariantInit(&byref[0]);
  VariantInit(&byref[1]);
  V_VT(&byref[0]) = VT_BYREF | VT_BSTR;
  V_BSTRREF(&byref[0]) = &pw;
  V_VT(&byref[1]) = VT_BYREF | VT_BSTR;
  V_BSTRREF(&byref[1]) = &user;
  invoke(d, "byref_bstr", L"Login", DISPATCH_METHOD, {}, byref, 2);
  SysFreeString(user);
  SysFreeString(pw);
  // A Boolean where a text is expected: VB's CStr gives "True"/"False"; the rejected login's
  // message shows the id arrived (the test reads the service's call log).
  VARIANT flag[2] = {text_arg(L"x"), {}};
  V_VT(&flag[1]) = VT_BOOL;
  V_BOOL(&flag[1]) = VARIANT_TRUE;
  invoke(d, "bool_text", L"Login", DISPATCH_METHOD, {}, flag, 2);
  VARIANT_BOOL no = VARIANT_FALSE;
  V_VT(&flag[1]) = VT_BYREF | VT_BOOL;
  V_BOOLREF(&flag[1]) = &no;
  invoke(d, "bool_text_byref", L"Login", DISPATCH_METHOD, {}, flag, 2);
  VariantClear(&flag[0]);

  // A session on this thread, and one on a second apartment with its own state.
  session(d, "thread1");
  HANDLE t = CreateThread(nullptr, 0, second_apartment, nullptr, 0, nullptr);
  if (WaitForSingleObject(t, 60000) != WAIT_OBJECT_0) std::printf("thread2 timeout\n");
  CloseHandle(t);
  d->Release();
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  CoInitialize(nullptr);
  int rc = 1;
  if (argc >= 2 && lstrcmpW(argv[1], L"typelib") == 0) {
    rc = dump();
  } else if (argc >= 3 && lstrcmpW(argv[1], L"unload") == 0) {
    rc = unload(argv[2]);
  } else if (argc >= 2 && lstrcmpW(argv[1], L"docs") == 0) {
    rc = docs();
  } else if (argc >= 3 && lstrcmpW(argv[1], L"login-env") == 0) {
    rc = login_with_local_app_data(argv[2]);
  } else if (argc >= 2 && lstrcmpW(argv[1], L"dispatch") == 0) {
    rc = dispatch();
  } else if (argc >= 2 && lstrcmpW(argv[1], L"oom") == 0) {
    rc = out_of_memory();
  } else if (argc >= 2 && lstrcmpW(argv[1], L"bindinfo") == 0) {
    rc = bind_info();
  } else if (argc >= 3 && lstrcmpW(argv[1], L"worker") == 0) {
    rc = worker(argv[2]);
  } else {
    std::printf(
        "usage: com_probe typelib | com_probe docs | com_probe unload DLL | com_probe dispatch | "
        "com_probe worker PIC | com_probe bindinfo | com_probe oom | com_probe login-env V\n");
  }
  std::fflush(stdout);
  CoUninitialize();
  return rc;
}
