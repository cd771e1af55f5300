#include "tds/cp949.h"

#include "platform/code_page.h"

namespace sandbox::tds {

std::vector<std::uint8_t> utf16_to_cp949(std::u16string_view text) {
  return code_page::utf16_to_cp949(text);
}

std::u16string cp949_to_utf16(std::span<const std::uint8_t> bytes) {
  return code_page::cp949_to_utf16(bytes);
}

std::u16string latin1_to_utf16(std::span<const std::uint8_t> bytes) {
  return {bytes.begin(), bytes.end()};
}

}  // namespace sandbox::tds
