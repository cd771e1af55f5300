// The nearest of a list of names to a mistyped one, for "SmsJanke: no such method; did you mean
// SmsJanek?". Needs no method table, so the shell of every platform uses it.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace taviksms::shell {

// Edit distance (insert, delete, replace, swap of neighbours), ignoring ASCII case.
std::size_t edit_distance(std::string_view a, std::string_view b);

// The name of `names` nearest to `name`; empty when none is near enough to be a typo.
std::string_view nearest_name(std::string_view name, std::span<const std::string_view> names);

// "NAME: no such method; did you mean NEAREST?" (without a suggestion when none is near; a
// name over 64 bytes is cut there).
std::string unknown_name_text(std::string_view name, std::span<const std::string_view> names);

}  // namespace taviksms::shell
