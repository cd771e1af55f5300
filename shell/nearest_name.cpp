#include "nearest_name.h"

#include <algorithm>
#include <vector>

namespace taviksms::shell {

namespace {

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

}  // namespace

std::size_t edit_distance(std::string_view a, std::string_view b) {
  // Damerau-Levenshtein (optimal string alignment), three rows.
  std::vector<std::size_t> prev2(b.size() + 1), prev(b.size() + 1), cur(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const bool same = lower(a[i - 1]) == lower(b[j - 1]);
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
          lower(a[i - 2]) == lower(b[j - 1])) {
        cur[j] = std::min(cur[j], prev2[j - 2] + 1);
      }
    }
    std::swap(prev2, prev);
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

std::string_view nearest_name(std::string_view name, std::span<const std::string_view> names) {
  // Long lines are no one's typo; comparing them would only cost time.
  if (name.empty() || name.size() > 64) return {};
  std::string_view best;
  std::size_t best_distance = 0;
  for (std::string_view n : names) {
    const std::size_t d = edit_distance(name, n);
    if (best.empty() || d < best_distance) {
      best = n;
      best_distance = d;
    }
  }
  // About a third of the name may be wrong; beyond that a suggestion is a guess.
  const std::size_t allowed = std::max<std::size_t>(1, name.size() / 3);
  return best_distance <= allowed ? best : std::string_view();
}

std::string unknown_name_text(std::string_view name, std::span<const std::string_view> names) {
  // A whole pasted paragraph is not repeated back; the cut keeps whole UTF-8 characters.
  std::size_t keep = name.size();
  if (keep > 64) {
    keep = 64;
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  }
  std::string out(name.substr(0, keep));
  if (keep < name.size()) out += "...";
  out += ": no such method";
  const std::string_view best = nearest_name(name, names);
  if (!best.empty()) out += "; did you mean " + std::string(best) + "?";
  return out;
}

}  // namespace taviksms::shell
