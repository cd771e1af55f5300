#include "service/service.h"

#include <ctime>

#include "service/service_impl.h"
#include "service/text.h"

namespace sandbox {

std::unique_ptr<Session> make_session(ServiceState& state);  // session.cpp

ServiceClock::ServiceClock(DateTime start)
    : base_ms_(start.ms), anchor_(std::chrono::steady_clock::now()) {}

DateTime ServiceClock::now() const {
  std::lock_guard lock(mutex_);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - anchor_);
  return DateTime{base_ms_ + elapsed.count()};
}

void ServiceClock::set(DateTime t) {
  std::lock_guard lock(mutex_);
  base_ms_ = t.ms;
  anchor_ = std::chrono::steady_clock::now();
}

void ServiceClock::advance(std::int64_t ms) {
  std::lock_guard lock(mutex_);
  base_ms_ += ms;
}

void Faults::add_raise(std::u16string proc, std::u16string message, std::int32_t number,
                       std::int64_t times) {
  std::lock_guard lock(mutex_);
  raises_.push_back(RaiseEntry{std::move(proc), Raise{std::move(message), number}, times});
}

void Faults::add_drop(std::int64_t after, std::optional<std::u16string> proc) {
  std::lock_guard lock(mutex_);
  drops_.push_back(DropEntry{std::move(proc), after < 1 ? 1 : after});
}

void Faults::set_janek_null(bool on) {
  std::lock_guard lock(mutex_);
  janek_null_ = on;
}

void Faults::set_rows(std::u16string proc, std::int64_t count) {
  std::lock_guard lock(mutex_);
  for (auto& r : rows_) {
    if (iequals(r.proc, proc)) {
      r.count = count;
      return;
    }
  }
  rows_.push_back(RowsEntry{std::move(proc), count});
}

void Faults::add_ack_fault(std::int64_t after, std::optional<Raise> raise) {
  std::lock_guard lock(mutex_);
  acks_.push_back(AckEntry{std::move(raise), after < 1 ? 1 : after});
}

std::optional<Faults::AckFault> Faults::take_ack_fault() {
  std::lock_guard lock(mutex_);
  std::optional<AckFault> hit;
  for (auto it = acks_.begin(); it != acks_.end();) {
    if (--it->remaining == 0) {
      // Several faults on one statement: the first armed wins, the others are spent.
      if (!hit) hit = AckFault{it->raise};
      it = acks_.erase(it);
      continue;
    }
    ++it;
  }
  return hit;
}

void Faults::clear() {
  std::lock_guard lock(mutex_);
  acks_.clear();
  raises_.clear();
  drops_.clear();
  rows_.clear();
  janek_null_ = false;
}

bool Faults::take_drop(std::u16string_view proc) {
  std::lock_guard lock(mutex_);
  bool drop = false;
  for (auto it = drops_.begin(); it != drops_.end();) {
    if (!it->proc || iequals(*it->proc, proc)) {
      if (--it->remaining == 0) {
        drop = true;
        it = drops_.erase(it);
        continue;
      }
    }
    ++it;
  }
  return drop;
}

std::optional<Faults::Raise> Faults::take_raise(std::u16string_view proc) {
  std::lock_guard lock(mutex_);
  for (auto it = raises_.begin(); it != raises_.end(); ++it) {
    if (iequals(it->proc, proc)) {
      Raise r = it->raise;
      if (--it->remaining <= 0) raises_.erase(it);
      return r;
    }
  }
  return std::nullopt;
}

bool Faults::janek_null() const {
  std::lock_guard lock(mutex_);
  return janek_null_;
}

std::optional<std::int64_t> Faults::rows(std::u16string_view proc) const {
  std::lock_guard lock(mutex_);
  for (const auto& r : rows_) {
    if (iequals(r.proc, proc)) return r.count;
  }
  return std::nullopt;
}

Faults::Armed Faults::armed() const {
  std::lock_guard lock(mutex_);
  Armed a;
  for (const auto& r : raises_) a.raises.push_back({r.proc, r.raise, r.remaining});
  for (const auto& d : drops_) a.drops.push_back({d.proc, d.remaining});
  for (const auto& r : rows_) a.rows.push_back({r.proc, r.count});
  for (const auto& k : acks_) a.acks.push_back({k.raise, k.remaining});
  a.janek_null = janek_null_;
  return a;
}

const std::u16string* ProcArgs::text(std::u16string_view name) const {
  const int i = def->param_index(name);
  if (i < 0) return nullptr;
  const auto& v = values[static_cast<std::size_t>(i)];
  return v && !v->is_null ? &v->s : nullptr;
}

std::optional<std::int64_t> ProcArgs::integer(std::u16string_view name) const {
  const int i = def->param_index(name);
  if (i < 0) return std::nullopt;
  const auto& v = values[static_cast<std::size_t>(i)];
  if (!v || v->is_null) return std::nullopt;
  return v->i;
}

ServerMessage procedure_error(const ProcDef& def, std::int32_t number, std::u16string text,
                              std::uint8_t state) {
  ServerMessage m;
  m.number = number;
  m.state = state;
  m.severity = 16;
  m.text = std::move(text);
  m.procedure = std::u16string(def.name);
  m.line = 1;
  return m;
}

ServiceState::ServiceState(ServiceConfig cfg, std::filesystem::path db_file)
    : config(std::move(cfg)),
      db_user(from_utf8(config.db_user)),
      db_password(from_utf8(config.db_password)),
      clock(config.clock_start.value_or(local_now())),
      store(db_file, config.reset),
      readers(db_file),
      calls(config.call_log_limit, config.call_log_bytes) {
  calls.set_observer([this] { return clock.now().ms; }, [this] { changes.bump(); });
}

void ServiceState::reset_to_seed() {
  {
    std::lock_guard lock(db_mutex);
    store.reset_to_seed();
    ++generation;
    faults.clear();
    clock.set(config.clock_start.value_or(local_now()));
  }
  calls.clear();  // bumps the change feed
}

Service::Service(ServiceConfig config) {
  const auto file = config.data_dir / "sandbox.sqlite3";
  state_ = std::make_unique<ServiceState>(std::move(config), file);
}

Service::~Service() = default;

std::unique_ptr<Session> Service::open_session() {
  return make_session(*state_);
}

CallLog& Service::calls() {
  return state_->calls;
}
Faults& Service::faults() {
  return state_->faults;
}
ChangeFeed& Service::changes() {
  return state_->changes;
}
void Service::reset_to_seed() {
  state_->reset_to_seed();
}

DateTime Service::now() const {
  return state_->clock.now();
}
void Service::set_clock(DateTime t) {
  state_->clock.set(t);
}
void Service::advance_clock(std::int64_t milliseconds) {
  state_->clock.advance(milliseconds);
}

Service::ConnectionCounts Service::connection_counts() const {
  return ConnectionCounts{state_->open_sessions.load(), state_->total_logins.load(),
                          state_->failed_logins.load()};
}

DateTime local_now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  return make_datetime(CivilTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                                 tm.tm_min, tm.tm_sec, static_cast<int>(ms)});
}

std::optional<DateTime> parse_clock_text(std::string_view text) {
  return parse_datetime(text);
}

std::string format_clock_text(DateTime t) {
  return format_datetime(t);
}

}  // namespace sandbox
