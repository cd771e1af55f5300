// TavikSmsDoctor: the checks of `taviksms doctor`, run inside the DLL itself so that they see what
// its methods see: its own folder for ip1.ini, the ODBC driver it was built for, the user's
// settings (TAVIKSMS_MIRRORS, HKCU\Software\TavikSms). Not part of the COM interface:
// taviksms.exe finds the registered DLL through the registry, loads it and calls this by name.
#include <windows.h>

#include <oleauto.h>

#include <string>

#include <taviksms/doctor.h>

#include "base/text.h"

namespace {

// A field of a report line: tabs and line ends would split it.
std::string field(std::string text) {
  for (char& c : text) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

}  // namespace

// One line per check, in order: "ok" or "FAIL", name, what was found, hint, separated by tabs,
// each ended by "\n". S_OK whatever the checks found; E_POINTER or E_OUTOFMEMORY otherwise.
extern "C" HRESULT WINAPI TavikSmsDoctor(BSTR* report) {
  if (!report) return E_POINTER;
  *report = nullptr;
  std::string text;
  try {
    for (const auto& c : taviksms::doctor_checks()) {
      text += std::string(c.ok ? "ok" : "FAIL") + '\t' + field(c.name) + '\t' + field(c.detail) +
              '\t' + field(c.hint) + '\n';
    }
  } catch (const std::exception& e) {
    text += "FAIL\tdoctor\t" + field(e.what()) + "\t\n";
  } catch (...) {
    text += "FAIL\tdoctor\tan unexpected failure stopped the checks\t\n";
  }
  const std::u16string wide = taviksms::core::utf8_to_utf16(text);
  *report = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()),
                              static_cast<UINT>(wide.size()));
  return *report ? S_OK : E_OUTOFMEMORY;
}
