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
#include "service/faults.h"
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
  ReadPool readers;  // snapshots of the store for long reads, without db_mutex
  CallLog calls;
  Faults faults;
  ChangeFeed changes;  // bumped by every logged call and every write of the control port
  std::atomic<std::int64_t> next_connection{1};
  std::atomic<std::int64_t> generation{0};  // counts resets (changed under db_mutex)
  std::atomic<std::int64_t> open_sessions{0};
  std::atomic<std::int64_t> total_logins{0};
  std::atomic<std::int64_t> failed_logins{0};

  // Runs a bound procedure's body (takes db_mutex). The result carries rows, an error, or a
  // function's value; the caller adds the return status.
  // With `stream_rows`, the rows of a long set are read from a snapshot while they are sent
  // (ResultSet::next_row), after the lock is given back.
  StatementResult run_procedure(const ProcArgs& args, std::int64_t connection,
                                bool stream_rows = false);
  // Returns accounts, balances, messages, deposits, members, acknowledgements, faults, the clock
  // and the call log to their state at first start. Takes db_mutex, so a procedure running
  // meanwhile is stored whole before, or runs whole after.
  void reset_to_seed();
  // Gives every message that is due the result planned for it. Needs db_mutex held.
  void deliver_due_messages();
  // Cancels reservation `id` of the account `user_key` and refunds its fee. Needs db_mutex held.
  void cancel_and_refund(std::int64_t id, const std::u16string& user_key, std::int64_t fee);
  // Records an acknowledgement statement; returns the rows it matched. `listed_in` is the
  // generation in which the session last listed results: after a reset the ids it saw name other
  // messages (ids start again at 1), so such an acknowledgement matches nothing.
  std::int64_t acknowledge(std::int64_t result_id, std::int64_t connection, std::int64_t listed_in);
  // `count` generated rows in the columns of `def`; with `stream_rows`, made as they are sent.
  static ResultSet generated_rows(const ProcDef& def, std::int64_t count, DateTime now,
                                  bool stream_rows = false);
};

}  // namespace sandbox
