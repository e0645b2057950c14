// Flat columns against the arrays they stand for: a table read a block of
// rows at a time must give every rule the compact records, the rejected
// transitions and the episode bounds that its episodes as separate arrays
// give, whatever the episodes' lengths are next to the block size.
#include <cstdint>
#include <random>
#include <span>
#include <variant>
#include <vector>

#include "check.h"
#include "episode/compact.h"
#include "episode/table.h"

using namespace tarnel;

namespace {

template <typename Index>
void check_same(const CompactEpisodes<Index>& a, const CompactEpisodes<Index>& b) {
  CHECK_EQ(a.size(), b.size());
  CHECK_EQ(a.transition_count(), b.transition_count());
  for (std::size_t k = 0; k < a.size() && k < b.size(); ++k) {
    const auto x = a[k];
    const auto y = b[k];
    CHECK_EQ(x.records.size(), y.records.size());
    CHECK_EQ(x.has_rejected, y.has_rejected);
    for (std::size_t i = 0; i < x.records.size() && i < y.records.size(); ++i) {
      CHECK_EQ(x.records[i].entry, y.records[i].entry);
      CHECK_EQ(x.records[i].row, y.records[i].row);
      CHECK_BITS(x.records[i].reward, y.records[i].reward);
      if (x.records[i].entry == CompactTransition<Index>::rejected &&
          y.records[i].entry == x.records[i].entry) {
        CHECK_EQ(location(x.kept(x.records[i])), location(y.kept(y.records[i])));
      }
    }
  }
}

}  // namespace

TEST(a_table_builds_the_records_its_episode_arrays_build) {
  std::mt19937_64 random(7);
  // Lengths around the block size, empty episodes among them.
  const std::uint64_t b = TableSource::block_rows;
  const std::vector<std::uint64_t> lengths = {0, 3, b - 3, b, 1, 0, 0, 2 * b + 5, b + 1, 17, 0};
  std::vector<std::uint64_t> ends;
  std::uint64_t rows = 0;
  for (const std::uint64_t n : lengths) ends.push_back(rows += n);
  // int32 states, int8 actions, float32 rewards, float64 next states every
  // other element of a wider array, bool flags; a few indexes out of range.
  std::vector<std::int32_t> state(rows);
  std::vector<std::int8_t> action(rows);
  std::vector<float> reward(rows);
  std::vector<double> next_state(2 * rows);
  std::vector<std::uint8_t> terminal(rows);
  std::vector<double> flat(5 * rows);  // the same rows, C order
  for (std::uint64_t i = 0; i < rows; ++i) {
    state[i] = static_cast<std::int32_t>(random() % 9);
    action[i] = static_cast<std::int8_t>(random() % 3);
    reward[i] = static_cast<float>(random() % 1000) / 8.0f - 60.0f;
    next_state[2 * i] = random() % 50 == 0 ? 12.5 : static_cast<double>(random() % 8);
    terminal[i] = random() % 5 == 0;
    const double row[5] = {static_cast<double>(state[i]), static_cast<double>(action[i]),
                           static_cast<double>(reward[i]), next_state[2 * i], terminal[i] ? 1.0 : 0.0};
    std::copy(row, row + 5, flat.begin() + static_cast<std::ptrdiff_t>(5 * i));
  }
  const auto bytes = [](const auto& v) { return reinterpret_cast<const std::byte*>(v.data()); };
  ColumnTable table{
      {TableColumn{bytes(state), 4, ElementType::int32}, TableColumn{bytes(action), 1, ElementType::int8},
       TableColumn{bytes(reward), 4, ElementType::float32},
       TableColumn{bytes(next_state), 16, ElementType::float64},
       TableColumn{bytes(terminal), 1, ElementType::boolean}},
      ends};
  std::vector<ArrayView> views;
  for (std::size_t k = 0; k < ends.size(); ++k) {
    const std::uint64_t start = table.episode_start(k);
    views.push_back({bytes(flat) + 40 * start, ends[k] - start, 5, 40, 8});
  }
  // A slice that starts inside a block.
  ColumnTable slice = table;
  slice.ends = std::span(ends).subspan(2);
  slice.first_row = ends[1];
  for (const RowRead reads : {RowRead::next_state, RowRead::own_state, RowRead::none}) {
    for (const auto& [source, arrays] : {std::pair{table, std::span<const ArrayView>(views)},
                                         std::pair{slice, std::span<const ArrayView>(views).subspan(2)}}) {
      TableSource columns(source);
      check_same(compact_episodes_as<std::uint32_t>(columns, 8, 3, reads),
                 compact_episodes_as<std::uint32_t>(arrays, 8, 3, reads));
    }
  }
}

CHECK_MAIN
