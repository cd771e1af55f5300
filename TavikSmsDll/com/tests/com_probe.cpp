// com_probe: what the Wine tests cannot see from a script.
//   com_probe typelib      prints the registered type library as late-bound clients see it, one
//                          line per member of _TavikSms:
//                            func <dispid hex> <name> <invkind> <result vt> [<param>:<vt>]...
//                          then "coclass <name> default=<interface>" and "end".
//   com_probe unload DLL   loads DLL itself and prints "<step> <DllCanUnloadNow result>" while a
//                          class factory, a lock and objects live, and "wrong_thread <scode>" for
//                          a call made on a thread that does not own the object.
// Exit status 0 when the probe ran, 1 otherwise.
#include <windows.h>

#include <oleauto.h>

#include <cstdio>

#include "com/taviksms_idl.h"

namespace {

void print_bstr(BSTR s) {
  for (UINT i = 0; s && i < SysStringLen(s); ++i) std::printf("%c", static_cast<char>(s[i]));
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  CoInitialize(nullptr);
  int rc = 1;
  if (argc >= 2 && lstrcmpW(argv[1], L"typelib") == 0) {
    rc = dump();
  } else if (argc >= 3 && lstrcmpW(argv[1], L"unload") == 0) {
    rc = unload(argv[2]);
  } else {
    std::printf("usage: com_probe typelib | com_probe unload DLL\n");
  }
  std::fflush(stdout);
  CoUninitialize();
  return rc;
}
