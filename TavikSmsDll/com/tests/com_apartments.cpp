// com_apartments: the registered TavikSmsDll.TavikSms reached from other apartments, as .NET
// programs (MTA Main) and host worker threads reach it. One "<case> <hresult> [<result>]" line per
// call, results as UTF-8; the Wine tests compare them with the sandbox's call log.
//   com_apartments mta    CoCreateInstance on an MTA thread: the apartment-threaded object lives
//                         in COM's host STA and the caller holds a proxy (_TavikSms through the
//                         type-library marshaler, IDispatch through the standard one); a session
//                         (Login, SmsJanek from a second MTA thread, SmsSend to two recipients,
//                         Logout); wrong argument types through the proxy and directly.
//   com_apartments sta    an object created on this STA thread, handed to worker threads through
//                         CoMarshalInterThreadInterfaceInStream and the global interface table;
//                         their calls run on this thread (which pumps messages meanwhile) and use
//                         its session; an error escaping YaeyakDelete through the proxy and
//                         directly.
//   com_apartments dead   a proxy whose host STA has ended: calls fail with an HRESULT, the
//                         release returns.
//   com_apartments uninit a proxy kept past CoUninitialize of the caller's thread: the same.
// A watchdog ends the program with exit status 3 ("timeout <case>") if a step hangs; 0 otherwise.
#include <windows.h>

#include <objidl.h>
#include <oleauto.h>

#include <cstdio>
#include <string>
#include <vector>

#include "com/taviksms_idl.h"

namespace {

constexpr DWORD kStepLimitMs = 60000;
const char* volatile g_step = "start";

DWORD WINAPI watchdog(void*) {
  for (;;) {
    const char* before = g_step;
    Sleep(kStepLimitMs);
    if (g_step == before) {
      std::printf("timeout %s\n", before);
      std::fflush(stdout);
      ExitProcess(3);
    }
  }
}

void step(const char* name) {
  g_step = name;
}

std::string utf8(const wchar_t* s, UINT len) {
  if (!s || len == 0) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(len), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(len), out.data(), n, nullptr, nullptr);
  return out;
}

std::string text(BSTR s) {
  return utf8(s, s ? SysStringLen(s) : 0);
}

void line(const std::string& name, HRESULT hr, const std::string& result = "") {
  std::printf("%s 0x%08lX%s%s\n", name.c_str(), static_cast<unsigned long>(hr),
              result.empty() ? "" : " ", result.c_str());
  std::fflush(stdout);
}

struct Bstr {
  BSTR s;
  explicit Bstr(const wchar_t* v) : s(SysAllocString(v)) {}
  ~Bstr() { SysFreeString(s); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
};

// Early-bound calls through _TavikSms; a failed call also reports its IErrorInfo description.
void report(const std::string& name, HRESULT hr, BSTR result) {
  std::string shown = text(result);
  if (FAILED(hr)) {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
      BSTR d = nullptr;
      info->GetDescription(&d);
      shown = "description=" + text(d);
      SysFreeString(d);
      info->Release();
    } else {
      shown = "description=<none>";
    }
  }
  line(name, hr, shown);
  SysFreeString(result);
}

void login(_TavikSms* o, const std::string& tag, const wchar_t* password = L"demo1234") {
  Bstr user(L"demo"), pw(password);
  BSTR r = nullptr;
  HRESULT hr = o->Login(user.s, pw.s, &r);
  report(tag + "_login", hr, r);
}

void janek(_TavikSms* o, const std::string& tag) {
  LONG balance = 0;
  HRESULT hr = o->SmsJanek(&balance);
  line(tag + "_janek", hr, SUCCEEDED(hr) ? std::to_string(balance) : "");
}

void logout(_TavikSms* o, const std::string& tag) {
  BSTR r = nullptr;
  HRESULT hr = o->Logout(&r);
  report(tag + "_logout", hr, r);
}

void send_two(_TavikSms* o, const std::string& tag) {
  Bstr sub(L"sub01"), tel(L"0212345678"), id(L"c1"), nam(L"Kim"), to(L"010-1234-5678;01087654321"),
      msg(L"hello across apartments"), yk(L"");
  BSTR r = nullptr;
  HRESULT hr = o->SmsSend(sub.s, tel.s, id.s, nam.s, to.s, msg.s, 0, yk.s, &r);
  report(tag + "_send", hr, r);
}

void yaeyak_delete(_TavikSms* o, const std::string& tag) {
  BSTR r = nullptr;
  HRESULT hr = o->YaeyakDelete(7, &r);
  report(tag + "_escape", hr, r);
}

