// The TavikSms coclass and its class factory.
//
// Section map: the object (IUnknown, IDispatch through the type library, the methods of
// _TavikSms, ISupportErrorInfo, IProvideClassInfo); the class factory.
//
// Every method is invoked as a method; a property get of one (VB's `x = o.SmsJanek` without
// parentheses, .NET's GetProperty) calls it too, as VB's own classes allow. Arguments are converted
// by the type library, except Booleans for texts, which get VB's "True"/"False".
//
// The methods are expanded from <taviksms/methods.def>: each hands its arguments to the portable
// core and its result back as a BSTR or long. An error that escapes the core becomes a failing
// HRESULT plus IErrorInfo (early-bound callers) and, through Invoke, a DISP_E_EXCEPTION with the
// error's number and description in EXCEPINFO (late-bound callers: VBScript's
// Err.Number/Err.Description). No C++ exception leaves a vtable.
//
// Apartment model: the object belongs to the thread that created it, whose ModuleState the core
// uses. A call that arrives on another thread without marshalling gets RPC_E_WRONG_THREAD; a
// release on another thread frees the object without touching that thread's session (both are
// the core's).
#include "com/tavik_sms_object.h"

#include <ocidl.h>

#include <atomic>
#include <memory>
#include <new>
#include <vector>

#include "base/error.h"
#include "com/automation.h"
#include "com/module.h"
#include "com/taviksms_idl.h"
#include "component/taviksms.h"

namespace taviksms::com {

namespace {

using core::TavikSms;

class TavikSmsObject final : public _TavikSms, public ISupportErrorInfo, public IProvideClassInfo {
 public:
  TavikSmsObject() : impl_(std::make_unique<TavikSms>()) { object_created(); }
  ~TavikSmsObject() {
    impl_.reset();  // Class_Terminate, on the object's own thread only
    object_destroyed();
  }
  TavikSmsObject(const TavikSmsObject&) = delete;
  TavikSmsObject& operator=(const TavikSmsObject&) = delete;

  // ---- IUnknown ----
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, IID__TavikSms)) {
      *out = static_cast<_TavikSms*>(this);
    } else if (IsEqualIID(iid, IID_ISupportErrorInfo)) {
      *out = static_cast<ISupportErrorInfo*>(this);
    } else if (IsEqualIID(iid, IID_IProvideClassInfo)) {
      *out = static_cast<IProvideClassInfo*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // ---- IDispatch, through the type library ----
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return contained([&] {
      ITypeInfo* info = nullptr;
      HRESULT hr = interface_type_info(&info);
      if (FAILED(hr)) return hr;
      info->AddRef();
      *out = info;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return contained([&] {
      ITypeInfo* info = nullptr;
      HRESULT hr = interface_type_info(&info);
      if (FAILED(hr)) return hr;
      return info->GetIDsOfNames(names, count, ids);
    });
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT* arg_err) override {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    // The converted arguments are freed however the call ends.
    std::vector<VARIANT> args;
    std::vector<bool> owned;
    struct FreeOwned {
      std::vector<VARIANT>& args;
      std::vector<bool>& owned;
      ~FreeOwned() {
        for (std::size_t i = 0; i < owned.size() && i < args.size(); ++i) {
          if (owned[i]) VariantClear(&args[i]);
        }
      }
    } free_owned{args, owned};
    return contained([&] {
      ITypeInfo* info = nullptr;
      HRESULT hr = interface_type_info(&info);
      if (FAILED(hr)) return hr;
      if ((flags & DISPATCH_PROPERTYGET) &&
          !(flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))) {
        flags |= DISPATCH_METHOD;
      }
      DISPPARAMS converted{};
      if (params && vb_text_arguments(info, id, *params, args, owned)) {
        converted = *params;
        converted.rgvarg = args.data();
        params = &converted;
      }
      pending_.reset();
      hr = info->Invoke(static_cast<_TavikSms*>(this), id, flags, params, result, excep, arg_err);
      if (pending_) {
        // The method's own error: its number and description, whatever the runtime made of it.
        fill_excepinfo(excep, *pending_, hr == DISP_E_EXCEPTION);
        pending_.reset();
        return DISP_E_EXCEPTION;
      }
      return hr;
    });
  }

  // ---- _TavikSms: the methods of the list, each handing its arguments to the core ----
#define TAVIKSMS_COM_PARAM(type, name) TAVIKSMS_COM_##type name
#define TAVIKSMS_COM_ARG(type, name) argument(name)
#define TAVIKSMS_COM_text BSTR
#define TAVIKSMS_COM_int32 LONG
#define TAVIKSMS_METHOD(id, name, result, ...)                                                     \
  HRESULT STDMETHODCALLTYPE name(TAVIKSMS_EACH(TAVIKSMS_COM_PARAM, __VA_ARGS__) __VA_OPT__(, )     \
                                     TAVIKSMS_COM_##result* r) override {                          \
    return returned(r, [&] { return impl_->name(TAVIKSMS_EACH(TAVIKSMS_COM_ARG, __VA_ARGS__)); }); \
  }
#include <taviksms/methods.def>
#undef TAVIKSMS_COM_PARAM
#undef TAVIKSMS_COM_ARG
#undef TAVIKSMS_COM_text
#undef TAVIKSMS_COM_int32

  // ---- ISupportErrorInfo ----
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
    return IsEqualIID(iid, IID__TavikSms) ? S_OK : S_FALSE;
  }

