// typelib_dump: prints the registered TavikSmsDll type library as late-bound clients see it, one
// line per member of _TavikSms, for the Wine tests to compare with the published method table:
//   func <dispid hex> <name> <invkind> <result vt> [<param name>:<vt>]...
// followed by "coclass <progid-less class name> default=<interface name>" and "end". Exit status
// 0 when the library loaded, 1 otherwise.
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

}  // namespace

int wmain() {
  CoInitialize(nullptr);
  int rc = dump();
  CoUninitialize();
  std::fflush(stdout);
  return rc;
}
