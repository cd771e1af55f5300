// The sandbox's database service: the procedures of database `sms` on an SQLite file, the
// service clock, the call log and injected faults. The TDS server reaches it through Backend;
// the control port through the accessors below and service/stored_data.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "backend.h"

namespace sandbox {

struct ServiceConfig {
  std::filesystem::path data_dir;           // holds sandbox.sqlite3 (created when missing)
  std::string db_user = "sms_app";          // the database login (UTF-8)
  std::string db_password = "tavik2024db";  // its password (UTF-8)
  bool reset = false;                       // delete the database first and seed it again
  std::optional<DateTime> clock_start;      // service clock start; empty: the real local time
  std::size_t call_log_limit = 200000;      // the call log keeps this many recent entries
  std::size_t call_log_bytes = 64u << 20;   // ... and at most this many bytes of them
  bool decoy_procedures = false;            // the catalog also lists look-alikes of sp_sms_send
};

struct ServiceState;
class CallLog;
class Faults;
class ChangeFeed;

class Service : public Backend {
 public:
  // Opens or creates DIR/sandbox.sqlite3; throws std::runtime_error when that fails.
  explicit Service(ServiceConfig config);
  ~Service() override;
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Sessions must not outlive the Service.
  std::unique_ptr<Session> open_session() override;

  // The service clock: naive local time, running in real time from its last setting.
  DateTime now() const;
  void set_clock(DateTime t);
  void advance_clock(std::int64_t milliseconds);

  struct ConnectionCounts {
    std::int64_t open = 0;           // live sessions
    std::int64_t total_logins = 0;   // every login attempt
    std::int64_t failed_logins = 0;  // attempts refused
  };
  ConnectionCounts connection_counts() const;

  // What the control port reads and changes besides the stored data (each thread-safe).
  CallLog& calls();
  Faults& faults();
  ChangeFeed& changes();  // bumped by every logged call; the control port bumps it on writes
  // Accounts, balances, messages, deposits, members, acknowledgements, faults, the clock and the
  // call log as at first start. A procedure running meanwhile is stored whole before, or runs
  // whole after.
  void reset_to_seed();

  // Internals, for the service's own tests (service/service_impl.h).
  ServiceState& state() { return *state_; }

 private:
  std::unique_ptr<ServiceState> state_;
};

// The machine's current local wall-clock time as a naive DateTime.
DateTime local_now();
// "YYYY-MM-DD HH:MM:SS" (seconds optional) <-> DateTime, as used by --clock and /clock.
std::optional<DateTime> parse_clock_text(std::string_view text);
std::string format_clock_text(DateTime t);

}  // namespace sandbox
