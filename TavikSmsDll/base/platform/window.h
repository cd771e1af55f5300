// The seam's window plug-in: the toolkit SmsHist's window is realised with. Bindings:
// posix/window.cpp (the Qt plug-in beside the library, loaded on first use), win32/window.cpp
// (Win32 controls inside the DLL).
#pragma once

namespace taviksms::history {
class HistoryToolkit;  // history_window/history_window.h
}

namespace taviksms::platform {

// The platform's toolkit, made (or loaded) on first use. Throws core::Error when none can be had.
history::HistoryToolkit& history_toolkit();

}  // namespace taviksms::platform
