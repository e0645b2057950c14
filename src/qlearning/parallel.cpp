// The bootstrap driver: one complete sequential backward TD training per
// worker thread, each on a bootstrap resample of its own, drawn on the
// calling thread just before that worker starts; the workers' tables
// stacked into one column-major 3-D table stack.
#include <cassert>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "qlearning/pick_ahead.h"
#include "qlearning/qlearner.h"
#include "qlearning/worker_group.h"
#include "support/failure.h"
#include "support/random.h"

namespace tarnel {

namespace {

constexpr std::uint64_t largest_size = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// The resample for one worker: `size` independent draws by the zone method,
// then a copy of each drawn episode's records in draw order, so an episode
// drawn twice is there twice. The rejected transitions, only ever read, are
// shared rather than copied. A table's episodes are converted here, on the
// calling thread, the first time a sample draws them.
template <typename List>
auto draw_bootstrap_sample(List& episodes, std::uint64_t size, Rng& rng) {
  using Index = typename List::Record::Index;
  const std::uint64_t n = episodes.size();
  if (size > largest_size / sizeof(std::uint64_t)) {
    fail("a bootstrap index list of " + std::to_string(size) +
         " indices exceeds the largest possible allocation");
  }
  // A sample is bounded by its episodes too, counted at 24 bytes each: one
  // of more fails with this text, after the index list's bound.
  constexpr std::uint64_t episode_record_bytes = 24;
  if (size > largest_size / episode_record_bytes) {
    fail("a bootstrap sample of " + std::to_string(size) +
         " episodes exceeds the largest possible allocation");
  }
  std::vector<std::uint64_t> indices;
  indices.reserve(size);
  for (std::uint64_t j = 0; j < size; ++j) indices.push_back(bootstrap_index(rng, n));
  // The drawn episodes are read twice, to size the sample and to copy it,
  // each time ahead of their turn, as a driver reads its picks.
  std::uint64_t transitions = 0;
  PickAhead sizes(episodes, ListedPicks{indices}, size, nullptr);
  for (std::uint64_t j = 0; j < size; ++j) transitions += sizes.next().records.size();
  CompactEpisodes<Index> sample = CompactEpisodes<Index>::sharing(episodes, size, transitions);
  PickAhead copies(episodes, ListedPicks{indices}, size, nullptr);
  for (std::uint64_t j = 0; j < size; ++j) sample.append_copy(copies.next());
  return sample;
}

template <typename Lists>
TableStack bootstrap_on(const Qlearner& learner, Lists episodes, std::uint64_t sample_size,
                        std::uint64_t trainings, Rng& rng) {
  const QShape q_shape = learner.q_shape;
  std::vector<QTable> tables;
  std::visit(
      [&](auto& population) {
        using List = std::decay_t<decltype(population)>;
        assert(population.built_for(q_shape, Qlearner::learn_single_episode_backward_TD.reads));
        WorkerGroup<QTable> workers;
        for (std::uint64_t k = 0; k < trainings; ++k) {
          // Checked before anything is drawn, so an empty list fails without
          // moving the generator on, whatever the sample size.
          if (population.empty()) {
            fail("cannot draw a bootstrap sample: the episode list is empty");
          }
          // Drawing the next sample overlaps with the training of the
          // workers already started.
          CompactEpisodeList sample = draw_bootstrap_sample(population, sample_size, rng);
          workers.start([&learner, sample = std::move(sample)]() mutable {
            // The worker frees its sample as soon as its training ends,
            // either way, rather than when the thread object goes.
            const CompactEpisodeList own = std::move(sample);
            return learner.learn<Qlearner::learn_single_episode_backward_TD>(own);
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

}  // namespace

TableStack Qlearner::td_learn_backward_parallel(CompactEpisodeList episodes, std::uint64_t sample_size,
                                                std::uint64_t trainings, Rng& rng) const {
  return bootstrap_on(*this, std::move(episodes), sample_size, trainings, rng);
}

TableStack Qlearner::td_learn_backward_parallel(TableEpisodeList episodes, std::uint64_t sample_size,
                                                std::uint64_t trainings, Rng& rng) const {
  return bootstrap_on(*this, std::move(episodes), sample_size, trainings, rng);
}

}  // namespace tarnel