// ---- late-bound calls with wrong argument types ----

VARIANT bstr_arg(const wchar_t* s) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(s);
  return v;
}

// Invoke by name with arguments in the caller's order; "<tag>_<name> <hr or scode> [result]".
void invoke(IDispatch* d, const std::string& tag, const char* name, const wchar_t* method,
            std::vector<VARIANT> args) {
  std::wstring m = method;
  LPOLESTR names[1] = {m.data()};
  DISPID id = 0;
  HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  if (SUCCEEDED(hr)) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO ei{};
    UINT arg_err = 0;
    hr = d->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, &result, &ei, &arg_err);
    std::string shown;
    if (hr == DISP_E_EXCEPTION) {
      hr = ei.scode ? ei.scode : static_cast<HRESULT>(ei.wCode);
      shown = "description=" + text(ei.bstrDescription);
    } else if (SUCCEEDED(hr)) {
      VARIANT t;
      VariantInit(&t);
      if (SUCCEEDED(VariantChangeType(&t, &result, 0, VT_BSTR))) shown = text(V_BSTR(&t));
      VariantClear(&t);
    }
    SysFreeString(ei.bstrSource);
    SysFreeString(ei.bstrDescription);
    SysFreeString(ei.bstrHelpFile);
    VariantClear(&result);
    line(tag + "_" + name, hr, shown);
  } else {
    line(tag + "_" + name, hr);
  }
  for (VARIANT& v : args) VariantClear(&v);
}

// The same wrong calls, printed under `tag`: a proxy must answer them as the object does.
void wrong_types(IDispatch* d, const std::string& tag) {
  VARIANT null_arg;
  VariantInit(&null_arg);
  V_VT(&null_arg) = VT_NULL;
  invoke(d, tag, "null_for_text", L"Login", {null_arg, bstr_arg(L"x")});

  VARIANT array;
  VariantInit(&array);
  V_VT(&array) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(&array) = SafeArrayCreateVector(VT_VARIANT, 0, 2);
  invoke(d, tag, "array_for_text", L"Login", {array, bstr_arg(L"x")});

  invoke(d, tag, "text_for_int", L"YaeyakDelete", {bstr_arg(L"abc")});

  VARIANT big;
  VariantInit(&big);
  V_VT(&big) = VT_R8;
  V_R8(&big) = 1e12;
  invoke(d, tag, "overflow_for_int", L"YaeyakDelete", {big});

  invoke(d, tag, "missing_argument", L"Login", {bstr_arg(L"demo")});

  // Converted as VB converts: a number where a text is expected.
  VARIANT number;
  VariantInit(&number);
  V_VT(&number) = VT_I4;
  V_I4(&number) = 12345;
  invoke(d, tag, "number_for_text", L"Login", {number, bstr_arg(L"678")});
}

// ---- mta ----

struct ObjectRef {
  _TavikSms* object;
  std::string tag;
};

DWORD WINAPI janek_on_other_mta_thread(void* p) {
  auto* ref = static_cast<ObjectRef*>(p);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  janek(ref->object, ref->tag);
  CoUninitialize();
  return 0;
}

// A direct object in an STA of its own, for the comparison with the proxy.
DWORD WINAPI wrong_types_direct(void*) {
  CoInitialize(nullptr);
  IDispatch* d = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_TavikSms, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(&d));
  if (SUCCEEDED(hr)) {
    wrong_types(d, "direct");
    d->Release();
  } else {
    line("direct_create", hr);
  }
  CoUninitialize();
  return 0;
}

bool wait_thread(HANDLE t) {
  bool done = WaitForSingleObject(t, kStepLimitMs) == WAIT_OBJECT_0;
  CloseHandle(t);
  return done;
}

