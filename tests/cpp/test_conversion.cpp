// The conversion of episode arrays into compact records against a plain
// reference written here, one row at a time: every record bit for bit, which
// episodes hold a rejected record, and every rejected transition kept, with
// its place and its values as recorded, in order. The arrays come in every
// layout (rows streamed a block at a time, or read one cell at a time), with
// every kind of index the rules must reject or read specially, at every
// position of a block and with every length of the last block, for every row
// a rule reads and both index widths.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "episode/compact.h"
#include "episode/episode.h"

using namespace tarnel;

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double two_to_63 = 9223372036854775808.0;
constexpr double two_to_64 = 18446744073709551616.0;
constexpr std::uint64_t max_index = std::numeric_limits<std::uint64_t>::max();

using Row = std::array<double, 5>;

// The index a cell reads as, written from its description: truncated toward
// zero, NaN and negatives 0, 2^64 and above 2^64 - 1.
std::uint64_t reference_index(double value) {
  if (std::isnan(value) || value <= 0.0) return 0;
  if (value >= two_to_64) return max_index;
  return static_cast<std::uint64_t>(value);
}

template <typename Index>
struct Expected {
  std::vector<CompactTransition<Index>> records;
  std::vector<bool> has_rejected;  // per episode
  struct Kept {
    std::uint64_t episode, row;
    Row values;
  };
  std::vector<Kept> rejected;
};

// What each row of each episode must become.
template <typename Index>
Expected<Index> reference(const std::vector<std::vector<Row>>& episodes, std::uint64_t states,
                          std::uint64_t actions, RowRead reads) {
  using Record = CompactTransition<Index>;
  Expected<Index> e;
  for (std::uint64_t k = 0; k < episodes.size(); ++k) {
    bool any = false;
    for (std::uint64_t i = 0; i < episodes[k].size(); ++i) {
      const Row& r = episodes[k][i];
      const std::uint64_t s = reference_index(r[0]), a = reference_index(r[1]), n = reference_index(r[3]);
      const bool done = r[4] == 1.0;
      if (reads == RowRead::none && i + 1 == episodes[k].size()) {
        e.records.push_back({0, Record::terminal, r[2]});
        continue;
      }
      bool valid = s < states && a < actions;
      Index row = Record::terminal;
      if (reads == RowRead::next_state && !done) {
        valid = valid && n < states;
        row = static_cast<Index>(n);
      }
      if (reads == RowRead::own_state && !done) row = static_cast<Index>(s);
      if (valid) {
        e.records.push_back({static_cast<Index>(s + a * states), row, r[2]});
      } else {
        e.records.push_back({Record::rejected, static_cast<Index>(e.rejected.size()), r[2]});
        e.rejected.push_back({k, i, r});
        any = true;
      }
    }
    e.has_rejected.push_back(any);
  }
  return e;
}

// How the rows of an array lie in memory. Only the last two are read one
// cell at a time; the others are streamed.
enum class Layout {
  c_order,
  seven_columns,
  every_other_row,
  reversed,
  unaligned,
  fortran,
  fortran_unaligned
};
constexpr Layout layouts[] = {Layout::c_order,          Layout::seven_columns, Layout::every_other_row,
                              Layout::reversed,         Layout::unaligned,     Layout::fortran,
                              Layout::fortran_unaligned};

// An episode array laid out as `layout` says, in a buffer of its own (cells
// outside the array hold NaN, which nothing may read).
struct LaidOut {
  std::vector<std::byte> bytes;
  ArrayView view;

  LaidOut(const std::vector<Row>& rows, Layout layout) {
    const std::uint64_t n = rows.size();
    const bool misaligned = layout == Layout::unaligned || layout == Layout::fortran_unaligned;
    const std::int64_t columns = layout == Layout::seven_columns ? 7 : 5;
    const std::int64_t spacing = layout == Layout::every_other_row ? 2 : 1;
    const std::size_t cells = (n == 0 ? 1 : n) * static_cast<std::size_t>(spacing * columns);
    const std::size_t offset = misaligned ? 3 : 0;
    bytes.resize(offset + cells * sizeof(double));
    for (std::size_t c = 0; c < cells; ++c)
      std::memcpy(bytes.data() + offset + c * sizeof(double), &nan, sizeof nan);
    const std::byte* base = bytes.data() + offset;
    std::int64_t row_stride = columns * spacing * 8;
    std::int64_t column_stride = 8;
    const bool fortran = layout == Layout::fortran || layout == Layout::fortran_unaligned;
    if (fortran) {
      row_stride = 8;
      column_stride = static_cast<std::int64_t>(n) * 8;
    }
    const std::byte* first = base;
    if (layout == Layout::reversed && n > 0) {
      first = base + static_cast<std::int64_t>(n - 1) * row_stride;
      row_stride = -row_stride;
    }
    view = {first, n, static_cast<std::uint64_t>(columns), row_stride, column_stride};
    for (std::uint64_t i = 0; i < n; ++i) {
      for (std::int64_t j = 0; j < 5; ++j) {
        std::byte* cell =
            const_cast<std::byte*>(first) + static_cast<std::int64_t>(i) * row_stride + j * column_stride;
        std::memcpy(cell, &rows[i][static_cast<std::size_t>(j)], sizeof(double));
      }
    }
  }
};

