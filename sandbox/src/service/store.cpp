#include "service/store.h"

#include <sqlite3.h>

#include <bit>
#include <cstring>
#include <system_error>

#include "service/text.h"
#include "utf8_path.h"

namespace sandbox {

static_assert(std::endian::native == std::endian::little,
              "text is stored as the host's char16_t bytes, which must be UTF-16LE");

Stmt::Stmt(sqlite3* db, const char* sql) : db_(db) {
  if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
    throw StoreError(std::string("prepare failed: ") + sqlite3_errmsg(db) + " in: " + sql);
  }
}

Stmt::~Stmt() {
  sqlite3_finalize(stmt_);
}

Stmt& Stmt::start() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  return *this;
}

Stmt& Stmt::bind(int index, std::int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

Stmt& Stmt::bind_null(int index) {
  sqlite3_bind_null(stmt_, index);
  return *this;
}

Stmt& Stmt::bind_text(int index, std::u16string_view value) {
  // A zero-length blob must still be a blob, not NULL: pass a valid pointer.
  static const char16_t empty = 0;
  sqlite3_bind_blob(stmt_, index, value.empty() ? &empty : value.data(),
                    static_cast<int>(value.size() * 2), SQLITE_TRANSIENT);
  return *this;
}

Stmt& Stmt::bind_text(int index, const std::u16string* value) {
  return value ? bind_text(index, std::u16string_view(*value)) : bind_null(index);
}

Stmt& Stmt::bind_opt(int index, std::optional<std::int64_t> value) {
  return value ? bind(index, *value) : bind_null(index);
}

Stmt& Stmt::bind_utf8(int index, std::string_view value) {
  sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  return *this;
}

bool Stmt::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw StoreError(std::string("step failed: ") + sqlite3_errmsg(db_));
}

void Stmt::run() {
  while (step()) {
  }
  sqlite3_reset(stmt_);
}