int mta() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  step("mta_create");
  _TavikSms* o = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_TavikSms, nullptr, CLSCTX_INPROC_SERVER, IID__TavikSms,
                                reinterpret_cast<void**>(&o));
  line("mta_create", hr);
  if (FAILED(hr)) return 1;
  // Only proxies answer IClientSecurity; the object itself does not.
  IUnknown* security = nullptr;
  bool proxy =
      SUCCEEDED(o->QueryInterface(IID_IClientSecurity, reinterpret_cast<void**>(&security)));
  if (security) security->Release();
  line("mta_proxy", S_OK, proxy ? "yes" : "no");

  step("mta_session");
  login(o, "mta");
  janek(o, "mta");
  // Any thread of the MTA may use the proxy; the object itself refuses calls from a thread other
  // than its own, so this succeeds only through the host STA.
  ObjectRef ref{o, "mta_other_thread"};
  if (!wait_thread(CreateThread(nullptr, 0, janek_on_other_mta_thread, &ref, 0, nullptr))) {
    line("mta_other_thread_janek", E_FAIL, "wait");
  }
  send_two(o, "mta");
  janek(o, "mta_after_send");
  logout(o, "mta");

  step("mta_wrong_types");
  IDispatch* d = nullptr;
  hr = o->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d));
  line("mta_dispatch", hr);
  if (SUCCEEDED(hr)) {
    wrong_types(d, "proxy");
    d->Release();
  }
  if (!wait_thread(CreateThread(nullptr, 0, wrong_types_direct, nullptr, 0, nullptr))) {
    line("direct", E_FAIL, "wait");
  }
  step("mta_release");
  ULONG left = o->Release();
  line("mta_release", S_OK, std::to_string(left));
  CoUninitialize();
  return 0;
}

// ---- sta ----

// Runs `work` on a new thread of the given apartment kind while this STA thread keeps pumping
// messages, which is how calls marshalled to it get in.
struct Worker {
  IStream* stream = nullptr;  // CoMarshalInterThreadInterfaceInStream
  DWORD git_cookie = 0;       // or the global interface table
  _TavikSms* raw = nullptr;   // the object's own pointer, not marshalled
  const char* tag = "";
};

DWORD WINAPI sta_worker(void* p) {
  auto* w = static_cast<Worker*>(p);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::string tag = w->tag;
  _TavikSms* o = nullptr;
  HRESULT hr = E_FAIL;
  if (w->stream) {
    hr = CoGetInterfaceAndReleaseStream(w->stream, IID__TavikSms, reinterpret_cast<void**>(&o));
    w->stream = nullptr;
  } else {
    IGlobalInterfaceTable* git = nullptr;
    hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                          IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&git));
    if (SUCCEEDED(hr)) {
      hr = git->GetInterfaceFromGlobal(w->git_cookie, IID__TavikSms, reinterpret_cast<void**>(&o));
      git->Release();
    }
  }
  line(tag + "_unmarshal", hr);
  if (SUCCEEDED(hr)) {
    if (tag == "stream") {
      login(o, tag);
      janek(o, tag);
      yaeyak_delete(o, tag);
      IDispatch* d = nullptr;
      if (SUCCEEDED(o->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d)))) {
        invoke(d, tag, "escape_late", L"YaeyakDelete", {bstr_arg(L"7")});
        d->Release();
      }
    } else {
      janek(o, tag);
      logout(o, tag);
    }
    o->Release();
  }
  // The unmarshalled pointer is a proxy; the object's own pointer used here is refused.
  LONG balance = 0;
  line(tag + "_raw_pointer", w->raw->SmsJanek(&balance));
  CoUninitialize();
  return 0;
}

bool pump_until(HANDLE t) {
  DWORD deadline = GetTickCount() + kStepLimitMs;
  for (;;) {
    DWORD now = GetTickCount();
    if (static_cast<LONG>(deadline - now) <= 0) return false;
    DWORD r = MsgWaitForMultipleObjects(1, &t, FALSE, deadline - now, QS_ALLINPUT);
    if (r == WAIT_OBJECT_0) return true;
    if (r != WAIT_OBJECT_0 + 1) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
}

int sta() {
  CoInitialize(nullptr);
  _TavikSms* o = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_TavikSms, nullptr, CLSCTX_INPROC_SERVER, IID__TavikSms,
                                reinterpret_cast<void**>(&o));
  line("sta_create", hr);
  if (FAILED(hr)) return 1;
  IUnknown* security = nullptr;
  bool proxy =
      SUCCEEDED(o->QueryInterface(IID_IClientSecurity, reinterpret_cast<void**>(&security)));
  if (security) security->Release();
  line("sta_proxy", S_OK, proxy ? "yes" : "no");

  step("sta_stream");
  Worker w;
  w.raw = o;
  w.tag = "stream";
  hr = CoMarshalInterThreadInterfaceInStream(IID__TavikSms, o, &w.stream);
  line("stream_marshal", hr);
  HANDLE t = CreateThread(nullptr, 0, sta_worker, &w, 0, nullptr);
  if (!pump_until(t)) line("stream_wait", E_FAIL, "timeout");
  CloseHandle(t);
  // The worker logged in through the proxy: the session is this thread's object's.
  janek(o, "owner_after_stream");
  yaeyak_delete(o, "owner");

  step("sta_git");
  IGlobalInterfaceTable* git = nullptr;
  hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                        IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&git));
  if (SUCCEEDED(hr)) hr = git->RegisterInterfaceInGlobal(o, IID__TavikSms, &w.git_cookie);
  line("git_register", hr);
  w.tag = "git";
  t = CreateThread(nullptr, 0, sta_worker, &w, 0, nullptr);
  if (!pump_until(t)) line("git_wait", E_FAIL, "timeout");
  CloseHandle(t);
  if (git) {
    git->RevokeInterfaceFromGlobal(w.git_cookie);
    git->Release();
  }
  o->Release();
  CoUninitialize();
  return 0;
}

