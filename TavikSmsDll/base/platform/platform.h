// The seam between the portable core and the operating system. The core reaches the OS only
// through the platform in force on its thread, platform::current(): one class made of the
// concerns below, each declared in a small header of its own, each implemented by one file per
// platform folder (platform/posix/, platform/win32/; the database on platform/odbc/, SFTP on
// platform/ssh/).
//
//   downloads.h         the mirror list and HTTP downloads
//   ini.h               the INI reader
//   files.h             export files, file lengths, replacing and removing files
//   trace_file.h        the trace file's setting and the file itself
//   code_page.h         the ANSI code page, the decimal separator, the case table
//   folders.h           the library's folder and the one ip1.ini goes to
//   data_access.h       the data-access objects and their deadlines
//   deadline_support.h  detached threads and the driver's socket
//   sftp.h              the SFTP client
//   window.h            the history window's toolkit (a function of its own, not a member)
//
// Byte texts at this seam ("ansi") are in the system ANSI code page, as the core hands them to
// the OS-style calls it mimics.
#pragma once

#include "base/platform/code_page.h"
#include "base/platform/data_access.h"
#include "base/platform/deadline_support.h"
#include "base/platform/downloads.h"
#include "base/platform/files.h"
#include "base/platform/folders.h"
#include "base/platform/ini.h"
#include "base/platform/report.h"
#include "base/platform/sftp.h"
#include "base/platform/trace_file.h"

namespace taviksms::platform {

// Every concern in one object, so that a binding (or a test's override of one) is a single class
// and a thread swaps all of them at once.
class Platform : public Downloads,
                 public ProfileReader,
                 public Files,
                 public TraceFiles,
                 public CodePage,
                 public Folders,
                 public DataAccess,
                 public DeadlineSupport,
                 public SftpClients {
 public:
  using Report = platform::Report;
};

// The platform in force on the calling thread: a test override if one is installed on this
// thread (base/platform/testing.h), otherwise the platform binding's default instance.
Platform& current();

// Supplied by the platform binding compiled into the library.
Platform& default_platform();

}  // namespace taviksms::platform
