// The compact row storage of client-side recordsets: what goes in comes back, kind and all.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "db/row_table.h"

namespace {

using taviksms::db::RowTable;
using taviksms::db::Value;
using Kind = Value::Kind;

// Every cell of row r, read back through one reused Value per column the way a recordset does.
std::vector<Value> read_row(const RowTable& t, std::size_t r, std::vector<Value>& reuse) {
  std::vector<std::uint32_t> cells;
  t.locate(r, cells);
  reuse.resize(t.column_count());
  for (std::size_t c = 0; c < t.column_count(); ++c) t.read(r, c, cells[c], reuse[c]);
  return reuse;
}

TEST(RowTable, CellsComeBackWithTheirKindAndText) {
  RowTable t;
  t.set_columns(
      {u"n", u"a", u"b", u"money", u"when", u"f"},
      {Kind::text, Kind::text, Kind::text, Kind::decimal, Kind::datetime, Kind::floating});
  const std::u16string with_nul(u"a\0b\0", 4);
  const std::u16string lone = u"x\xD800y\xDC00\xDFFFz\xD83D";  // unpaired surrogates
  const std::u16string pair = u"\xD83D\xDE00";
  // Row 0: Null next to empty text, and the edges of the one-byte form.
  t.add_null();
  t.add_text(u"");
  t.add_text(u"\x00FF\x0080 \x0001");
  t.add_text(u"12.5000");
  t.add_text(u"2024-03-02 10:20:30.500");
  t.add_text(u"-1.5E-3");
  t.end_row();
  // Row 1: texts that need two bytes a character, NUL inside, integers at their limits.
  t.add_integer(std::numeric_limits<std::int64_t>::min());
  t.add_text(with_nul);
  t.add_text(lone);
  t.add_integer(std::numeric_limits<std::int64_t>::max());
  t.add_text(pair + u"\x0100");
  t.add_integer(-1);
  t.end_row();
  ASSERT_EQ(t.row_count(), 2u);

  std::vector<Value> reuse;
  std::vector<Value> r0 = read_row(t, 0, reuse);
  EXPECT_TRUE(r0[0].is_null());
  EXPECT_EQ(r0[1].kind(), Kind::text);
  EXPECT_EQ(r0[1].raw_text(), u"");
  EXPECT_EQ(r0[2].raw_text(), u"\x00FF\x0080 \x0001");
  EXPECT_EQ(r0[3].kind(), Kind::decimal);
  EXPECT_EQ(r0[3].raw_text(), u"12.5000");
  EXPECT_EQ(r0[4].kind(), Kind::datetime);
  EXPECT_EQ(r0[5].kind(), Kind::floating);
  EXPECT_EQ(r0[5].raw_text(), u"-1.5E-3");

  // Read into the same Values: nothing of row 0 may remain.
  std::vector<Value> r1 = read_row(t, 1, reuse);
  EXPECT_EQ(r1[0].kind(), Kind::integer);
  EXPECT_EQ(r1[0].raw_integer(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(r1[1].raw_text(), with_nul);
  EXPECT_EQ(r1[1].raw_text().size(), 4u);
  EXPECT_EQ(r1[2].raw_text(), lone);
  EXPECT_EQ(r1[3].kind(), Kind::integer);
  EXPECT_EQ(r1[3].raw_integer(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(r1[4].raw_text(), pair + u"\x0100");
  EXPECT_EQ(r1[5].raw_integer(), -1);
  EXPECT_EQ(r1[5].raw_text(), u"");

  // And back again after the wider row.
  r0 = read_row(t, 0, reuse);
  EXPECT_EQ(r0[2].raw_text(), u"\x00FF\x0080 \x0001");
  EXPECT_TRUE(r0[0].is_null());
  EXPECT_EQ(t.value(1, 2).raw_text(), lone);
}

TEST(RowTable, LongTextsManyColumnsAndManyRowsSurvive) {
  // A text larger than a storage block in each form, between ordinary rows.
  std::u16string narrow_long(1'500'000, u'x');
  narrow_long[700'000] = u'\xE9';
  std::u16string wide_long(700'000, u'\xAC00');
  wide_long.back() = u'\xD800';
  constexpr std::size_t kCols = 400;
  std::vector<std::u16string> names;
  for (std::size_t c = 0; c < kCols; ++c) names.push_back(u"c" + std::u16string(c % 7 + 1, u'z'));
  RowTable t;
  t.set_columns(names, std::vector<Kind>(kCols, Kind::text));
  constexpr std::size_t kRows = 3000;
  for (std::size_t r = 0; r < kRows; ++r) {
    for (std::size_t c = 0; c < kCols; ++c) {
      if (r == 1000 && c == 5) {
        t.add_text(narrow_long);
      } else if (r == 2000 && c == kCols - 1) {
        t.add_text(wide_long);
      } else if ((r + c) % 3 == 0) {
        t.add_integer(static_cast<std::int64_t>(r * kCols + c) - 500'000);
      } else if ((r + c) % 3 == 1) {
        t.add_null();
      } else {
        t.add_text(std::u16string(c % 200, static_cast<char16_t>(u'a' + r % 26)));
      }
    }
    t.end_row();
  }
  ASSERT_EQ(t.row_count(), kRows);
  std::vector<Value> reuse;
  for (std::size_t r = 0; r < kRows; r += 97) {
    std::vector<Value> row = read_row(t, r, reuse);
    for (std::size_t c = 0; c < kCols; ++c) {
      SCOPED_TRACE(testing::Message() << "row " << r << " column " << c);
      if ((r + c) % 3 == 0) {
        EXPECT_EQ(row[c].raw_integer(), static_cast<std::int64_t>(r * kCols + c) - 500'000);
      } else if ((r + c) % 3 == 1) {
        EXPECT_TRUE(row[c].is_null());
      } else {
        EXPECT_EQ(row[c].raw_text(), std::u16string(c % 200, static_cast<char16_t>(u'a' + r % 26)));
      }
    }
  }
  EXPECT_EQ(t.value(1000, 5).raw_text(), narrow_long);
  EXPECT_EQ(t.value(2000, kCols - 1).raw_text(), wide_long);
}

TEST(RowTable, AShortRowReadsAsNullAndColumnsResetTheTable) {
  RowTable t;
  t.set_columns({u"a", u"b", u"c"}, {Kind::text, Kind::text, Kind::text});
  t.add_text(u"only");
  t.end_row();
  EXPECT_EQ(t.value(0, 0).raw_text(), u"only");
  EXPECT_TRUE(t.value(0, 1).is_null());
  EXPECT_TRUE(t.value(0, 2).is_null());
  t.set_columns({u"x"}, {Kind::decimal});
  EXPECT_EQ(t.row_count(), 0u);
  t.add_text(u"1.0");
  t.end_row();
  EXPECT_EQ(t.value(0, 0).kind(), Kind::decimal);
}

}  // namespace
