// `taviksms.exe doctor`: the registration of TavikSmsDll.TavikSms in this program's registry view,
// then the checks run by the registered DLL itself through its TavikSmsDoctor export, so that they
// see what a host's calls see (the DLL's folder, its ODBC driver, the user's settings).
#pragma once

#include <vector>

#include "shell.h"

namespace taviksms::shell {

// The registration line first; the DLL's own lines after it when it could be loaded.
std::vector<DoctorLine> registered_doctor();

}  // namespace taviksms::shell
