// ModuleState: the module-level variables that every TavikSms instance on a thread shares. One
// record per thread, created on the thread's first use and never reset by instances.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace taviksms::db {
class DbConn;
class DbCmd;
class DbRs;
}  // namespace taviksms::db

namespace taviksms::upload {
class SftpSession;  // upload/upload.h
}

namespace taviksms::platform {
class OutputFile;  // the export file slot's file
}

namespace taviksms::core {

// The configuration read from ip1.ini; db_server empty means "not fetched yet".
struct Configuration {
  std::u16string db_server;
  std::u16string db_user;
  std::u16string db_password;
  std::u16string sftp_host;
  std::u16string sftp_user;
  std::u16string sftp_password;
  std::u16string sftp_port;
};

// The database session every method of the thread shares (DbConn, DbCmd, DbRs), opened by
// DbOpen from the configuration.
struct DatabaseSession {
  std::shared_ptr<db::DbConn> conn;
  std::shared_ptr<db::DbCmd> cmd;
  std::shared_ptr<db::DbRs> rs;
  std::u16string conn_string;
  // The link to the server was lost (a request broke it, or a look found it gone): the next
  // call opens the session again, logged in or not. A successful DbOpen clears it.
  bool reopen = false;
};

// The picture upload's client (SftpClient) and whether it is connected (SftpConnected).
struct SftpState {
  std::shared_ptr<upload::SftpSession> client;
  bool connected = false;
};

// What the last SmsHist asked for: the sub-account and the window's place, in twips.
struct HistoryRequest {
  std::u16string sub_id;
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

struct ModuleState {
  std::u16string user_id;      // UserId: the @user_id of every call
  bool logged_in = false;      // LoggedIn
  std::u16string last_result;  // LastResult: scratch result text

  Configuration config;
  DatabaseSession session;
  // The one export file slot: set while an export file is open, so no two exports overlap.
  std::shared_ptr<platform::OutputFile> export_file;
  SftpState sftp;
  HistoryRequest history;
};

// The calling thread's record.
ModuleState& module_state();

// Names the calling thread among the live ones (the owner of a TavikSms instance), without
// creating its record.
std::uintptr_t current_thread();

#ifdef _WIN32
// Takes the calling thread's record away (nullptr when it has none); the next module_state() on
// the thread starts a fresh one. For the DLL's thread detach, which must not destroy it there.
std::unique_ptr<ModuleState> take_module_state() noexcept;
#endif

}  // namespace taviksms::core
