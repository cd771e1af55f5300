// The data-access objects the component works with: a connection, one reusable command and one
// reusable recordset, with the operations and semantics of the automation data-access library
// the methods were written against. The platform supplies the implementation (platform/odbc).
//
// Every operation that fails raises core::Error; provider errors carry the server's message.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "db/value.h"

namespace taviksms::db {

inline constexpr int kStateClosed = 0;
inline constexpr int kStateOpen = 1;
inline constexpr int kCmdStoredProc = 4;
inline constexpr int kUseServer = 2;
inline constexpr int kUseClient = 3;

class DbRs;

class DbConn {
 public:
  virtual ~DbConn() = default;
  // Opens with a connection string of the form "Provider=...;Data Source=...;User ID=...;...".
  virtual void open(const std::u16string& conn_string) = 0;
  virtual int state() const = 0;
  virtual void close() = 0;
  // Runs SQL text; returns the recordset of its first result (closed when it has none).
  virtual std::shared_ptr<DbRs> execute(const std::u16string& sql) = 0;

  // Whether the link to the server was lost: a request failed because the connection broke, the
  // server closed it, or a deadline gave up on the server. The connection is then closed. One
  // closed by its owner is not lost.
  virtual bool link_lost() const { return false; }
  // Whether the link was lost because the server did not answer within a deadline (a hung
  // server): asking it again at once would only cost another wait.
  virtual bool gave_up() const { return false; }
  // Before a call's first request: false when the link is (now found) lost. An open connection
  // is looked at without a request where the platform can see its socket; where it cannot, one
  // idle for a while is asked a trivial question first. A closed connection answers true: it is
  // not lost, and the call fails on it as it would.
  virtual bool check_link() { return true; }
};

// The text of a request that failed because the link to the server was lost, where the driver's
// own text does not say so.
inline constexpr std::u16string_view kLinkLostText =
    u"Communication link failure: the connection to the server was lost";

class DbParameter {
 public:
  virtual ~DbParameter() = default;
  virtual const std::u16string& name() const = 0;
  virtual const Value& value() const = 0;
  virtual void set_value(Value v) = 0;
};

class DbCmd {
 public:
  virtual ~DbCmd() = default;
  virtual void set_active_connection(std::shared_ptr<DbConn> conn) = 0;
  virtual void set_command_type(int type) = 0;
  virtual int command_type() const = 0;
  virtual void set_command_text(std::u16string text) = 0;
  virtual const std::u16string& command_text() const = 0;
  // Forgets the parameter collection; it is described again for the current command text when
  // next used. Raises when the active connection is missing or closed.
  virtual void refresh_parameters() = 0;
  // Parameters.Item by name, case-insensitively, "@RETURN_VALUE" included.
  virtual DbParameter& parameter(std::u16string_view name) = 0;
  // Command.Execute: runs the command, returns the recordset of its first result.
  virtual std::shared_ptr<DbRs> execute() = 0;
};

class DbRs {
 public:
  virtual ~DbRs() = default;
  virtual void set_cursor_location(int location) = 0;
  virtual int cursor_location() const = 0;
  // Recordset.Open with a command as its source.
  virtual void open(DbCmd& source) = 0;
  virtual int state() const = 0;
  virtual void close() = 0;
  // Exact with a client-side cursor; -1 with a server-side one.
  virtual std::int32_t record_count() const = 0;
  virtual bool eof() const = 0;
  // Fields.Item(name).Value of the current row.
  virtual const Value& field(std::u16string_view name) const = 0;
  virtual void move_next() = 0;
};

// Closes `object` (a DbConn or DbRs) when it is set and open, then releases it; an error while
// closing is swallowed, so the release always happens.
template <typename T>
void close_and_release(std::shared_ptr<T>& object) noexcept {
  if (!object) return;
  try {
    if (object->state() == kStateOpen) object->close();
  } catch (...) {
  }
  object.reset();
}

}  // namespace taviksms::db