// ---- dead ----

struct Host {
  HANDLE ready = nullptr;  // set once the stream holds the marshalled object
  HANDLE quit = nullptr;   // tells the host to end its apartment
  HANDLE ended = nullptr;  // set once the host's apartment has ended
  IStream* stream = nullptr;
};

DWORD WINAPI host_sta(void* p) {
  auto* h = static_cast<Host*>(p);
  CoInitialize(nullptr);
  _TavikSms* o = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_TavikSms, nullptr, CLSCTX_INPROC_SERVER, IID__TavikSms,
                                 reinterpret_cast<void**>(&o)))) {
    CoMarshalInterThreadInterfaceInStream(IID__TavikSms, o, &h->stream);
  }
  SetEvent(h->ready);
  pump_until(h->quit);
  if (o) line("host_own_release", S_OK, std::to_string(o->Release()));
  CoUninitialize();
  SetEvent(h->ended);
  // The thread stays: under Wine 8 a thread whose apartment served a proxy does not finish
  // exiting (and then holds up the process's exit); the apartment's end is what is tested.
  Sleep(kStepLimitMs * 3);
  return 0;
}

DWORD WINAPI after_uninitialize(void*) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  _TavikSms* o = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_TavikSms, nullptr, CLSCTX_INPROC_SERVER, IID__TavikSms,
                                reinterpret_cast<void**>(&o));
  line("uninit_create", hr);
  if (FAILED(hr)) return 0;
  janek(o, "uninit_before");
  CoUninitialize();
  janek(o, "uninit_after");
  line("uninit_release", S_OK, std::to_string(o->Release()));
  return 0;
}

int uninit() {
  step("uninitialize");
  if (!wait_thread(CreateThread(nullptr, 0, after_uninitialize, nullptr, 0, nullptr))) {
    line("uninit_wait", E_FAIL, "timeout");
  }
  return 0;
}

int dead() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  step("dead_host");
  Host h;
  h.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  h.quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  h.ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE t = CreateThread(nullptr, 0, host_sta, &h, 0, nullptr);
  if (WaitForSingleObject(h.ready, kStepLimitMs) != WAIT_OBJECT_0 || !h.stream) {
    line("host_ready", E_FAIL);
    return 1;
  }
  _TavikSms* o = nullptr;
  HRESULT hr =
      CoGetInterfaceAndReleaseStream(h.stream, IID__TavikSms, reinterpret_cast<void**>(&o));
  line("host_unmarshal", hr);
  if (FAILED(hr)) return 1;
  janek(o, "host_alive");
  SetEvent(h.quit);
  line("host_ended", WaitForSingleObject(h.ended, kStepLimitMs) == WAIT_OBJECT_0 ? S_OK : E_FAIL);
  CloseHandle(t);
  janek(o, "host_gone");
  line("host_gone_release", S_OK, std::to_string(o->Release()));
  CloseHandle(h.ready);
  CloseHandle(h.quit);
  CloseHandle(h.ended);

  CoUninitialize();
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  CloseHandle(CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr));
  int rc = 2;
  if (argc >= 2 && lstrcmpW(argv[1], L"mta") == 0) {
    rc = mta();
  } else if (argc >= 2 && lstrcmpW(argv[1], L"sta") == 0) {
    rc = sta();
  } else if (argc >= 2 && lstrcmpW(argv[1], L"dead") == 0) {
    rc = dead();
  } else if (argc >= 2 && lstrcmpW(argv[1], L"uninit") == 0) {
    rc = uninit();
  } else {
    std::printf("usage: com_apartments mta | sta | dead | uninit\n");
  }
  std::printf("end\n");
  std::fflush(stdout);
  return rc;
}
