// Login, Logout and SmsJanek: the service session and the balance.
#pragma once

#include <cstdint>
#include <string>

namespace taviksms::core {

inline constexpr std::int32_t kJanekFailure = -12345678;

std::u16string login(const std::u16string& user_id, const std::u16string& passwd);
std::u16string logout();
std::int32_t sms_janek();

}  // namespace taviksms::core
