// TavikSmsDll from C++ on Windows through its COM interface, the whole job: log in, send an SMS
// to two recipients and an MMS with a picture, reserve a message and cancel it, wait for the
// delivery results and read them back (each is acknowledged as it is written, so the next call
// does not list it again), log out.
//
// Build with mingw-w64 (the header and GUIDs come from the type library: include\ of the package):
//   x86_64-w64-mingw32-g++ -std=c++17 -municode -I..\include example.cpp ..\include\TavikSmsDll_i.c
//       -lole32 -loleaut32 -luuid -static -o example.exe
// (i686-w64-mingw32-g++ for the x86 DLL; with Visual C++:
//   cl /EHsc /utf-8 /std:c++17 /I..\include example.cpp ..\include\TavikSmsDll_i.c ole32.lib
//   oleaut32.lib) example.exe USER PASSWORD [PICTURE.JPG]
// PICTURE.JPG defaults to Photo1.JPG beside the program. The export files (sms1.txt, sms2.txt)
// are written to the current folder. Output is UTF-8. Exit status: 0 when every step succeeded,
// 1 when one failed, 2 for wrong arguments.
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "TavikSmsDll.h"

namespace {

// A BSTR owned for its scope: arguments in, results out.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::wstring& text) : b_(SysAllocStringLen(text.data(), UINT(text.size()))) {}
  ~Bstr() { SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  operator BSTR() const { return b_; }
  BSTR* out() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  std::wstring text() const { return b_ ? std::wstring(b_, SysStringLen(b_)) : std::wstring(); }

 private:
  BSTR b_ = nullptr;
};

std::string utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

void say(const std::wstring& line) {
  std::fputs((utf8(line) + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// One line of sms1.txt or sms2.txt: fifteen tab-separated fields, in this order.
struct Record {
  long id = 0;
  std::wstring user_id, sub_id, user_tel, custom_tel, custom_id, custom_nam, msg;
  long result_code = 0;
  std::wstring result_msg, typ, kun2, fee2, i_time, s_time;
};
const size_t kColumns = 15;
const size_t kMsgColumn = 7;

std::vector<std::wstring> split(const std::wstring& text, const std::wstring& separator) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (size_t at; (at = text.find(separator, start)) != std::wstring::npos;
       start = at + separator.size()) {
    parts.push_back(text.substr(start, at - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

// The export files are in the system's ANSI code page (CP_ACP). Lines end with CR LF; a line
// feed inside a value was written as "|", so every CR LF ends a record. A value holding a tab
// splits into more fields than the file has columns: the message text is the one that may, so
// the extra fields are joined back into it.
std::vector<Record> read_export(const wchar_t* file) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::wstring text;
  if (!bytes.empty()) {
    int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    text.resize(size_t(n));
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), text.data(), n);
  }
  std::vector<Record> records;
  for (const std::wstring& line : split(text, L"\r\n")) {
    if (line.empty()) continue;
    std::vector<std::wstring> f = split(line, L"\t");
    if (f.size() > kColumns) {
      const size_t extra = f.size() - kColumns;
      for (size_t k = 1; k <= extra; ++k) f[kMsgColumn] += L"\t" + f[kMsgColumn + k];
      f.erase(f.begin() + kMsgColumn + 1, f.begin() + kMsgColumn + 1 + extra);
    }
    if (f.size() != kColumns) {
      say(std::wstring(file) + L": a line of " + std::to_wstring(f.size()) + L" fields skipped");
      continue;
    }
    Record r;
    r.id = wcstol(f[0].c_str(), nullptr, 10);
    r.user_id = f[1], r.sub_id = f[2], r.user_tel = f[3], r.custom_tel = f[4];
    r.custom_id = f[5], r.custom_nam = f[6], r.msg = f[7];
    r.result_code = wcstol(f[8].c_str(), nullptr, 10);
    r.result_msg = f[9], r.typ = f[10], r.kun2 = f[11], r.fee2 = f[12];
    r.i_time = f[13], r.s_time = f[14];
    records.push_back(r);
  }
  return records;
}

bool failed = false;

// A method's outcome. A failed call (an HRESULT that is not S_OK) carries its description in
// the thread's error information; a call that ran returns "OK" or a failure text for the user.
bool succeeded(const std::wstring& what, HRESULT hr, const Bstr& result) {
  if (FAILED(hr)) {
    std::wstring description = L"(no description)";
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
      Bstr text;
      if (SUCCEEDED(info->GetDescription(text.out()))) description = text.text();
      info->Release();
    }
    wchar_t number[16];
    swprintf(number, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    say(what + L" failed: error " + number + L": " + description);
    failed = true;
    return false;
  }
  if (result.text() == L"OK") {
    say(what + L": OK");
    return true;
  }
  say(what + L" failed: " + result.text());
  failed = true;
  return false;
}

std::wstring beside_program(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  size_t slash = folder.find_last_of(L"\\/");
  return (slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1)) + name;
}

int run(_TavikSms* sms, const std::wstring& user, const std::wstring& password,
        const std::wstring& picture) {
  const std::wstring sender = L"0212345678";
  // Custom_id is the host's own key for a message; the results carry it back.
  const std::wstring tag = L"cpp" + std::to_wstring(GetTickCount() % 100000);
  Bstr r;
  long balance = 0;

  // "OK", or the service's own text (a wrong password, a blocked user), or
  // "IP Download Error" / "False" when the service cannot be reached.
  if (!succeeded(L"Login", sms->Login(Bstr(user), Bstr(password), r.out()), r)) return 1;
  if (SUCCEEDED(sms->SmsJanek(&balance))) say(L"Balance: " + std::to_wstring(balance));

  // One SMS to two recipients (';' ',' or ':' separate them); no reservation time: now.
  succeeded(L"SmsSend to 2 recipients",
            sms->SmsSend(Bstr(L""), Bstr(sender), Bstr(tag + L"-sms"), Bstr(L"홍길동"),
                         Bstr(L"01012345678;01087654321"), Bstr(L"안녕하세요, example.exe입니다."),
                         0, Bstr(L""), r.out()),
            r);

  // An MMS: the picture is uploaded first, then named in the message by the same path.
  bool mms_sent = false;
  const std::wstring name = picture.substr(picture.find_last_of(L"\\/") + 1);
  if (succeeded(L"FTP_Upload " + name, sms->FTP_Upload(Bstr(picture), r.out()), r)) {
    mms_sent =
        succeeded(L"MmsSend",
                  sms->MmsSend(Bstr(L""), Bstr(sender), Bstr(tag + L"-mms"), Bstr(L"홍길동"),
                               Bstr(L"01012345678"), Bstr(L"사진"), Bstr(L"example.exe의 사진"),
                               Bstr(picture), Bstr(L""), Bstr(L""), Bstr(L""), r.out()),
                  r);
  }
  sms->FTP_DisConnect(r.out());

  // A reservation (YYMMDDHHMM: 31 December 2030, 23:59), found in sms2.txt and cancelled.
  long reservation = 0;
  if (succeeded(
          L"Reserved SmsSend",
          sms->SmsSend(Bstr(L""), Bstr(sender), Bstr(tag + L"-rsv"), Bstr(L"홍길동"),
                       Bstr(L"01012345678"), Bstr(L"새해 인사"), 0, Bstr(L"3012312359"), r.out()),
          r) &&
      succeeded(L"YaeyakData", sms->YaeyakData(r.out()), r)) {
    for (const Record& rec : read_export(L"sms2.txt")) {
      if (rec.custom_id == tag + L"-rsv") reservation = rec.id;
    }
  }
  // YaeyakDelete is one of the methods whose server errors come back as a failed call (an
  // HRESULT with error information) rather than as a text: succeeded() reports either.
  if (reservation != 0) {
    succeeded(L"YaeyakDelete " + std::to_wstring(reservation),
              sms->YaeyakDelete(reservation, r.out()), r);
  }

  // Delivery results arrive some seconds later. SmsResult1 writes the ones not yet handed over
  // to sms1.txt and acknowledges them; earlier ones (another program's, say) come too.
  const int expected = mms_sent ? 3 : 2;
  int seen = 0;
  const ULONGLONG deadline = GetTickCount64() + 120000;
  say(L"Waiting for " + std::to_wstring(expected) + L" results ...");
  while (seen < expected && succeeded(L"SmsResult1", sms->SmsResult1(r.out()), r)) {
    for (const Record& rec : read_export(L"sms1.txt")) {
      say(L"result " + std::to_wstring(rec.id) + L" to " + rec.custom_tel + L" (" + rec.custom_id +
          L"): code " + std::to_wstring(rec.result_code) + L" " + rec.result_msg + L", fee " +
          rec.fee2 + L", sent " + rec.s_time);
      if (rec.custom_id.rfind(tag + L"-", 0) == 0) ++seen;
    }
    if (seen >= expected) break;
    if (GetTickCount64() > deadline) {
      say(L"no more results after 120 s: " + std::to_wstring(seen) + L" of " +
          std::to_wstring(expected));
      failed = true;
      break;
    }
    Sleep(2000);
  }

  if (SUCCEEDED(sms->SmsJanek(&balance))) say(L"Balance: " + std::to_wstring(balance));
  succeeded(L"Logout", sms->Logout(r.out()), r);
  return failed ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: example.exe USER PASSWORD [PICTURE.JPG]\n", stderr);
    return 2;
  }
  SetConsoleOutputCP(CP_UTF8);
  // The object lives in this thread's single-threaded apartment, as in a GUI program.
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  _TavikSms* sms = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_TavikSms, nullptr, CLSCTX_INPROC_SERVER, IID__TavikSms,
                                reinterpret_cast<void**>(&sms));
  int status = 1;
  if (FAILED(hr)) {
    // REGDB_E_CLASSNOTREG (0x80040154): TavikSmsDll.dll is not registered for this
    // architecture (register.cmd, or the installer).
    std::fprintf(stdout, "TavikSmsDll.TavikSms cannot be created: error 0x%08lX\n",
                 static_cast<unsigned long>(hr));
  } else {
    status = run(sms, argv[1], argv[2], argc > 3 ? argv[3] : beside_program(L"Photo1.JPG"));
    sms->Release();
  }
  CoUninitialize();
  return status;
}
