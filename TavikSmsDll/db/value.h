// Value: what a parameter or a field holds, with the conversions the methods apply to it
// (text and 32-bit integer, the way the automation runtime converts).
#pragma once

#include <cstdint>
#include <string>

namespace taviksms::db {

class Value {
 public:
  enum class Kind : std::uint8_t {
    empty,     // never assigned
    null,      // database NULL
    integer,   // exact integer (int, smallint, bigint, bit)
    decimal,   // exact decimal number kept as its text ("100000.0000"): money, decimal, numeric
    floating,  // approximate number kept as its text
    datetime,  // date and time kept as the driver's text "YYYY-MM-DD HH:MM:SS[.fff]"
    text,
  };

  Value() = default;
  static Value null() { return Value(Kind::null, 0, {}); }
  static Value integer(std::int64_t v) { return Value(Kind::integer, v, {}); }
  static Value text(std::u16string s) { return Value(Kind::text, 0, std::move(s)); }
  static Value decimal(std::u16string digits) { return Value(Kind::decimal, 0, std::move(digits)); }
  static Value floating(std::u16string digits) {
    return Value(Kind::floating, 0, std::move(digits));
  }
  static Value datetime(std::u16string s) { return Value(Kind::datetime, 0, std::move(s)); }

  // In-place forms of the above that keep the text's storage, for values rewritten per row.
  void assign_null() { assign(Kind::null, 0); }
  void assign_integer(std::int64_t v) { assign(Kind::integer, v); }
  // Makes this a value of kind `k` with an empty text, returned for the caller to fill.
  std::u16string& assign_text(Kind k) {
    assign(k, 0);
    return s_;
  }

  Kind kind() const { return kind_; }
  bool is_null() const { return kind_ == Kind::null; }
  std::int64_t raw_integer() const { return i_; }
  const std::u16string& raw_text() const { return s_; }

  // Conversion to text: NULL raises "Invalid use of Null" (94); numbers lose trailing zeros.
  std::u16string to_text() const;
  // Conversion to a 32-bit integer: fractions round to nearest, halves to even; NULL raises 94,
  // out of range raises "Overflow" (6), non-numeric text raises "Type mismatch" (13).
  std::int32_t to_int32() const;

 private:
  Value(Kind k, std::int64_t i, std::u16string s) : kind_(k), i_(i), s_(std::move(s)) {}
  void assign(Kind k, std::int64_t i) {
    kind_ = k;
    i_ = i;
    s_.clear();
  }
  Kind kind_ = Kind::empty;
  std::int64_t i_ = 0;
  std::u16string s_;
};

// Rounds a decimal number given as text ("-12.5", "3", " 7.50 ", "1e3") to the nearest integer,
// halves to even. Returns false when the text is not a number or the result is outside int32.
// `overflow` tells the two failures apart.
bool round_half_even_to_int32(std::u16string_view text, std::int32_t& out, bool& overflow);

}  // namespace taviksms::db