std::string name_of(Layout layout) {
  const char* names[] = {"C order",   "seven columns", "every other row",         "reversed",
                         "unaligned", "Fortran order", "Fortran order, unaligned"};
  return names[static_cast<int>(layout)];
}

std::string name_of(RowRead reads) {
  return reads == RowRead::next_state ? "next state" : reads == RowRead::own_state ? "own state" : "none";
}

struct Table {
  std::uint64_t states, actions;
};

// Converts `episodes` laid out as `layout` and checks everything against the
// reference; `what` names the case in a failure.
template <typename Index>
void check_conversion(const std::vector<std::vector<Row>>& episodes, Table table, RowRead reads,
                      Layout layout, const std::string& what) {
  std::vector<LaidOut> arrays;
  arrays.reserve(episodes.size());
  std::vector<ArrayView> views;
  for (const auto& rows : episodes) views.push_back(arrays.emplace_back(rows, layout).view);
  std::vector<std::size_t> built;
  const CompactEpisodes<Index> list = compact_episodes_as<Index>(views, table.states, table.actions, reads,
                                                                 [&](std::size_t k) { built.push_back(k); });
  const Expected<Index> expected = reference<Index>(episodes, table.states, table.actions, reads);
  const std::string context = what + ", " + name_of(layout) + ", " + name_of(reads) + ", " +
                              std::to_string(sizeof(Index) * 8) + "-bit indexes";
  bool same = list.size() == episodes.size() && built.size() == episodes.size();
  for (std::size_t k = 0; same && k < built.size(); ++k) same = built[k] == k;
  std::size_t at = 0;
  for (std::size_t k = 0; same && k < list.size(); ++k) {
    const CompactEpisode<Index> episode = list[k];
    same = episode.records.size() == episodes[k].size() && episode.has_rejected == expected.has_rejected[k];
    for (std::size_t i = 0; same && i < episode.records.size(); ++i, ++at) {
      const auto& got = episode.records[i];
      const auto& want = expected.records[at];
      same = got.entry == want.entry && got.row == want.row && check::same_bits(got.reward, want.reward);
    }
  }
  for (std::size_t r = 0; same && r < expected.rejected.size(); ++r) {
    const RejectedTransition& kept = list.rejected(r);
    const auto& want = expected.rejected[r];
    const RecordedRow& v = kept.recorded;
    const Row& w = want.values;
    same = kept.episode == want.episode && kept.row == want.row && check::same_bits(v.state, w[0]) &&
           check::same_bits(v.action, w[1]) && check::same_bits(v.reward, w[2]) &&
           check::same_bits(v.next_state, w[3]) && check::same_bits(v.terminal, w[4]) &&
           kept.transition.state == reference_index(w[0]) &&
           kept.transition.action == reference_index(w[1]) &&
           check::same_bits(kept.transition.reward, w[2]) &&
           kept.transition.next_state == reference_index(w[3]) && kept.transition.done == (w[4] == 1.0);
  }
  if (!same) check::report(__FILE__, __LINE__, "conversion differs from the reference: " + context);
}

template <typename Body>
void for_every_setting(Body body) {
  for (const Layout layout : layouts) {
    for (const RowRead reads : {RowRead::next_state, RowRead::own_state, RowRead::none}) {
      body(layout, reads, std::uint32_t{});
      body(layout, reads, std::uint64_t{});
    }
  }
}

// Cells that read specially, or that a table of 6 x 3 must reject: NaN of
// both signs, negatives (-0.0 and -inf among them), fractions, the extents
// themselves and one past, and the values at and around the conversion's
// limits (2^63, 2^64, infinity).
const double index_cells[] = {nan,
                              -nan,
                              -1.0,
                              -0.0,
                              -inf,
                              0.5,
                              2.999,
                              5.9999,
                              6.0,
                              3.0,
                              7.0,
                              1e300,
                              two_to_63,
                              two_to_64,
                              inf,
                              9223372036854774784.0,
                              18446744073709549568.0};
// Terminal flags: only exactly 1.0 ends a transition.
const double flag_cells[] = {1.0, 0.0, 0.5, -1.0, nan, 1.0000000000000002, 0.9999999999999999, inf};

