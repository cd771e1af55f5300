#include "db/row_table.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace taviksms::db {

namespace {

// Cell tags, in the low two bits of the cell's first varint; the rest is the length in
// characters of a text.
constexpr std::uint64_t kNull = 0, kNarrow = 1, kWide = 2, kInteger = 3;

void put_varint(std::string& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>(static_cast<unsigned char>(v) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

std::uint64_t get_varint(const unsigned char*& p) {
  std::uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    const unsigned char b = *p++;
    v |= static_cast<std::uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) return v;
  }
}

// The bytes a cell takes after its tag varint.
std::size_t payload_size(std::uint64_t tag, const unsigned char* p) {
  switch (tag & 3) {
    case kNarrow:
      return static_cast<std::size_t>(tag >> 2);
    case kWide:
      return static_cast<std::size_t>(tag >> 2) * sizeof(char16_t);
    case kInteger: {
      const unsigned char* q = p;
      get_varint(q);
      return static_cast<std::size_t>(q - p);
    }
    default:
      return 0;
  }
}

}  // namespace

void RowTable::set_columns(std::vector<std::u16string> names, std::vector<Value::Kind> kinds) {
  clear();
  names_ = std::move(names);
  kinds_ = std::move(kinds);
  kinds_.resize(names_.size(), Value::Kind::text);
}

void RowTable::add_null() {
  put_varint(pending_, kNull);
  ++pending_cells_;
}

void RowTable::add_integer(std::int64_t v) {
  put_varint(pending_, kInteger);
  const std::uint64_t u = static_cast<std::uint64_t>(v);
  put_varint(pending_, (u << 1) ^ (v < 0 ? ~std::uint64_t{0} : 0));
  ++pending_cells_;
}

void RowTable::add_text(std::u16string_view s) {
  const bool narrow = std::all_of(s.begin(), s.end(), [](char16_t c) { return c < 0x100; });
  put_varint(pending_, (static_cast<std::uint64_t>(s.size()) << 2) | (narrow ? kNarrow : kWide));
  if (narrow) {
    const std::size_t at = pending_.size();
    pending_.resize(at + s.size());
    char* out = pending_.data() + at;
    for (char16_t c : s) *out++ = static_cast<char>(static_cast<unsigned char>(c));
  } else {
    pending_.append(reinterpret_cast<const char*>(s.data()), s.size() * sizeof(char16_t));
  }
  ++pending_cells_;
}

void RowTable::end_row() {
  // A short row gets Null cells, so that every row can be read at every column.
  while (pending_cells_ < names_.size()) add_null();
  // Cell offsets are 32-bit (halved so that a 32-bit size_t compares without warning).
  if (pending_.size() / 2 > std::numeric_limits<std::uint32_t>::max() / 2) {
    pending_.clear();
    pending_cells_ = 0;
    throw std::length_error("row too large");
  }
  const std::size_t need = std::max<std::size_t>(pending_.size(), 1);
  if (blocks_.empty() || block_size_ - block_used_ < need) {
    // Left uninitialised: pages never written are never made resident.
    block_size_ = std::max(kBlockSize, need);
    blocks_.push_back(std::unique_ptr<unsigned char[]>(new unsigned char[block_size_]));
    block_used_ = 0;
  }
  unsigned char* at = blocks_.back().get() + block_used_;
  std::memcpy(at, pending_.data(), pending_.size());
  block_used_ += need;
  rows_.push_back(at);
  pending_.clear();
  pending_cells_ = 0;
}

void RowTable::locate(std::size_t r, std::vector<std::uint32_t>& cell_offsets) const {
  cell_offsets.resize(names_.size());
  const unsigned char* const start = rows_.at(r);
  const unsigned char* p = start;
  for (std::size_t c = 0; c < names_.size(); ++c) {
    cell_offsets[c] = static_cast<std::uint32_t>(p - start);
    const std::uint64_t tag = get_varint(p);
    p += payload_size(tag, p);
  }
}

void RowTable::read(std::size_t r, std::size_t c, std::uint32_t cell_offset, Value& out) const {
  const unsigned char* p = rows_.at(r) + cell_offset;
  const std::uint64_t tag = get_varint(p);
  const std::size_t n = static_cast<std::size_t>(tag >> 2);
  switch (tag & 3) {
    case kNull:
      out.assign_null();
      return;
    case kInteger: {
      const std::uint64_t u = get_varint(p);
      out.assign_integer(static_cast<std::int64_t>((u >> 1) ^ (~(u & 1) + 1)));
      return;
    }
    case kNarrow: {
      std::u16string& s = out.assign_text(kinds_.at(c));
      s.resize(n);
      for (std::size_t i = 0; i < n; ++i) s[i] = p[i];
      return;
    }
    default: {
      std::u16string& s = out.assign_text(kinds_.at(c));
      s.resize(n);
      std::memcpy(s.data(), p, n * sizeof(char16_t));
      return;
    }
  }
}

Value RowTable::value(std::size_t r, std::size_t c) const {
  std::vector<std::uint32_t> offsets;
  locate(r, offsets);
  Value v;
  read(r, c, offsets.at(c), v);
  return v;
}

void RowTable::clear() {
  names_.clear();
  kinds_.clear();
  blocks_.clear();
  block_used_ = block_size_ = 0;
  rows_.clear();
  rows_.shrink_to_fit();
  pending_.clear();
  pending_cells_ = 0;
}

}  // namespace taviksms::db
