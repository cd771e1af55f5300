#include "com/automation.h"

#include <new>

namespace taviksms::com {

std::u16string from_bstr(BSTR s) {
  if (!s) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(s), SysStringLen(s));
}

BSTR to_bstr(std::u16string_view s) {
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(s.data()), static_cast<UINT>(s.size()));
}

bool variant_text(const VARIANT& v, std::u16string& out) {
  VARIANT copy;
  VariantInit(&copy);
  if (FAILED(VariantChangeType(&copy, const_cast<VARIANT*>(&v), 0, VT_BSTR))) return false;
  out = from_bstr(V_BSTR(&copy));
  VariantClear(&copy);
  return true;
}

namespace {

// The Boolean an argument holds, through VB's by-reference forms.
bool boolean_argument(const VARIANT& v, VARIANT_BOOL& out) {
  const VARIANT* p = &v;
  if (V_VT(p) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(p)) p = V_VARIANTREF(p);
  if (V_VT(p) == VT_BOOL) {
    out = V_BOOL(p);
    return true;
  }
  if (V_VT(p) == (VT_BYREF | VT_BOOL) && V_BOOLREF(p)) {
    out = *V_BOOLREF(p);
    return true;
  }
  return false;
}

// The declared type of parameter `index` of method `id`; VT_EMPTY when there is none.
VARTYPE parameter_type(ITypeInfo* info, DISPID id, UINT index) {
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr))) return VT_EMPTY;
  VARTYPE vt = VT_EMPTY;
  for (UINT f = 0; f < attr->cFuncs && vt == VT_EMPTY; ++f) {
    FUNCDESC* fd = nullptr;
    if (FAILED(info->GetFuncDesc(f, &fd))) continue;
    if (fd->memid == id && (fd->invkind & INVOKE_FUNC) && index < static_cast<UINT>(fd->cParams)) {
      vt = fd->lprgelemdescParam[index].tdesc.vt;
    }
    info->ReleaseFuncDesc(fd);
  }
  info->ReleaseTypeAttr(attr);
  return vt;
}

}  // namespace

bool vb_text_arguments(ITypeInfo* info, DISPID id, const DISPPARAMS& in, std::vector<VARIANT>& args,
                       std::vector<bool>& owned) {
  if (!in.rgvarg || in.cArgs == 0) return false;
  bool any = false;
  for (UINT i = 0; i < in.cArgs; ++i) {
    VARIANT_BOOL b = VARIANT_FALSE;
    if (!boolean_argument(in.rgvarg[i], b)) continue;
    // Named arguments come first and name their parameter; the positional ones follow, last
    // parameter first.
    DISPID param = -1;
    if (i < in.cNamedArgs) {
      if (in.rgdispidNamedArgs) param = in.rgdispidNamedArgs[i];
    } else {
      param = static_cast<DISPID>(in.cArgs - 1 - i);
    }
    if (param < 0 || parameter_type(info, id, static_cast<UINT>(param)) != VT_BSTR) continue;
    if (!any) {
      args.assign(in.rgvarg, in.rgvarg + in.cArgs);
      owned.assign(in.cArgs, false);
      any = true;
    }
    VariantInit(&args[i]);
    V_VT(&args[i]) = VT_BSTR;
    V_BSTR(&args[i]) = SysAllocString(b ? L"True" : L"False");
    if (!V_BSTR(&args[i])) throw std::bad_alloc();
    owned[i] = true;
  }
  return any;
}

HRESULT EscapedError::hresult() const {
  HRESULT hr = static_cast<HRESULT>(number);
  return FAILED(hr) ? hr : E_FAIL;
}

void set_error_info(const EscapedError& e, REFIID iid) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create))) return;
  std::wstring source(e.source.begin(), e.source.end());
  std::wstring description(e.description.begin(), e.description.end());
  create->SetGUID(iid);
  create->SetSource(source.data());
  create->SetDescription(description.data());
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}

void fill_excepinfo(EXCEPINFO* info, const EscapedError& e, bool replace) {
  if (!info) return;
  if (replace) {
    SysFreeString(info->bstrSource);
    SysFreeString(info->bstrDescription);
    SysFreeString(info->bstrHelpFile);
  }
  *info = EXCEPINFO{};
  info->scode = e.hresult();
  info->bstrSource = to_bstr(e.source);
  info->bstrDescription = to_bstr(e.description);
}

}  // namespace taviksms::com
