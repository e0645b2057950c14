// Flat columns against the arrays they stand for: a table read a block of
// rows at a time must give every rule the compact records, the rejected
// transitions and the episode bounds that its episodes as separate arrays
// give, whatever the episodes' lengths are next to the block size.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "check.h"
#include "episode/compact.h"
#include "episode/table.h"
#include "qlearning/qlearner.h"
#include "support/failure.h"

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

// A large table (its records far beyond the caches, so that every pick is
// drawn ahead and its episode converted ahead of its turn) trains as its
// list converted at once does, bit for bit, printed lines and failures
// included, and converts exactly the episodes its picks reach.
TEST(a_table_converted_as_picked_trains_as_its_converted_list) {
  std::mt19937_64 random(11);
  const std::uint64_t rows = 600000;
  std::vector<std::uint64_t> ends;
  // Short episodes, and now and then one longer than a block of rows, which
  // converts in several pieces.
  for (std::uint64_t row = 0; row < rows;) {
    ends.push_back(row = std::min(rows, row + (random() % 2000 == 0 ? 600 : 1 + random() % 20)));
  }
  std::vector<std::int32_t> state(rows), next_state(rows);
  std::vector<std::int8_t> action(rows);
  std::vector<float> reward(rows);
  std::vector<std::uint8_t> terminal(rows);
  for (std::uint64_t i = 0; i < rows; ++i) {
    state[i] = static_cast<std::int32_t>(random() % 9);
    action[i] = static_cast<std::int8_t>(random() % 3);
    reward[i] = static_cast<float>(random() % 1000) / 8.0f - 60.0f;
    next_state[i] = static_cast<std::int32_t>(random() % 9);
    terminal[i] = random() % 5 == 0;
  }
  const auto bytes = [](const auto& v) { return reinterpret_cast<const std::byte*>(v.data()); };
  const ColumnTable table{
      {TableColumn{bytes(state), 4, ElementType::int32}, TableColumn{bytes(action), 1, ElementType::int8},
       TableColumn{bytes(reward), 4, ElementType::float32},
       TableColumn{bytes(next_state), 4, ElementType::int32},
       TableColumn{bytes(terminal), 1, ElementType::boolean}},
      ends};
  struct Outcome {
    std::vector<double> table;
    std::string out, error, failure;
    std::vector<std::string> notes;
  };
  const auto run = [](const auto& train) {
    Outcome o;
    o.error = check::captured_error([&] {
      o.out = check::captured_output([&] {
        try {
          o.table = train().values;
        } catch (const TrainingFailure& f) {
          o.failure = f.what();
          o.notes = f.notes();
        }
      });
    });
    return o;
  };
  Qlearner l;
  l.q_shape = {9, 3};
  l.discount_factor = 0.9;
  l.learning_rate = 0.25;
  l.quit_threshold = 0.0;
  l.verbose = true;
  for (const bool clean : {true, false}) {
    // A state out of range in the first episode picked: the call fails
    // there, with the note that names it.
    if (!clean) {
      Rng first(Seed{});
      const std::uint64_t k = uniform_index(first, ends.size());
      CHECK(ends[k] > table.episode_start(k));
      state[table.episode_start(k)] = 9;
    }
    for (int driver = 0; driver < 7; ++driver) {
      const RowRead reads = driver == 1 || driver == 6 ? RowRead::none
                            : driver == 2              ? RowRead::own_state
                                                       : RowRead::next_state;
      l.max_iterations = driver == 3 ? 30000 : 60000;
      // Two workers' lines come in either order.
      l.verbose = driver != 6;
      const auto train = [&](auto& list, Rng& rng) {
        switch (driver) {
          case 0: return l.learn<Qlearner::learn_single_episode_forward_Q>(list, rng);
          case 1: return l.learn<Qlearner::learn_single_episode_backward_TD>(list, rng);
          case 2: return l.learn<Qlearner::learn_single_episode_expected_sarsa>(list, rng);
          case 3: return l.learn_until_convergence(list, rng);
          case 4: return l.fast_learn(list, rng);
          case 5: return l.double_q(list, rng);
          default: {
            // Samples of one episode each, drawn by `rng`: every worker
            // replays its own, so the stack is deterministic.
            auto population = [&] {
              if constexpr (std::is_const_v<std::remove_reference_t<decltype(list)>>) {
                return CompactEpisodeList(list);
              } else {
                return std::move(list);
              }
            }();
            TableStack stack = l.td_learn_backward_parallel(std::move(population), 1, 2, rng);
            return QTable{stack.states, stack.actions, std::move(stack.values)};
          }
        }
      };
      TableSource source(table);
      const CompactEpisodeList whole = compact_episodes(source, 9, 3, reads);
      // Slots for every episode, or (expecting one pick) a hash table
      // that grows with the picks.
      TableEpisodeList picked = table_episodes(table, 9, 3, reads, driver % 2 == 0 ? l.max_iterations : 1);
      Rng a(Seed{}), b(Seed{});
      const Outcome expected = run([&] { return train(whole, a); });
      const Outcome actual = run([&] { return train(picked, b); });
      CHECK_EQ(actual.failure, expected.failure);
      CHECK(actual.notes == expected.notes);
      CHECK_EQ(actual.error, expected.error);
      CHECK_EQ(actual.out, expected.out);
      CHECK(actual.table.size() == expected.table.size() &&
            std::equal(actual.table.begin(), actual.table.end(), expected.table.begin(),
                       [](double x, double y) {
                         return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
                       }));
      if (driver != 6) CHECK_EQ(expected.failure.empty(), clean);
      // The episodes picked, drawn again: every one of them converted, and
      // no other. (double_q's coins come between its picks.)
      if (driver < 5 && clean) {
        Rng c(Seed{});
        std::vector<bool> seen(ends.size());
        std::uint64_t distinct = 0;
        for (std::uint64_t i = 0; i < l.max_iterations; ++i) {
          const std::uint64_t k = uniform_index(c, ends.size());
          distinct += !seen[k];
          seen[k] = true;
        }
        CHECK_EQ(std::get<0>(picked).converted(), distinct);
        CHECK(distinct < ends.size());
      }
    }
  }
}

CHECK_MAIN

// The arrays a conversion as picked fills: on either side of the
// allocator's share they come from the allocator or from the system, and
// either way read as zeros until written, keep what is written, and move
// without a copy.
TEST(zero_pages_are_zeros_on_either_side_of_the_allocator_share) {
  constexpr std::size_t share = allocator_share / sizeof(std::uint64_t);
  for (const std::size_t count : {std::size_t{1}, share - 1, share, share + 1, 3 * share}) {
    for (const bool dense : {false, true}) {
      ZeroPages<std::uint64_t> pages(count, dense);
      CHECK_EQ(pages.size(), count);
      for (const std::size_t k : {std::size_t{0}, count / 2, count - 1}) CHECK_EQ(pages[k], 0u);
      pages[count - 1] = count;
      ZeroPages<std::uint64_t> moved;
      moved = std::move(pages);
      CHECK(pages.data() == nullptr);
      CHECK_EQ(moved[count - 1], count);
      CHECK_EQ(moved[0], count == 1 ? count : 0u);
    }
  }
}
