// The mirror list: the build's, or the override a user set once it has been checked.
#include "base/platform/downloads.h"

#include "base/text.h"
#include "base/trace.h"
#include "build_config.h"

namespace taviksms::platform {

std::vector<std::u16string> built_in_mirror_bases() {
  std::vector<std::u16string> out;
  std::u16string all = core::utf8_to_utf16(TAVIKSMS_MIRRORS);
  std::size_t start = 0;
  while (start <= all.size()) {
    std::size_t end = all.find(u';', start);
    if (end == std::u16string::npos) end = all.size();
    if (end > start) out.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

MirrorOverride parse_mirror_override(std::string_view value, std::string source) {
  MirrorOverride o;
  o.source = std::move(source);
  constexpr std::size_t kShown = 120;
  o.shown =
      value.size() > kShown ? std::string(value.substr(0, kShown)) + "..." : std::string(value);
  for (char& c : o.shown) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  auto refuse = [&](std::string why) {
    o.bases.clear();
    o.problem = std::move(why);
    return o;
  };
  if (value.size() > kMirrorOverrideMaxLength) {
    return refuse("longer than " + std::to_string(kMirrorOverrideMaxLength) + " bytes (" +
                  std::to_string(value.size()) + ")");
  }
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t start = 0;
  while (start <= value.size()) {
    std::size_t end = value.find(';', start);
    if (end == std::string_view::npos) end = value.size();
    std::string_view base = value.substr(start, end - start);
    start = end + 1;
    // Blanks around an entry are trimmed; "a;b;" and "a;;b" name the same list.
    while (!base.empty() && blank(base.front())) base.remove_prefix(1);
    while (!base.empty() && blank(base.back())) base.remove_suffix(1);
    if (base.empty()) continue;
    if (o.bases.size() == 3) return refuse("more than three addresses");
    const std::string lower = ascii::lowered(base);
    std::size_t scheme = lower.rfind("http://", 0) == 0    ? 7
                         : lower.rfind("https://", 0) == 0 ? 8
                                                           : 0;
    if (scheme == 0) {
      return refuse("\"" + std::string(base) + "\" does not start with http:// or https://");
    }
    for (char c : base) {
      const auto u = static_cast<unsigned char>(c);
      if (u <= 0x20 || u >= 0x7F || c == '"' || c == '?' || c == '#' || c == '\\') {
        return refuse("\"" + std::string(base) + "\" holds a blank, control or reserved character");
      }
    }
    std::string_view rest = base.substr(scheme);
    std::string_view authority = rest.substr(0, rest.find('/'));
    std::string_view host = authority;
    if (!host.empty() && host.front() == '[') {
      std::size_t close = host.find(']');
      if (close == std::string_view::npos)
        return refuse("\"" + std::string(base) + "\": bad IPv6 host");
      std::string_view after = host.substr(close + 1);
      host = host.substr(0, close + 1);
      if (!after.empty() && after.front() != ':')
        return refuse("\"" + std::string(base) + "\": bad port");
      authority = after;
    } else {
      std::size_t colon = host.find(':');
      authority = colon == std::string_view::npos ? std::string_view() : host.substr(colon);
      host = host.substr(0, colon);
    }
    if (host.empty() || host.find('@') != std::string_view::npos) {
      return refuse("\"" + std::string(base) + "\" names no host");
    }
    if (!authority.empty() && !core::parse_port(authority.substr(1))) {  // ":port"
      return refuse("\"" + std::string(base) + "\": bad port");
    }
    std::string kept(base);
    while (kept.size() > scheme && kept.back() == '/') kept.pop_back();
    o.bases.push_back(core::utf8_to_utf16(kept));
  }
  if (o.bases.empty()) return refuse("no address");
  return o;
}

std::vector<std::u16string> Downloads::mirror_bases() const {
  MirrorOverride o = mirror_override();
  if (!o.source.empty()) {
    if (o.problem.empty()) {
      if (trace::enabled())
        trace::emit("mirrors", "override from " + o.source + ": " + trace::quote(o.shown));
      return o.bases;
    }
    // A setting meant for development or CI that cannot be used must not reach the service
    // the build names: no mirror at all.
    if (trace::enabled()) {
      trace::emit("mirrors",
                  "override from " + o.source + " refused (" + o.problem + "); no mirror is asked");
    }
    return {};
  }
  return built_in_mirror_bases();
}

}  // namespace taviksms::platform
