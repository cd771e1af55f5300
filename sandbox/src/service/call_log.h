// Every procedure execution with its parameters exactly as received, for tests to inspect.
//
// Entries are packed into one byte string each, so a long run of calls stays affordable; the log
// keeps the most recent `limit` entries, and drops the oldest while it holds more than
// `max_bytes` (the newest entry always stays, whatever its size). Thread-safe.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backend.h"

namespace sandbox {

struct CallParam {
  std::u16string_view name;
  const SqlValue* value = nullptr;
};

struct CallRecord {
  struct Param {
    std::u16string name;
    SqlValue value;
  };
  std::int64_t seq = 0;
  std::int64_t connection = 0;
  std::int64_t at_ms = 0;  // service clock when logged (DateTime::ms); 0 without a clock
  std::u16string proc;
  bool via_sql = false;
  std::vector<Param> params;
  std::optional<std::u16string> error;
};

class CallLog {
 public:
  explicit CallLog(std::size_t limit, std::size_t max_bytes = 64u << 20)
      : limit_(limit), max_bytes_(max_bytes) {}

  // `now_ms` stamps each entry; `changed` runs after each append and clear (outside the lock).
  void set_observer(std::function<std::int64_t()> now_ms, std::function<void()> changed);

  // Returns the entry's sequence number (1, 2, ...; never reused, also not after clear()).
  std::int64_t append(std::int64_t connection, std::u16string_view proc, bool via_sql,
                      const std::vector<CallParam>& params,
                      const std::optional<std::u16string>& error);
  // Entries with seq > since, of `proc` only when given (case-insensitive).
  std::vector<CallRecord> list(std::optional<std::u16string_view> proc, std::int64_t since) const;
  void clear();
  std::size_t size() const;
  // What the entries take (their packed texts and parameters).
  std::size_t bytes() const;

 private:
  struct Packed {
    std::int64_t seq;
    std::int64_t connection;
    std::int64_t at_ms;
    bool via_sql;
    bool has_error;
    std::u16string proc;
    std::u16string error;
    std::string params;
  };
  static CallRecord unpack(const Packed& p);

  static std::size_t footprint(const Packed& p);

  std::size_t limit_;
  std::size_t max_bytes_;
  std::function<std::int64_t()> now_ms_;
  std::function<void()> changed_;
  mutable std::mutex mutex_;
  std::size_t bytes_ = 0;
  std::deque<Packed> entries_;
  std::int64_t next_seq_ = 1;
};

}  // namespace sandbox
