#include "service/call_log.h"

#include <cstring>

#include "service/text.h"

namespace sandbox {

namespace {

template <typename T>
void put(std::string& out, T v) {
  char buf[sizeof(T)];
  std::memcpy(buf, &v, sizeof(T));
  out.append(buf, sizeof(T));
}

void put_text(std::string& out, std::u16string_view s) {
  put<std::uint32_t>(out, static_cast<std::uint32_t>(s.size()));
  out.append(reinterpret_cast<const char*>(s.data()), s.size() * 2);
}

template <typename T>
T get(const std::string& in, std::size_t& pos) {
  T v;
  std::memcpy(&v, in.data() + pos, sizeof(T));
  pos += sizeof(T);
  return v;
}

}  // namespace

std::int64_t CallLog::append(std::int64_t connection, std::u16string_view proc, bool via_sql,
                             const std::vector<CallParam>& params,
                             const std::optional<std::u16string>& error) {
  Packed p{0,
           connection,
           now_ms_ ? now_ms_() : 0,
           via_sql,
           error.has_value(),
           std::u16string(proc),
           error.value_or(std::u16string()),
           {}};
  std::size_t bytes = 0;
  for (const auto& param : params) bytes += 24 + param.name.size() * 2 + param.value->s.size() * 2;
  p.params.reserve(bytes);
  for (const auto& param : params) {
    const SqlValue& v = *param.value;
    put_text(p.params, param.name);
    put<std::uint8_t>(p.params, static_cast<std::uint8_t>(v.type));
    put<std::uint8_t>(p.params, v.is_null ? 1 : 0);
    put<std::int64_t>(p.params, v.i);
    put<std::uint8_t>(p.params, v.precision);
    put<std::uint8_t>(p.params, v.scale);
    put_text(p.params, v.s);
  }
  std::int64_t seq = 0;
  {
    std::lock_guard lock(mutex_);
    p.seq = next_seq_++;
    seq = p.seq;
    bytes_ += footprint(p);
    entries_.push_back(std::make_shared<const Packed>(std::move(p)));
    // Bounded in entries and in bytes; the newest entry always stays (unless the limit is 0).
    while (!entries_.empty() &&
           (entries_.size() > limit_ || (bytes_ > max_bytes_ && entries_.size() > 1))) {
      bytes_ -= footprint(*entries_.front());
      entries_.pop_front();
    }
  }
  if (changed_) changed_();
  return seq;
}

void CallLog::set_observer(std::function<std::int64_t()> now_ms, std::function<void()> changed) {
  std::lock_guard lock(mutex_);
  now_ms_ = std::move(now_ms);
  changed_ = std::move(changed);
}

std::vector<CallLog::ParamView> CallLog::param_views(const Packed& p) {
  std::vector<ParamView> out;
  std::size_t pos = 0;
  auto text = [&] {
    const auto n = get<std::uint32_t>(p.params, pos);
    const std::u16string_view v(reinterpret_cast<const char16_t*>(p.params.data() + pos), n);
    pos += std::size_t{n} * 2;
    return v;
  };
  while (pos < p.params.size()) {
    ParamView v;
    v.name = text();
    v.type = static_cast<SqlType>(get<std::uint8_t>(p.params, pos));
    v.is_null = get<std::uint8_t>(p.params, pos) != 0;
    v.i = get<std::int64_t>(p.params, pos);
    v.precision = get<std::uint8_t>(p.params, pos);
    v.scale = get<std::uint8_t>(p.params, pos);
    v.text = text();
    out.push_back(v);
  }
  return out;
}

CallRecord CallLog::unpack(const Packed& p) {
  CallRecord r;
  r.seq = p.seq;
  r.connection = p.connection;
  r.at_ms = p.at_ms;
  r.proc = p.proc;
  r.via_sql = p.via_sql;
  if (p.has_error) r.error = p.error;
  for (const ParamView& v : param_views(p)) {
    CallRecord::Param param;
    param.name = std::u16string(v.name);
    param.value.type = v.type;
    param.value.is_null = v.is_null;
    param.value.i = v.i;
    param.value.precision = v.precision;
    param.value.scale = v.scale;
    param.value.s = std::u16string(v.text);
    r.params.push_back(std::move(param));
  }
  return r;
}

std::int64_t CallLog::View::seq() const {
  return entry_->seq;
}
std::int64_t CallLog::View::connection() const {
  return entry_->connection;
}
std::int64_t CallLog::View::at_ms() const {
  return entry_->at_ms;
}
std::u16string_view CallLog::View::proc() const {
  return entry_->proc;
}
bool CallLog::View::via_sql() const {
  return entry_->via_sql;
}
std::optional<std::u16string_view> CallLog::View::error() const {
  if (!entry_->has_error) return std::nullopt;
  return std::u16string_view(entry_->error);
}
std::vector<CallLog::ParamView> CallLog::View::params() const {
  return param_views(*entry_);
}

std::vector<CallLog::View> CallLog::views(std::optional<std::u16string_view> proc,
                                          std::int64_t since, std::int64_t until,
                                          std::size_t max_entries) const {
  std::vector<View> out;
  std::lock_guard lock(mutex_);
  for (const auto& p : entries_) {
    if (p->seq <= since) continue;
    if (p->seq > until || out.size() >= max_entries) break;
    if (proc && !iequals(p->proc, *proc)) continue;
    out.emplace_back(p);
  }
  return out;
}

std::vector<CallRecord> CallLog::list(std::optional<std::u16string_view> proc, std::int64_t since,
                                      std::int64_t until, std::size_t max_entries,
                                      std::size_t max_bytes) const {
  std::vector<CallRecord> out;
  std::size_t bytes = 0;
  std::lock_guard lock(mutex_);
  for (const auto& p : entries_) {
    if (p->seq <= since) continue;
    if (p->seq > until || out.size() >= max_entries || (!out.empty() && bytes >= max_bytes)) break;
    if (proc && !iequals(p->proc, *proc)) continue;
    out.push_back(unpack(*p));
    bytes += footprint(*p);
  }
  return out;
}

CallLog::Span CallLog::span(std::optional<std::u16string_view> proc, std::int64_t since,
                            std::int64_t newest) const {
  Span s;
  s.since_for_newest = since;
  std::lock_guard lock(mutex_);
  for (auto it = entries_.rbegin(); it != entries_.rend() && (*it)->seq > since; ++it) {
    if (proc && !iequals((*it)->proc, *proc)) continue;
    if (++s.count == newest) s.since_for_newest = (*it)->seq - 1;
  }
  return s;
}

std::int64_t CallLog::last_seq() const {
  std::lock_guard lock(mutex_);
  return next_seq_ - 1;
}

void CallLog::clear() {
  {
    std::lock_guard lock(mutex_);
    entries_.clear();
    bytes_ = 0;
  }
  if (changed_) changed_();
}

std::size_t CallLog::footprint(const Packed& p) {
  return sizeof(Packed) + (p.proc.size() + p.error.size()) * 2 + p.params.size();
}

std::size_t CallLog::bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

std::size_t CallLog::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace sandbox
