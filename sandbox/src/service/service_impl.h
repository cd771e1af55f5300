// Shared state of the service: what sessions, procedures and control routes work on.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "service/call_log.h"
#include "service/catalog.h"
#include "service/change_feed.h"
#include "service/service.h"
#include "service/store.h"

namespace sandbox {

class ServiceClock {
 public:
  explicit ServiceClock(DateTime start);
  DateTime now() const;
  void set(DateTime t);
  void advance(std::int64_t ms);

 private:
  mutable std::mutex mutex_;
  std::int64_t base_ms_;
  std::chrono::steady_clock::time_point anchor_;
};

// Faults set on the control port. Thread-safe.
class Faults {
 public:
  struct Raise {
    std::u16string message;
    std::int32_t number = 50000;
  };

  void add_raise(std::u16string proc, std::u16string message, std::int32_t number,
                 std::int64_t times);
  // Drops the `after`-th execution from now (1 = the next one), of `proc` or of anything.
  void add_drop(std::int64_t after, std::optional<std::u16string> proc);
  void set_janek_null(bool on);
  void set_rows(std::u16string proc, std::int64_t count);
  // The `after`-th acknowledgement statement from now (1 = the next one) raises `raise`, or,
  // without one, closes its connection without an answer; it does not run either way.
  void add_ack_fault(std::int64_t after, std::optional<Raise> raise);
  void clear();

  // Called once per execution: counts the drops down; true when this one is dropped.
  bool take_drop(std::u16string_view proc);
  std::optional<Raise> take_raise(std::u16string_view proc);
  bool janek_null() const;
  std::optional<std::int64_t> rows(std::u16string_view proc) const;
  // Called once per acknowledgement statement: the fault it meets, if any.
  struct AckFault {
    std::optional<Raise> raise;  // nullopt: drop the connection
  };
  std::optional<AckFault> take_ack_fault();

  // What is armed right now, for the control port to show.
  struct Armed {
    struct RaiseView {
      std::u16string proc;
      Raise raise;
      std::int64_t remaining = 0;
    };
    struct DropView {
      std::optional<std::u16string> proc;
      std::int64_t remaining = 0;  // executions until the drop (1 = the next one)
    };
    struct RowsView {
      std::u16string proc;
      std::int64_t count = 0;
    };
    std::vector<RaiseView> raises;
    std::vector<DropView> drops;
    struct AckView {
      std::optional<Raise> raise;  // nullopt: the connection is dropped
      std::int64_t remaining = 0;  // acknowledgement statements until it fires (1 = the next one)
    };
    std::vector<RowsView> rows;
    std::vector<AckView> acks;
    bool janek_null = false;
  };
  Armed armed() const;

 private:
  struct RaiseEntry {
    std::u16string proc;
    Raise raise;
    std::int64_t remaining;
  };
  struct DropEntry {
    std::optional<std::u16string> proc;
    std::int64_t remaining;
  };
  struct RowsEntry {
    std::u16string proc;
    std::int64_t count;
  };
  mutable std::mutex mutex_;
  std::vector<RaiseEntry> raises_;
  std::vector<DropEntry> drops_;
  std::vector<RowsEntry> rows_;
  struct AckEntry {
    std::optional<Raise> raise;
    std::int64_t remaining;
  };
  std::vector<AckEntry> acks_;
  bool janek_null_ = false;
};

// A procedure's parameters after binding and conversion to the declared types, in declared
// order; nullopt where a parameter with a default was left out.
struct ProcArgs {
  const ProcDef* def = nullptr;
  std::vector<std::optional<SqlValue>> values;

  // nullptr for NULL or not supplied.
  const std::u16string* text(std::u16string_view name) const;
  std::optional<std::int64_t> integer(std::u16string_view name) const;
};

// sp_sproc_columns: the parameters of the procedures matching the arguments.
// `decoys`: also list look-alikes that only an inexact lookup would pick up.
ResultSet describe_procedures(const ProcArgs& args, bool decoys = false);

ServerMessage procedure_error(const ProcDef& def, std::int32_t number, std::u16string text,
                              std::uint8_t state = 1);

struct ServiceState {
  ServiceState(ServiceConfig cfg, std::filesystem::path db_file);

  ServiceConfig config;
  std::u16string db_user;
  std::u16string db_password;
  ServiceClock clock;
  std::mutex db_mutex;  // guards store
  Store store;
  CallLog calls;
  Faults faults;
  ChangeFeed changes;  // bumped by every logged call and every write of the control port
  std::atomic<std::int64_t> next_connection{1};
  std::atomic<std::int64_t> open_sessions{0};
  std::atomic<std::int64_t> total_logins{0};
  std::atomic<std::int64_t> failed_logins{0};

  // Runs a bound procedure's body (takes db_mutex). The result carries rows, an error, or a
  // function's value; the caller adds the return status.
  StatementResult run_procedure(const ProcArgs& args, std::int64_t connection);
  // Returns accounts, balances, messages, deposits, members, acknowledgements, faults, the clock
  // and the call log to their state at first start. Takes db_mutex, so a procedure running
  // meanwhile is stored whole before, or runs whole after.
  void reset_to_seed();
  // Gives every message that is due the result planned for it. Needs db_mutex held.
  void deliver_due_messages();
  // Records an acknowledgement statement; returns the rows it matched.
  std::int64_t acknowledge(std::int64_t result_id, std::int64_t connection);
  // `count` generated rows in the columns of `def`.
  static ResultSet generated_rows(const ProcDef& def, std::int64_t count, DateTime now);
};

}  // namespace sandbox
