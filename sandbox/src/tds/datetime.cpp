#include "tds/datetime.h"

namespace sandbox::tds {
namespace {

constexpr std::int64_t kMsPerDay = 86'400'000;
constexpr std::int64_t kTicksPerDay = 86'400 * 300;
constexpr std::int64_t kDays1900To1970 = 25'567;
constexpr std::int64_t kDays0001To1970 = 719'162;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

}  // namespace

DatetimeWire to_datetime(std::int64_t ms) {
  std::int64_t days = floor_div(ms, kMsPerDay);
  const std::int64_t ms_of_day = ms - days * kMsPerDay;
  std::int64_t ticks = (ms_of_day * 3 + 5) / 10;  // ms * 0.3, to the nearest tick
  if (ticks >= kTicksPerDay) {
    ticks -= kTicksPerDay;
    ++days;
  }
  return {static_cast<std::int32_t>(days + kDays1900To1970), static_cast<std::uint32_t>(ticks)};
}

std::int64_t from_datetime(std::int32_t days, std::uint32_t ticks) {
  const std::int64_t ms_of_day = (static_cast<std::int64_t>(ticks) * 10 + 1) / 3;
  return (days - kDays1900To1970) * kMsPerDay + ms_of_day;
}

std::int64_t from_datetime2(std::uint32_t days, std::uint64_t units, std::uint8_t scale) {
  std::int64_t pow10 = 1;
  for (int i = 0; i < scale; ++i) pow10 *= 10;
  // units * 1000 / 10^scale, rounded; units < 10^12 so nothing overflows.
  const auto u = static_cast<std::int64_t>(units);
  const std::int64_t ms_of_day = scale <= 3 ? u * (1000 / pow10) : (u * 1000 + pow10 / 2) / pow10;
  return (static_cast<std::int64_t>(days) - kDays0001To1970) * kMsPerDay + ms_of_day;
}

}  // namespace sandbox::tds