  // ---- IProvideClassInfo: the class behind the object (VB's TypeName reports "TavikSms") ----
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return contained([&] { return class_type_info(out); });
  }

 private:
  static std::u16string argument(BSTR s) {
    return from_bstr(s);
  }
  static std::int32_t argument(LONG n) {
    return n;
  }

  // Runs a method's `body` (the core checks the thread) and hands its result back through `out`;
  // an error that escapes becomes a failed call.
  template <typename F>
  HRESULT returned(BSTR* out, F&& body) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return translated([&] {
      std::u16string r = body();
      *out = to_bstr(r);
      if (!*out) throw std::bad_alloc();
    });
  }
  template <typename F>
  HRESULT returned(LONG* out, F&& body) {
    if (!out) return E_POINTER;
    *out = 0;
    return translated([&] { *out = body(); });
  }

  template <typename F>
  HRESULT translated(F&& body) {
    try {
      body();
      return S_OK;
    } catch (const core::Error& e) {
      return escape(e.number(), e.source(), e.description());
    } catch (const std::bad_alloc&) {
      return escape(static_cast<std::int32_t>(E_OUTOFMEMORY), u"TavikSmsDll", u"Out of memory");
    } catch (...) {
      return escape(static_cast<std::int32_t>(E_UNEXPECTED), u"TavikSmsDll",
                    u"Unexpected failure inside the component");
    }
  }

  // Records the error for IErrorInfo and Invoke. Runs inside catch blocks, so it must not throw:
  // when the record itself cannot be made, the failing HRESULT still goes back.
  HRESULT escape(std::int32_t number, std::u16string_view source,
                 std::u16string_view description) noexcept {
    const HRESULT hr = FAILED(static_cast<HRESULT>(number)) ? static_cast<HRESULT>(number) : E_FAIL;
    pending_.reset();
    try {
      auto e = std::make_unique<EscapedError>(
          EscapedError{number, std::u16string(source), std::u16string(description)});
      set_error_info(*e, IID__TavikSms);
      pending_ = std::move(e);
    } catch (...) {
    }
    return hr;
  }

  std::atomic<ULONG> refs_{1};
  std::unique_ptr<TavikSms> impl_;
  std::unique_ptr<EscapedError> pending_;  // the escaped error of the call in progress
};

// ---- the class factory ----

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) {
      return E_NOINTERFACE;
    }
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  // The factory is static: its references keep the server locked, like LockServer.
  ULONG STDMETHODCALLTYPE AddRef() override {
    lock_server(true);
    return 2;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    lock_server(false);
    return 1;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    TavikSmsObject* obj = nullptr;
    const HRESULT made = contained([&] {
      obj = new TavikSmsObject();  // Class_Initialize
      return S_OK;
    });
    if (FAILED(made)) return made;
    HRESULT hr = obj->QueryInterface(iid, out);
    obj->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock_server(lock != FALSE);
    return S_OK;
  }
};

Factory g_factory;

}  // namespace

HRESULT class_factory_query(REFIID iid, void** out) {
  return g_factory.QueryInterface(iid, out);
}

}  // namespace taviksms::com
