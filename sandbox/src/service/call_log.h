// Every procedure execution with its parameters exactly as received, for tests to inspect.
//
// Entries are packed into one byte string each, so a long run of calls stays affordable; the log
// keeps the most recent `limit` entries, and drops the oldest while it holds more than
// `max_bytes` (the newest entry always stays, whatever its size). Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
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
  struct Packed;

 public:
  explicit CallLog(std::size_t limit, std::size_t max_bytes = 64u << 20)
      : limit_(limit), max_bytes_(max_bytes) {}

  // `now_ms` stamps each entry; `changed` runs after each append and clear (outside the lock).
  void set_observer(std::function<std::int64_t()> now_ms, std::function<void()> changed);

  // Returns the entry's sequence number (1, 2, ...; never reused, also not after clear()).
  std::int64_t append(std::int64_t connection, std::u16string_view proc, bool via_sql,
                      const std::vector<CallParam>& params,
                      const std::optional<std::u16string>& error);
  // Entries with since < seq <= until, of `proc` only when given (case-insensitive), oldest first:
  // at most `max_entries`, and no more once they hold `max_bytes` (at least one), so a reader
  // can take a long log a part at a time.
  std::vector<CallRecord> list(std::optional<std::u16string_view> proc, std::int64_t since,
                               std::int64_t until = INT64_MAX, std::size_t max_entries = SIZE_MAX,
                               std::size_t max_bytes = SIZE_MAX) const;
  // A parameter of a logged call as stored: its texts are views into the log's entry.
  struct ParamView {
    std::u16string_view name;
    SqlType type = SqlType::NVarChar;
    bool is_null = true;
    std::int64_t i = 0;
    std::uint8_t precision = 0;
    std::uint8_t scale = 0;
    std::u16string_view text;
  };
  // One logged call, sharing its entry with the log rather than copying it (the entry lives on
  // while a view holds it, also after the log dropped it).
  class View {
   public:
    explicit View(std::shared_ptr<const Packed> entry) : entry_(std::move(entry)) {}
    std::int64_t seq() const;
    std::int64_t connection() const;
    std::int64_t at_ms() const;
    std::u16string_view proc() const;
    bool via_sql() const;
    std::optional<std::u16string_view> error() const;
    std::vector<ParamView> params() const;

   private:
    std::shared_ptr<const Packed> entry_;
  };
  // As list(), as views.
  std::vector<View> views(std::optional<std::u16string_view> proc, std::int64_t since,
                          std::int64_t until, std::size_t max_entries) const;

  // How many entries have seq > since (of `proc` when given), and the `since` that leaves only
  // the newest `newest` of them.
  struct Span {
    std::int64_t count = 0;
    std::int64_t since_for_newest = 0;
  };
  Span span(std::optional<std::u16string_view> proc, std::int64_t since, std::int64_t newest) const;
  // The sequence number of the newest entry ever logged (0: none yet).
  std::int64_t last_seq() const;
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
  static std::vector<ParamView> param_views(const Packed& p);

  static std::size_t footprint(const Packed& p);

  std::size_t limit_;
  std::size_t max_bytes_;
  std::function<std::int64_t()> now_ms_;
  std::function<void()> changed_;
  mutable std::mutex mutex_;
  std::size_t bytes_ = 0;
  std::deque<std::shared_ptr<const Packed>> entries_;
  std::int64_t next_seq_ = 1;
};

}  // namespace sandbox
