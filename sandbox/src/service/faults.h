// Faults the control port arms for the procedures to meet: raised errors, dropped connections,
// generated rows, a NULL balance, refused acknowledgements. Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sandbox {

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

}  // namespace sandbox
