// Double Q-learning: two tables replayed side by side. A coin per transition
// picks the table to update; that table chooses the next action and the other
// one values it. The result is the element-wise mean of the two.
#include <cassert>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "episode/table.h"
#include "qlearning/action_count.h"
#include "qlearning/progress.h"
#include "qlearning/qlearner.h"
#include "qlearning/rejected.h"
#include "qlearning/schedule.h"
#include "support/console.h"
#include "support/failure.h"
#include "support/table_sum.h"

namespace tarnel {

namespace {

// A value hidden from the optimiser, so that what is computed from it stays
// arithmetic (a mask, an index) instead of becoming a jump: the coin and the
// best action of a learning table change unpredictably, and a jump on them
// mispredicts on half the transitions. Clang turns such selects into jumps
// (GCC keeps them); the empty asm costs nothing.
template <typename T>
inline T opaque(T value) {
  __asm__("" : "+r"(value));
  return value;
}

// f = (w >> 8) * 2^-24 as a float, a value in [0, 1) on a 2^-24 grid; below
// one half means table 1 is updated. Both steps are exact in a float (24
// bits, then a power of two), so f < 0.5 exactly when w >> 8 < 2^23, that
// is when the top bit of w is 0: tested so, the coin costs one shift per
// transition instead of a conversion, a product and a compare.
bool coin_picks_table_1(std::uint32_t w) { return (w >> 31) == 0; }

// The two tables as the replay reads them, in locals (as rules_inl.h's Rows
// holds one table). values[1] is table 1 and values[0] table 2, so the
// coin indexes them.
struct TwoTables {
  double* values[2];
  std::uint64_t states;
  std::uint64_t actions;
  double gamma;
  double alpha;
};

// The failure of a NaN in the chooser's row, told apart from the others so
// that the driver can add where the NaN comes from, which only the whole
// episode list can say.
class UndefinedOrder : public TrainingFailure {
 public:
  explicit UndefinedOrder(TrainingFailure failure) : TrainingFailure(std::move(failure)) {}
};

// Out of line, so the scan below stays small enough to inline.
[[noreturn]] void fail_unordered(const double* row, std::uint64_t states, std::uint64_t s) {
  std::uint64_t a = 0;
  while (!std::isnan(row[a * states])) ++a;
  throw UndefinedOrder(make_failure("undefined order: row " + std::to_string(s) +
                                    " of the updated table holds NaN at action " + std::to_string(a) +
                                    ", so its best action cannot be chosen"));
}

// Where a NaN in the tables comes from: the first reward in the data that is
// not finite (a NaN, or an infinity that met another), or else the
// parameters, whose updates then overflowed.
std::string first_nonfinite_reward(std::uint64_t position, std::uint64_t row, double reward) {
  std::string note = location(position, row) + ": reward ";
  console::append_number(note, reward);
  return note + ", the first reward in data that is not finite (check_episodes lists them all)";
}

constexpr const char* every_reward_finite =
    "every reward in data is finite: discount_factor or learning_rate made the updates overflow to "
    "infinity, and infinities met";

template <typename Index>
std::string source_of_nan(const CompactEpisodes<Index>& episodes) {
  for (std::size_t k = 0; k < episodes.size(); ++k) {
    const std::span<const CompactTransition<Index>> records = episodes[k].records;
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (!std::isfinite(records[i].reward))
        return first_nonfinite_reward(episodes.position(k), i, records[i].reward);
    }
  }
  return every_reward_finite;
}

// A table's rewards are read from its columns: the episodes not picked were
// never converted, and are not converted for a note.
template <typename Index>
std::string source_of_nan(const TableEpisodes<Index>& episodes) {
  const ColumnTable& table = episodes.table();
  std::vector<double> block(TableSource::block_rows * 5);
  for (std::size_t k = 0; k < episodes.size(); ++k) {
    std::string note;
    read_episode_rows(table, k, block.data(), [&](const RowPiece& piece) {
      for (std::uint64_t i = 0; i < piece.view.rows && note.empty(); ++i) {
        const double reward = recorded_row(piece.view, i).reward;
        if (!std::isfinite(reward)) note = first_nonfinite_reward(k, piece.first_row + i, reward);
      }
    });
    if (!note.empty()) return note;
  }
  return every_reward_finite;
}

// First action with the largest value in row s of the chooser. Each entry is
// compared with the current best, the first with itself, so a NaN anywhere in
// the row, column 0 included, leaves the order undefined and fails the call.
// The scan itself is branch-free (the best entry of a learning table changes
// unpredictably); a NaN is looked for again only once the call is failing.
template <std::uint64_t kActions>
std::uint64_t best_action(const double* chooser, TwoTables tables, std::uint64_t s) {
  std::uint64_t best = 0;
  const double* row = chooser + s;
  const std::uint64_t states = tables.states;
  const std::uint64_t n = action_count<kActions>(tables.actions);
  double current = row[0];
  bool unordered = false;
  for (std::uint64_t a = 0; a < n; ++a) {
    const double x = row[a * states];
    unordered |= x != x;
    const bool greater = x > current;
    // A mask rather than `greater ? a : best`, hidden so that the compiler
    // cannot turn it back into a branch that mispredicts on a learning table.
    const std::uint64_t take = opaque(std::uint64_t{0} - static_cast<std::uint64_t>(greater));
    best = (a & take) | (best & ~take);
    current = greater ? x : current;
  }
  if (unordered) [[unlikely]]
    fail_unordered(row, states, s);
  return best;
}

// One transition, read through the episode's steps (rejected.h).
template <std::uint64_t kActions, typename Steps, typename Record>
inline void double_update(TwoTables tables, const Steps& steps, const Record& item, Rng& rng) {
  // The draw comes first, for every transition, so a failing index still
  // consumes its coin.
  const std::size_t first = opaque(std::size_t{coin_picks_table_1(rng.next_u32())});
  double* const u = tables.values[first];
  const double* const e = tables.values[first ^ 1];
  const Record& record = steps.read(item);
  double& entry = u[record.entry];
  const double old = entry;
  double target = record.reward;
  if (record.row != record.terminal) {
    // Read after old: when s' == s the row still holds old at column a.
    const std::uint64_t chosen = best_action<kActions>(u, tables, record.row);
    target = record.reward + e[record.row + chosen * tables.states] * tables.gamma;
  }
  entry = (target - old) * tables.alpha + old;
}

// The whole replay, with the action count chosen once for it rather than
// per episode: short episodes would otherwise pay for the choice again and
// again.
template <std::uint64_t kActions, typename List>
[[gnu::flatten]] void replay(const Qlearner& learner, List& episodes, QTable& table_1, QTable& table_2,
                             Rng& rng) {
  using Index = typename List::Record::Index;
  const std::size_t entries = table_1.values.size();
  const TwoTables tables{{table_2.values.data(), table_1.values.data()},
                         table_1.states,
                         table_1.actions,
                         learner.discount_factor,
                         learner.learning_rate};
  for (std::uint64_t i = 0; i < learner.max_iterations; ++i) {
    // Both tables have table 1's shape, which words the index failures.
    with_steps<RowRead::next_state>(table_1, pick_episode(episodes, rng),
                                    [&](const auto& steps) __attribute__((always_inline)) {
                                      for (const CompactTransition<Index>& item : steps.items) {
                                        double_update<kActions>(tables, steps, item, rng);
                                      }
                                    });
    // After the iteration's updates, so the first line already shows the
    // first picked episode.
    if (is_checkpoint(i)) {
      const double sum_1 = table_sum(table_1.values.data(), entries);
      const double sum_2 = table_sum(table_2.values.data(), entries);
      write_double_progress_line(i, sum_1, sum_2);
    }
  }
}

// The coins are drawn between the picks, so the picks cannot be drawn ahead
// without drawing the coins ahead too.
template <typename Lists>
QTable double_q_on(const Qlearner& learner, Lists& episodes, Rng& rng) {
  const QShape q_shape = learner.q_shape;
  QTable table_1 = zero_q_table(q_shape);
  QTable table_2 = zero_q_table(q_shape);
  std::visit(
      [&](auto& list) {
        assert(list.built_for(q_shape, RowRead::next_state));
        try {
          with_action_count(table_1.actions, [&](auto n) {
            replay<decltype(n)::value>(learner, list, table_1, table_2, rng);
          });
        } catch (UndefinedOrder& failure) {
          failure.add_note(source_of_nan(list));
          throw;
        }
      },
      episodes);
  const std::size_t entries = table_1.values.size();
  for (std::size_t k = 0; k < entries; ++k) {
    table_1.values[k] = (table_1.values[k] + table_2.values[k]) / 2.0;
  }
  return table_1;
}

}  // namespace

QTable Qlearner::double_q(const CompactEpisodeList& episodes, Rng& rng) const {
  return double_q_on(*this, episodes, rng);
}

QTable Qlearner::double_q(TableEpisodeList& episodes, Rng& rng) const {
  return double_q_on(*this, episodes, rng);
}

}  // namespace tarnel
