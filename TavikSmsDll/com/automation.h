// Conversions between the component's texts and the automation types, kept in one place: BSTR to
// and from UTF-16 text, and an escaped error into IErrorInfo and EXCEPINFO.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace taviksms::com {

// A null BSTR is the empty text, as automation defines it; embedded NULs survive.
std::u16string from_bstr(BSTR s);
// nullptr only when memory runs out.
BSTR to_bstr(std::u16string_view s);

// The text of a VARIANT the way the automation runtime converts it (numbers, dates, Booleans);
// false when it has no text form (Null, objects, arrays).
bool variant_text(const VARIANT& v, std::u16string& out);

// Arguments of an IDispatch::Invoke for method `id`, with VB's text form for Booleans bound to
// text parameters ("True"/"False", as CStr gives them; the automation runtime's own coercion would
// give "-1"/"0"). Returns false when nothing needed converting (`args` is then untouched);
// otherwise `args` holds a copy of `in.rgvarg` to invoke with and `owned` marks the entries to
// clear afterwards. Throws std::bad_alloc when memory runs out (the caller frees what `owned`
// marks).
bool vb_text_arguments(ITypeInfo* info, DISPID id, const DISPPARAMS& in, std::vector<VARIANT>& args,
                       std::vector<bool>& owned);

// An error that escapes a method: its number (an HRESULT, or a runtime error in FACILITY_CONTROL),
// source and description.
struct EscapedError {
  std::int32_t number = 0;
  std::u16string source;
  std::u16string description;

  // The failing HRESULT a vtable caller sees: the number itself when it is a failure code,
  // otherwise E_FAIL.
  HRESULT hresult() const;
};

// Publishes the error to the thread's IErrorInfo (for early-bound callers), interface `iid`.
void set_error_info(const EscapedError& e, REFIID iid);

// Fills `info` (if any) for a late-bound caller. With `replace`, `info` was filled before (by the
// type library's Invoke) and its texts are freed first; otherwise its contents are not trusted.
void fill_excepinfo(EXCEPINFO* info, const EscapedError& e, bool replace);

}  // namespace taviksms::com
