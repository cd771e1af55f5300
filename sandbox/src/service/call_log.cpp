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

std::u16string get_text(const std::string& in, std::size_t& pos) {
  const auto n = get<std::uint32_t>(in, pos);
  std::u16string s(n, u'\0');
  if (n > 0) std::memcpy(s.data(), in.data() + pos, n * 2);
  pos += n * 2;
  return s;
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
    entries_.push_back(std::move(p));
    // Bounded in entries and in bytes; the newest entry always stays (unless the limit is 0).
    while (!entries_.empty() &&
           (entries_.size() > limit_ || (bytes_ > max_bytes_ && entries_.size() > 1))) {
      bytes_ -= footprint(entries_.front());
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

CallRecord CallLog::unpack(const Packed& p) {
  CallRecord r;
  r.seq = p.seq;
  r.connection = p.connection;
  r.at_ms = p.at_ms;
  r.proc = p.proc;
  r.via_sql = p.via_sql;
  if (p.has_error) r.error = p.error;
  std::size_t pos = 0;
  while (pos < p.params.size()) {
    CallRecord::Param param;
    param.name = get_text(p.params, pos);
    param.value.type = static_cast<SqlType>(get<std::uint8_t>(p.params, pos));
    param.value.is_null = get<std::uint8_t>(p.params, pos) != 0;
    param.value.i = get<std::int64_t>(p.params, pos);
    param.value.precision = get<std::uint8_t>(p.params, pos);
    param.value.scale = get<std::uint8_t>(p.params, pos);
    param.value.s = get_text(p.params, pos);
    r.params.push_back(std::move(param));
  }
  return r;
}

std::vector<CallRecord> CallLog::list(std::optional<std::u16string_view> proc,
                                      std::int64_t since) const {
  std::vector<CallRecord> out;
  std::lock_guard lock(mutex_);
  for (const auto& p : entries_) {
    if (p.seq <= since) continue;
    if (proc && !iequals(p.proc, *proc)) continue;
    out.push_back(unpack(p));
  }
  return out;
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