bool Stmt::is_null(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::int64_t Stmt::integer(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

std::optional<std::int64_t> Stmt::opt_integer(int column) const {
  if (is_null(column)) return std::nullopt;
  return integer(column);
}

std::u16string Stmt::text(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  const int bytes = sqlite3_column_bytes(stmt_, column);
  std::u16string out(static_cast<std::size_t>(bytes) / 2, u'\0');
  if (bytes > 0) std::memcpy(out.data(), data, out.size() * 2);
  return out;
}

std::u16string_view Stmt::text_view(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  const int bytes = sqlite3_column_bytes(stmt_, column);
  if (!data || bytes <= 0) return {};
  return std::u16string_view(static_cast<const char16_t*>(data),
                             static_cast<std::size_t>(bytes) / 2);
}

std::string Stmt::utf8(int column) const {
  const auto* data = sqlite3_column_text(stmt_, column);
  const int bytes = sqlite3_column_bytes(stmt_, column);
  return data ? std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(bytes))
              : std::string();
}

SqlValue Stmt::value(int column, SqlType type) const {
  if (is_null(column)) return SqlValue::null(type);
  switch (type) {
    case SqlType::VarChar:
    case SqlType::NVarChar: {
      SqlValue v = SqlValue::nvarchar(text(column));
      v.type = type;
      return v;
    }
    case SqlType::Int:
      return SqlValue::int32(static_cast<std::int32_t>(integer(column)));
    case SqlType::BigInt:
      return SqlValue::int64(integer(column));
    case SqlType::Money:
      return SqlValue::money(integer(column));
    case SqlType::DateTime:
      return SqlValue::datetime(DateTime{integer(column)});
    case SqlType::Bit:
      return SqlValue::bit(integer(column) != 0);
    case SqlType::Decimal:
      return SqlValue::decimal(integer(column), 19, 4);
  }
  return SqlValue::null(type);
}

Store::Store(const std::filesystem::path& file, bool reset) {
  std::error_code ec;
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
  if (reset) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      std::filesystem::remove(path_of(path_text(file) + suffix), ec);
    }
  }
  const bool existed = std::filesystem::exists(file, ec);
  if (sqlite3_open_v2(path_text(file).c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError("cannot open " + path_text(file) + ": " + message);
  }
  try {
    // Speed over durability: the sandbox's state is disposable test data.
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=OFF");
    exec("PRAGMA temp_store=MEMORY");
    exec("PRAGMA cache_size=-16000");
    Stmt check(db_, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='messages'");
    const bool has_schema = check.step() && check.integer(0) > 0;
    if (!existed || !has_schema) {
      Transaction tx(*this);
      create_schema();
      seed();
      tx.commit();
      created_ = true;
    }
  } catch (...) {
    cache_.clear();
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

ReadConnection::ReadConnection(const std::filesystem::path& file) {
  if (sqlite3_open_v2(path_text(file).c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw StoreError("cannot open " + path_text(file) + " for reading: " + message);
  }
  // A small page cache: readers stream, they do not revisit.
  sqlite3_exec(db_, "PRAGMA cache_size=-512", nullptr, nullptr, nullptr);
  // A writer's checkpoint may hold the file briefly.
  sqlite3_busy_timeout(db_, 5000);
}

ReadConnection::~ReadConnection() {
  cache_.clear();
  sqlite3_close(db_);
}

Stmt& ReadConnection::stmt(const char* sql) {
  auto& slot = cache_[sql];
  if (!slot) slot = std::make_unique<Stmt>(db_, sql);
  return slot->start();
}

void ReadConnection::begin() {
  if (in_transaction_) return;
  if (sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK) in_transaction_ = true;
}

void ReadConnection::end() {
  if (!in_transaction_) return;
  for (auto& [sql, stmt] : cache_) stmt->start();
  sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  in_transaction_ = false;
}

std::shared_ptr<ReadConnection> ReadPool::acquire() {
  std::unique_ptr<ReadConnection> c;
  {
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      c = std::move(idle_.back());
      idle_.pop_back();
    }
  }
  if (!c) c = std::make_unique<ReadConnection>(file_);
  return std::shared_ptr<ReadConnection>(c.release(), [this](ReadConnection* used) {
    used->end();
    std::unique_ptr<ReadConnection> owned(used);
    std::lock_guard lock(mutex_);
    if (idle_.size() < kKeepIdle) idle_.push_back(std::move(owned));
  });
}

Store::~Store() {
  cache_.clear();
  if (db_) sqlite3_close(db_);
}

Stmt& Store::stmt(const char* sql) {
  auto& slot = cache_[sql];
  if (!slot) slot = std::make_unique<Stmt>(db_, sql);
  return slot->start();
}

void Store::exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : "unknown error";
    sqlite3_free(error);
    throw StoreError(message + " in: " + sql);
  }
}

std::int64_t Store::last_insert_id() const {
  return sqlite3_last_insert_rowid(db_);
}
std::int64_t Store::changes() const {
  return sqlite3_changes64(db_);
}

void Store::create_schema() {
  exec(R"sql(
CREATE TABLE accounts(
  user_key BLOB PRIMARY KEY,
  user_id BLOB NOT NULL,
  password BLOB,
  balance INTEGER NOT NULL,
  blocked INTEGER NOT NULL DEFAULT 0
) WITHOUT ROWID;
CREATE TABLE sub_accounts(user_key BLOB NOT NULL, sub_id BLOB NOT NULL);
CREATE TABLE members(
  seq INTEGER PRIMARY KEY, i_time INTEGER,
  user_id BLOB, user_pw BLOB, recommender BLOB, tax_no BLOB, tax_ltd BLOB, tax_name BLOB,
  tax_jongmok BLOB, tax_upte BLOB, tax_tel BLOB, tax_fax BLOB, tax_mail BLOB, tax_juso BLOB,
  tax_damdang BLOB);
CREATE TABLE deposits(
  id INTEGER PRIMARY KEY, user_key BLOB, user_id BLOB, kunsu INTEGER, ibgum INTEGER,
  ibgum_date INTEGER, memo BLOB);
-- state: 0 waiting to be delivered, 1 delivered (has a result), 3 cancelled.
-- plan_code/plan_msg: the result it will get; plan_code NULL: never delivered.
CREATE TABLE messages(
  id INTEGER PRIMARY KEY, kind INTEGER NOT NULL, user_key BLOB, user_id BLOB, sub_id BLOB, sub_key BLOB,
  user_tel BLOB, custom_tel BLOB, custom_id BLOB, custom_nam BLOB, subject BLOB, msg BLOB,
  typ INTEGER, n_code BLOB, fnam1 BLOB, fnam2 BLOB, fnam3 BLOB, yk_time BLOB, kun2 INTEGER,
  fee INTEGER, i_time INTEGER, due INTEGER NOT NULL, reserved INTEGER NOT NULL, state INTEGER NOT NULL,
  plan_code INTEGER, plan_msg BLOB, s_time INTEGER, result_code INTEGER, result_msg BLOB,
  reply INTEGER NOT NULL DEFAULT 0, connection INTEGER);
CREATE INDEX messages_user ON messages(user_key, id);
CREATE INDEX messages_waiting ON messages(due) WHERE state = 0;
CREATE TABLE acks(seq INTEGER PRIMARY KEY, connection INTEGER, result_id INTEGER, at INTEGER,
  rows INTEGER);
)sql");
}

namespace {

// X'640065006d006f00' in the statements below is the key of "demo" (UTF-16LE).
constexpr std::int64_t kSeedFee = 20 * 10000;

std::u16string u(std::string_view utf8) {
  return from_utf8(utf8);
}

DateTime at(int y, int mo, int d, int h, int mi, int s) {
  return make_datetime(CivilTime{y, mo, d, h, mi, s, 0});
}

}  // namespace

void Store::seed() {
  auto& account =
      stmt("INSERT INTO accounts(user_key, user_id, password, balance, blocked) VALUES(?,?,?,?,?)");
  auto add_account = [&](std::string_view id, std::string_view pw, std::int64_t balance,
                         bool blocked) {
    const std::u16string uid = u(id);
    account.start()
        .bind_text(1, comparison_key(uid))
        .bind_text(2, uid)
        .bind_text(3, u(pw))
        .bind(4, balance)
        .bind(5, blocked ? 1 : 0)
        .run();
  };
  add_account("demo", "demo1234", 100000LL * 10000, false);
  add_account("poor", "poor1234", 30LL * 10000, false);
  add_account("blocked", "blocked1234", 10000LL * 10000, true);

  auto& sub = stmt("INSERT INTO sub_accounts(user_key, sub_id) VALUES(?,?)");
  sub.start().bind_text(1, u"demo").bind_text(2, u"sub01").run();
  sub.start().bind_text(1, u"demo").bind_text(2, u"sub02").run();

  auto& deposit = stmt(
      "INSERT INTO deposits(user_key, user_id, kunsu, ibgum, ibgum_date, memo) "
      "VALUES(X'640065006d006f00', ?, ?, ?, ?, ?)");
  auto add_deposit = [&](int kunsu, std::int64_t won, DateTime when, const char* memo) {
    std::optional<std::u16string> m;
    if (memo) m = u(memo);
    deposit.start()
        .bind_text(1, u"demo")
        .bind(2, kunsu)
        .bind(3, won * 10000)
        .bind(4, when.ms)
        .bind_text(5, m ? &*m : nullptr)
        .run();
  };
  add_deposit(5000, 100000, at(2024, 3, 2, 10, 15, 0), "3월 충전");
  add_deposit(2500, 50000, at(2024, 3, 15, 14, 0, 0), "추가 충전\r\n세금계산서 발행 요청");
  add_deposit(1000, 20000, at(2024, 3, 28, 9, 30, 0), nullptr);

  auto& msg = stmt(
      "INSERT INTO messages(kind, user_key, user_id, sub_id, user_tel, custom_tel, custom_id, "
      "custom_nam, msg, typ, kun2, fee, i_time, due, reserved, state, plan_code, plan_msg, s_time, "
      "result_code, result_msg, reply, n_code, yk_time) "
      "VALUES(0, X'640065006d006f00', ?, ?, ?, ?, ?, ?, ?, 0, 1, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
      "?, ?)");
  struct SeedResult {
    const char* sub;
    const char* custom_tel;
    const char* custom_id;
    const char* custom_nam;  // nullptr: NULL
    const char* text;
    bool fee_null;
    DateTime i_time;
    bool s_time_null;
    int code;
    bool reply;
  };
  const SeedResult results[] = {
      {"sub01", "01012345678", "C001", "홍길동", "3월 정기 점검 안내입니다.", false,
       at(2024, 3, 4, 10, 0, 0), false, 0, false},
      {"sub02", "010-2345-6789", "C002", nullptr, "첫째 줄\n둘째 줄\t탭 뒤", true,
       at(2024, 3, 5, 11, 30, 0), false, 0, false},
      {"sub01", "01034567890", "C003", "김철수", "결과 시각이 없는 결과", false,
       at(2024, 3, 6, 9, 0, 0), true, 3, false},
      {"sub02", "01045678901", "C004", "이영희", "이미 확인한 결과", false,
       at(2024, 3, 7, 16, 45, 0), false, 0, true},
      {"sub01", "01099990042", "C005", "박민수", "전송 실패 예시", false, at(2024, 3, 8, 8, 5, 0),
       false, 42, false},
  };
  for (const auto& r : results) {
    const std::u16string result_msg =
        r.code == 0 ? u("성공")
                    : u("전송실패(" + std::string(r.code < 10 ? "000" : "00") +
                        std::to_string(r.code) + ")");
    std::optional<std::u16string> nam;
    if (r.custom_nam) nam = u(r.custom_nam);
    const DateTime sent{r.i_time.ms + 10000};
    msg.start()
        .bind_text(1, u"demo")
        .bind_text(2, u(r.sub))
        .bind_text(3, u"0212345678")
        .bind_text(4, u(r.custom_tel))
        .bind_text(5, u(r.custom_id))
        .bind_text(6, nam ? &*nam : nullptr)
        .bind_text(7, u(r.text))
        .bind_opt(8, r.fee_null ? std::nullopt : std::optional<std::int64_t>(kSeedFee))
        .bind(9, r.i_time.ms)
        .bind(10, r.i_time.ms)
        .bind(11, 0)
        .bind(12, 1)
        .bind(13, r.code)
        .bind_text(14, result_msg)
        .bind_opt(15, r.s_time_null ? std::nullopt : std::optional<std::int64_t>(sent.ms))
        .bind(16, r.code)
        .bind_text(17, result_msg)
        .bind(18, r.reply ? 1 : 0)
        .bind_text(19, u"")
        .bind_text(20, u"")
        .run();
  }
  // The reservation: due 2030-01-01 09:00, submitted in March 2024.
  const DateTime reserved = at(2030, 1, 1, 9, 0, 0);
  msg.start()
      .bind_text(1, u"demo")
      .bind_text(2, u"sub01")
      .bind_text(3, u"0212345678")
      .bind_text(4, u"01056789012")
      .bind_text(5, u"C006")
      .bind_text(6, u("최예약"))
      .bind_text(7, u("2030년 새해 인사드립니다."))
      .bind(8, kSeedFee)
      .bind(9, at(2024, 3, 20, 15, 0, 0).ms)
      .bind(10, reserved.ms)
      .bind(11, 1)
      .bind(12, 0)
      .bind(13, 0)
      .bind_text(14, u("성공"))
      .bind_null(15)
      .bind_null(16)
      .bind_null(17)
      .bind(18, 0)
      .bind_text(19, u"")
      .bind_text(20, u"2030-01-01 09:00")
      .run();
  exec("UPDATE messages SET sub_key = sub_id");  // the seeded ids are already in key form
}

void Store::reset_to_seed() {
  Transaction tx(*this);
  // Without AUTOINCREMENT, ids start at 1 again once a table is empty, as in a new file.
  exec(
      "DELETE FROM accounts; DELETE FROM sub_accounts; DELETE FROM members; "
      "DELETE FROM deposits; DELETE FROM messages; DELETE FROM acks;");
  seed();
  tx.commit();
}

Transaction::Transaction(Store& store) : store_(store) {
  store_.exec("BEGIN");
}

Transaction::~Transaction() {
  if (!done_) {
    try {
      store_.exec("ROLLBACK");
    } catch (...) {
      // Nothing more to undo; the connection stays usable.
    }
  }
}

void Transaction::commit() {
  store_.exec("COMMIT");
  done_ = true;
}

}  // namespace sandbox
