// The run-time error of the component: what a method's error handler catches and whose
// description it returns, or what escapes a method without a handler as a failed call.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace taviksms::core {

// Error numbers as the automation runtime reports them (HRESULT values as signed 32-bit).
namespace err {
inline constexpr std::int32_t kProvider = static_cast<std::int32_t>(0x80040E14u);  // provider error
inline constexpr std::int32_t kOutOfMemory = static_cast<std::int32_t>(0x8007000Eu);
inline constexpr std::int32_t kUnknownName = static_cast<std::int32_t>(0x80020006u);
inline constexpr std::int32_t kBadParamCount = static_cast<std::int32_t>(0x8002000Eu);
inline constexpr std::int32_t kTypeMismatchDisp = static_cast<std::int32_t>(0x80020005u);
inline constexpr std::int32_t kWrongThread = static_cast<std::int32_t>(0x8001010Eu);
inline constexpr std::int32_t kUnexpected = static_cast<std::int32_t>(0x8000FFFFu);
// Runtime errors ("Overflow", "Type mismatch", ...) reported as FACILITY_CONTROL HRESULTs.
constexpr std::int32_t runtime(std::int32_t n) {
  return static_cast<std::int32_t>(0x800A0000u | static_cast<std::uint32_t>(n));
}
inline constexpr std::int32_t kOverflow = runtime(6);
inline constexpr std::int32_t kTypeMismatch = runtime(13);
inline constexpr std::int32_t kObjectNotSet = runtime(91);
inline constexpr std::int32_t kInvalidUseOfNull = runtime(94);
inline constexpr std::int32_t kItemNotFound = runtime(3265);  // data-access collection lookup
inline constexpr std::int32_t kObjectClosed = runtime(3704);
inline constexpr std::int32_t kConnectionClosed = runtime(3709);
}  // namespace err

class Error : public std::runtime_error {
 public:
  Error(std::int32_t number, std::u16string source, std::u16string description)
      : std::runtime_error("taviksms run-time error"),
        number_(number),
        source_(std::move(source)),
        description_(std::move(description)) {}

  std::int32_t number() const { return number_; }
  const std::u16string& source() const { return source_; }
  const std::u16string& description() const { return description_; }

 private:
  std::int32_t number_;
  std::u16string source_;
  std::u16string description_;
};

// The runtime's own errors, with its English descriptions.
[[noreturn]] void raise_overflow();
[[noreturn]] void raise_type_mismatch();
[[noreturn]] void raise_invalid_use_of_null();
[[noreturn]] void raise_object_not_set();
// Data-access errors (source "ADODB.*").
[[noreturn]] void raise_item_not_found(std::u16string source);
[[noreturn]] void raise_object_closed(std::u16string source);
[[noreturn]] void raise_connection_closed(std::u16string source);
// A database provider's error, carrying the server's message; an empty message, or "OK", becomes
// "Unspecified error".
[[noreturn]] void raise_provider(std::u16string description);
// A file error of the runtime with its number (52, 55, 57, 61, 70, 75, 76, ...) and its text.
[[noreturn]] void raise_file_error(std::int32_t number);
// The runtime's error for a file opened for output by the name a user chose (the history
// window's save), from the C library's errno: 70 Permission denied, 76 Path not found, 61 Disk
// full, 67 Too many files, 75 Path/File access error for anything else (a folder's name, a pipe
// nobody reads).
[[noreturn]] void raise_save_error(int errno_value);

}  // namespace taviksms::core
