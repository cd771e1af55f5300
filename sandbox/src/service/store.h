// The SQLite file behind the procedures: a thin RAII layer, the schema and the seed data.
//
// Text is stored as BLOBs of UTF-16LE code units, so lone surrogates and NULs survive exactly.
// Money is stored in ten-thousandths, date-times as DateTime::ms. Not thread-safe: the service
// holds one mutex around every use.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "backend.h"

struct sqlite3;
struct sqlite3_stmt;

namespace sandbox {

class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  // Resets and clears the bindings; returns *this for chaining.
  Stmt& start();
  Stmt& bind(int index, std::int64_t value);
  Stmt& bind_null(int index);
  Stmt& bind_text(int index, std::u16string_view value);
  // nullptr binds NULL.
  Stmt& bind_text(int index, const std::u16string* value);
  Stmt& bind_opt(int index, std::optional<std::int64_t> value);
  Stmt& bind_utf8(int index, std::string_view value);
  // True while rows come; throws StoreError on failure.
  bool step();
  // Runs to completion.
  void run();

  bool is_null(int column) const;
  std::int64_t integer(int column) const;
  std::optional<std::int64_t> opt_integer(int column) const;
  std::u16string text(int column) const;
  // The text without a copy, valid until the next step() or start().
  std::u16string_view text_view(int column) const;
  std::string utf8(int column) const;  // a TEXT column
  // Typed value for a result row: text columns read as BLOB UTF-16LE.
  SqlValue value(int column, SqlType type) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

class Store {
 public:
  // Opens (creating the folder and file when needed). `reset` deletes the file first. A new file
  // gets the schema and the seed data, with `seed_now` as the seed's notion of "now".
  Store(const std::filesystem::path& file, bool reset);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // A cached prepared statement; `sql` must be a string literal (the cache keys on its address).
  Stmt& stmt(const char* sql);
  void exec(const char* sql);
  std::int64_t last_insert_id() const;
  std::int64_t changes() const;

  bool was_created() const { return created_; }

  // Empties every table and seeds it again, in one transaction.
  void reset_to_seed();

 private:
  void create_schema();
  void seed();

  sqlite3* db_ = nullptr;
  bool created_ = false;
  std::unordered_map<const char*, std::unique_ptr<Stmt>> cache_;
};

// A read-only connection to the store's file, for readers that must neither wait for nor hold up
// the service's lock: in WAL mode a read transaction sees one snapshot while procedures go on
// writing. One user at a time (ReadPool hands them out).
class ReadConnection {
 public:
  explicit ReadConnection(const std::filesystem::path& file);
  ~ReadConnection();
  ReadConnection(const ReadConnection&) = delete;
  ReadConnection& operator=(const ReadConnection&) = delete;

  // As Store::stmt.
  Stmt& stmt(const char* sql);
  // Every read between begin() and end() sees one snapshot of the store.
  void begin();
  void end();

 private:
  sqlite3* db_ = nullptr;
  bool in_transaction_ = false;
  std::unordered_map<const char*, std::unique_ptr<Stmt>> cache_;
};

// Read connections, made when asked for and kept for reuse (a few). Thread-safe; must outlive
// every connection it handed out.
class ReadPool {
 public:
  explicit ReadPool(std::filesystem::path file) : file_(std::move(file)) {}
  // The connection goes back to the pool when the last copy of the pointer is gone.
  std::shared_ptr<ReadConnection> acquire();

 private:
  static constexpr std::size_t kKeepIdle = 4;
  std::filesystem::path file_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<ReadConnection>> idle_;
};

// Wraps BEGIN/COMMIT; rolls back when left by an exception.
class Transaction {
 public:
  explicit Transaction(Store& store);
  ~Transaction();
  void commit();

 private:
  Store& store_;
  bool done_ = false;
};

}  // namespace sandbox
