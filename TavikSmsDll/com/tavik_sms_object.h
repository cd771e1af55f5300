// The creatable class TavikSms: its class factory. The object itself implements _TavikSms (dual)
// with IDispatch driven by the type library, and ISupportErrorInfo.
#pragma once

#include <windows.h>

namespace taviksms::com {

// QueryInterface on the process's one class factory for TavikSms.
HRESULT class_factory_query(REFIID iid, void** out);

}  // namespace taviksms::com
