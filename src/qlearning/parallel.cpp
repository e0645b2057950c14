// The parallel drivers: one complete sequential training per worker thread,
// the workers' tables stacked into one column-major 3-D table stack. The
// forward driver shares the episode list between its workers; the backward
// TD driver gives each worker a bootstrap resample of its own, drawn on the
// calling thread just before that worker starts.
#include <cassert>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "qlearning/qlearner.h"
#include "qlearning/worker_group.h"
#include "support/failure.h"
#include "support/random.h"

namespace tarnel {

namespace {

constexpr std::uint64_t largest_size = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// Builds the stack only once every worker has finished, so a failed worker
// costs no stack at all. Each table is released right after its copy, which
// keeps the peak at the tables plus one stack.
TableStack stack_tables(std::vector<QTable> tables, QShape q_shape) {
  const std::uint64_t depth = tables.size();
  const std::uint64_t states = q_shape.first;
  const std::uint64_t actions = q_shape.second;
  check_table_size(depth, states, actions);
  TableStack stack;
  stack.depth = depth;
  stack.states = states;
  stack.actions = actions;
  stack.values.assign(depth * states * actions, 0.0);
  const std::uint64_t entries = states * actions;
  for (std::uint64_t k = 0; k < depth; ++k) {
    // Entry (s, a) of a table sits at i = s + states*a, and element
    // [k, s, a] of the stack at k + depth*i: one strided pass per table.
    const std::vector<double>& table = tables[k].values;
    double* slab = stack.values.data() + k;
    for (std::uint64_t i = 0; i < entries; ++i) slab[i * depth] = table[i];
    tables[k] = QTable();
  }
  return stack;
}

// The resample for one worker: `size` independent draws by the zone method,
// then a copy of each drawn episode's records in draw order, so an episode
// drawn twice is there twice. The rejected transitions, only ever read, are
// shared rather than copied.
template <typename Index>
CompactEpisodes<Index> draw_bootstrap_sample(const CompactEpisodes<Index>& episodes, std::uint64_t size,
                                             Rng& rng) {
  const std::uint64_t n = episodes.size();
  if (size > largest_size / sizeof(std::uint64_t)) {
    fail("a bootstrap index list of " + std::to_string(size) +
         " indices exceeds the largest possible allocation");
  }
  // The sample's bound as it stood when a sample was a list of plain
  // episodes, each 24 bytes: the same sizes fail, with the same text.
  constexpr std::uint64_t episode_record_bytes = 24;
  if (size > largest_size / episode_record_bytes) {
    fail("a bootstrap sample of " + std::to_string(size) +
         " episodes exceeds the largest possible allocation");
  }
  std::vector<std::uint64_t> indices;
  indices.reserve(size);
  std::uint64_t transitions = 0;
  for (std::uint64_t j = 0; j < size; ++j) {
    indices.push_back(bootstrap_index(rng, n));
    transitions += episodes[indices.back()].records.size();
  }
  CompactEpisodes<Index> sample = CompactEpisodes<Index>::sharing(episodes, size, transitions);
  for (const std::uint64_t index : indices) sample.append_copy(episodes, index);
  return sample;
}

template <typename Index>
void check_built_for(const CompactEpisodes<Index>& episodes, const Qlearner& learner, RowRead reads) {
  assert(episodes.reads() == reads && episodes.states() == learner.q_shape.first &&
         episodes.actions() == learner.q_shape.second);
  (void)episodes, (void)learner, (void)reads;
}

}  // namespace

TableStack Qlearner::learn_parallel(const CompactEpisodeList& episodes, UpdateRule rule,
                                    std::uint64_t ql_iter) const {
  std::vector<QTable> tables;
  {
    WorkerGroup<QTable> workers;
    // The learner and the episode list are only read while the workers run,
    // so they are shared as they are, without a lock and without a copy.
    for (std::uint64_t k = 0; k < ql_iter; ++k) {
      workers.start([this, &episodes, rule] { return learn(episodes, rule); });
    }
    tables = workers.join_in_order();
  }
  return stack_tables(std::move(tables), q_shape);
}

TableStack Qlearner::learn_parallel(const EpisodeList& episodes, UpdateRule rule,
                                    std::uint64_t ql_iter) const {
  if (rule.has_compact_passes()) return learn_parallel(compact(episodes, rule.reads()), rule, ql_iter);
  std::vector<QTable> tables;
  {
    WorkerGroup<QTable> workers;
    for (std::uint64_t k = 0; k < ql_iter; ++k) {
      workers.start([this, &episodes, rule] { return learn(episodes, rule); });
    }
    tables = workers.join_in_order();
  }
  return stack_tables(std::move(tables), q_shape);
}

TableStack Qlearner::td_learn_backward_parallel(CompactEpisodeList episodes,
                                                std::uint64_t boostrap_sample_size,
                                                std::uint64_t iter_ql, Rng& rng) const {
  std::vector<QTable> tables;
  std::visit(
      [&](auto& population) {
        using List = std::decay_t<decltype(population)>;
        check_built_for(population, *this, learn_single_episode_backward_TD.reads);
        WorkerGroup<QTable> workers;
        for (std::uint64_t k = 0; k < iter_ql; ++k) {
          // Checked before anything is drawn, so an empty list fails without
          // moving the generator on, whatever the sample size.
          if (population.empty()) {
            fail("cannot draw a bootstrap sample: the episode list is empty");
          }
          // Drawing the next sample overlaps with the training of the
          // workers already started.
          CompactEpisodeList sample = draw_bootstrap_sample(population, boostrap_sample_size, rng);
          workers.start([this, sample = std::move(sample)]() mutable {
            // The worker frees its sample as soon as its training ends,
            // either way, rather than when the thread object goes.
            const CompactEpisodeList own = std::move(sample);
            return learn(own, learn_single_episode_backward_TD);
          });
        }
        // Every sample has been drawn; the population is not needed while
        // the workers train.
        population = List();
        tables = workers.join_in_order();
      },
      episodes);
  return stack_tables(std::move(tables), q_shape);
}

TableStack Qlearner::td_learn_backward_parallel(EpisodeList episodes, std::uint64_t boostrap_sample_size,
                                                std::uint64_t iter_ql, Rng& rng) const {
  CompactEpisodeList population = compact(episodes, learn_single_episode_backward_TD.reads);
  EpisodeList().swap(episodes);
  return td_learn_backward_parallel(std::move(population), boostrap_sample_size, iter_ql, rng);
}

}  // namespace tarnel
