#include "com/automation.h"

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