Row plain_row(std::mt19937_64& gen, Table table) {
  return {static_cast<double>(gen() % table.states), static_cast<double>(gen() % table.actions),
          static_cast<double>(static_cast<std::int64_t>(gen() % 2001) - 1000) / 8.0,
          static_cast<double>(gen() % table.states), gen() % 4 == 0 ? 1.0 : 0.0};
}

}  // namespace

TEST(one_special_cell_at_every_position_of_every_length) {
  // Lengths 0 to two blocks and one row (the conversion streams blocks of
  // 8 rows), with one special cell in one column of one row, at every row:
  // the rejected transition, or the special reading, lands at every
  // position of a block and in every tail.
  std::mt19937_64 gen(7);
  const Table table{6, 3};
  for_every_setting([&](Layout layout, RowRead reads, auto index) {
    using Index = decltype(index);
    for (std::uint64_t length = 0; length <= 17; ++length) {
      for (std::uint64_t at = 0; at < std::max<std::uint64_t>(length, 1); ++at) {
        std::vector<Row> rows;
        for (std::uint64_t i = 0; i < length; ++i) rows.push_back(plain_row(gen, table));
        if (length > 0) {
          const std::size_t column = gen() % 5;
          const double value = column == 4 ? flag_cells[gen() % std::size(flag_cells)]
                                           : index_cells[gen() % std::size(index_cells)];
          rows[at][column] = value;
        }
        check_conversion<Index>(
            {rows, {plain_row(gen, table)}}, table, reads, layout,
            "length " + std::to_string(length) + ", special cell in row " + std::to_string(at));
      }
    }
  });
}

TEST(every_special_index_in_every_column) {
  // Each special value in each index column of an otherwise plain row, in
  // the middle of a block, on a terminal and a non-terminal row.
  std::mt19937_64 gen(11);
  const Table table{6, 3};
  for_every_setting([&](Layout layout, RowRead reads, auto index) {
    using Index = decltype(index);
    for (const double value : index_cells) {
      for (const std::size_t column : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
        for (const double flag : flag_cells) {
          std::vector<Row> rows;
          for (int i = 0; i < 12; ++i) rows.push_back(plain_row(gen, table));
          rows[5][column] = value;
          rows[5][4] = flag;
          check_conversion<Index>({rows}, table, reads, layout,
                                  "column " + std::to_string(column) + " value " + check::show(value) +
                                      " flag " + check::show(flag));
        }
      }
    }
  });
}

TEST(random_arrays_with_many_rejected_rows) {
  // Several episodes of random lengths per call, each cell special now and
  // then, on tables from empty to huge (an extent above 2^53 makes the
  // streaming test unsure of some indexes, which the exact path decides on).
  std::mt19937_64 gen(13);
  const Table tables[] = {{6, 3},         {1, 1},          {16, 4},
                          {0, 4},         {5, 0},          {(std::uint64_t{1} << 53) + 1, 1},
                          {max_index, 1}, {4294967295u, 1}};
  for_every_setting([&](Layout layout, RowRead reads, auto index) {
    using Index = decltype(index);
    for (const Table table : tables) {
      for (int round = 0; round < 6; ++round) {
        std::vector<std::vector<Row>> episodes(1 + gen() % 4);
        for (auto& rows : episodes) {
          const std::uint64_t length = gen() % 40;
          for (std::uint64_t i = 0; i < length; ++i) {
            Row row;
            for (std::size_t c = 0; c < 5; ++c) {
              const std::uint64_t extent = c == 1 ? table.actions : table.states;
              const std::uint64_t pick = gen() % 24;
              if (c == 4) {
                row[c] = pick < 2 ? flag_cells[gen() % std::size(flag_cells)] : (pick % 3 == 0 ? 1.0 : 0.0);
              } else if (c == 2) {
                row[c] =
                    pick == 0 ? index_cells[gen() % std::size(index_cells)] : static_cast<double>(pick) / 4.0;
              } else if (pick == 0) {
                row[c] = index_cells[gen() % std::size(index_cells)];
              } else if (pick == 1) {
                // The largest index inside and the first outside.
                row[c] = static_cast<double>(extent) - static_cast<double>(gen() % 2);
              } else {
                row[c] =
                    extent == 0 ? 0.0 : static_cast<double>(gen() % std::min<std::uint64_t>(extent, 1 << 20));
              }
            }
            rows.push_back(row);
          }
        }
        check_conversion<Index>(
            episodes, table, reads, layout,
            "table " + std::to_string(table.states) + " x " + std::to_string(table.actions));
      }
    }
  });
}

CHECK_MAIN
