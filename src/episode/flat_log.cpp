// Grouping a log's rows by episode id and step, and cutting a log into
// episodes at its flags.
#include "episode/flat_log.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <tuple>

#include "support/byte_swap.h"

namespace tarnel {

namespace {

bool is_signed(ElementType type) { return type >= ElementType::int8 && type <= ElementType::int64; }

std::uint64_t sign_bit(ElementType type) { return std::uint64_t{1} << (8 * size_of(type) - 1); }

// The ends of the episodes of rows whose ids, in the rows' order, are
// id(0) .. id(rows - 1): a new episode wherever the id changes.
template <typename Id>
std::vector<std::uint64_t> ends_of(Id id, std::uint64_t rows) {
  std::vector<std::uint64_t> ends;
  for (std::uint64_t k = 1; k < rows; ++k) {
    if (id(k) != id(k - 1)) ends.push_back(k);
  }
  if (rows > 0) ends.push_back(rows);
  return ends;
}

}  // namespace

std::uint64_t element_bits(const TableColumn& column, std::uint64_t k) {
  const std::size_t size = size_of(column.type);
  // Every machine this module builds for is little-endian: the element's
  // bytes are the low ones; swapped, they come out at the top.
  std::uint64_t bits = 0;
  std::memcpy(&bits, column.data + static_cast<std::int64_t>(k) * column.stride, size);
  return column.swapped ? byte_swapped(bits) >> (64 - 8 * size) : bits;
}

std::uint64_t order_key(const TableColumn& column, std::uint64_t k) {
  const std::uint64_t bits = element_bits(column, k);
  if (!is_signed(column.type)) return bits;
  // Sign-extended to 64 bits (modulo 2^64), then offset so that the most
  // negative value comes first.
  const std::uint64_t sign = sign_bit(column.type);
  return ((bits ^ sign) - sign) ^ (std::uint64_t{1} << 63);
}

bool flag_set(const TableColumn& column, std::uint64_t k) {
  const std::uint64_t bits = element_bits(column, k);
  return (column.type >= ElementType::float16 ? bits & ~sign_bit(column.type) : bits) != 0;
}

Grouping group_by_id(const TableColumn& ids, const TableColumn* steps, std::uint64_t rows) {
  const auto id = [&](std::uint64_t k) { return order_key(ids, k); };
  bool in_order = true;
  for (std::uint64_t k = 1; k < rows && in_order; ++k) {
    const std::uint64_t now = id(k);
    const std::uint64_t before = id(k - 1);
    in_order = now > before ||
               (now == before && (steps == nullptr || order_key(*steps, k) > order_key(*steps, k - 1)));
  }
  Grouping out;
  if (in_order) {
    out.ends = ends_of(id, rows);
    return out;
  }
  // Sorting (id, step, row) keeps the rows of one id and step in column
  // order, as a stable sort would, at the speed of a plain one.
  struct Entry {
    std::uint64_t id;
    std::uint64_t step;
    std::uint64_t row;
  };
  std::vector<Entry> entries(rows);
  for (std::uint64_t k = 0; k < rows; ++k) entries[k] = {id(k), steps ? order_key(*steps, k) : 0, k};
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return std::tie(a.id, a.step, a.row) < std::tie(b.id, b.step, b.row);
  });
  out.ends = ends_of([&](std::uint64_t k) { return entries[k].id; }, rows);
  out.order.resize(rows);
  for (std::uint64_t k = 0; k < rows; ++k) out.order[k] = entries[k].row;
  return out;
}

FlagCut cut_at_flags(const TableColumn& terminals, const TableColumn* timeouts, std::uint64_t rows,
                     bool next_stored) {
  FlagCut out;
  std::uint64_t kept = 0;           // rows kept so far
  std::uint64_t episode_start = 0;  // the kept rows before the current episode
  for (std::uint64_t k = 0; k < rows; ++k) {
    const bool terminal = flag_set(terminals, k);
    const bool ends = terminal || k + 1 == rows || (timeouts != nullptr && flag_set(*timeouts, k));
    if (next_stored || terminal || !ends) {
      if (out.left_out > 0) out.kept.push_back(k);
      if (!next_stored) {
        out.next_rows.push_back(ends ? k : k + 1);
        if (ends) out.unread.push_back(kept);
      }
      ++kept;
    } else if (out.left_out++ == 0) {
      // The first row left out: every row before it was kept.
      out.kept.resize(k);
      std::iota(out.kept.begin(), out.kept.end(), std::uint64_t{0});
    }
    // An episode whose one row was left out leaves no episode behind.
    if (ends && kept > episode_start) {
      out.ends.push_back(kept);
      episode_start = kept;
    }
  }
  return out;
}

}  // namespace tarnel
