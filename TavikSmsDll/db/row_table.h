// RowTable: the rows of a client-side recordset, stored compactly. A recordset can hold hundreds
// of thousands of rows, and a string object per cell costs several times the data it holds, so
// each row is one run of bytes in large blocks: per cell a length-and-tag varint, then texts as
// one byte per character when every character fits in one (two otherwise, UTF-16 code units kept
// as they are, so any sequence round-trips) and integers as a zig-zag varint. Values are
// rebuilt when read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/value.h"

namespace taviksms::db {

class RowTable {
 public:
  // `kinds` is each column's kind for a non-Null, non-integer cell: text, decimal, floating or
  // datetime.
  void set_columns(std::vector<std::u16string> names, std::vector<Value::Kind> kinds);
  const std::vector<std::u16string>& columns() const { return names_; }
  std::size_t column_count() const { return names_.size(); }
  std::size_t row_count() const { return rows_.size(); }

  // One row is added cell by cell, in column order, and ends with end_row().
  void add_null();
  void add_integer(std::int64_t v);
  void add_text(std::u16string_view s);
  void end_row();

  // The start of row r's cells and, for each column, the offset of its cell from that start.
  void locate(std::size_t r, std::vector<std::uint32_t>& cell_offsets) const;
  // Row r's cell c (whose offset locate() gave) into `out`, reusing its storage.
  void read(std::size_t r, std::size_t c, std::uint32_t cell_offset, Value& out) const;
  // Row r's cell c, for occasional reads.
  Value value(std::size_t r, std::size_t c) const;

  void clear();

 private:
  static constexpr std::size_t kBlockSize = std::size_t{1} << 20;

  std::vector<std::u16string> names_;
  std::vector<Value::Kind> kinds_;
  std::vector<std::unique_ptr<unsigned char[]>> blocks_;
  std::size_t block_used_ = 0, block_size_ = 0;  // of blocks_.back()
  std::vector<const unsigned char*> rows_;       // each row's first byte; blocks never move
  std::string pending_;                          // the row being added
  std::size_t pending_cells_ = 0;
};

}  // namespace taviksms::db
