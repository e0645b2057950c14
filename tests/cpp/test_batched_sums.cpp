// Summing several versions of a table in one pass, and the sequential driver
// that uses it on large tables. The pass is checked against table_sum of
// each version built out in full; the driver against the oracle's driver,
// which sums after every iteration and keeps its whole history: with the
// same seed, tables, lines, stops and failures must be identical.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include <unistd.h>

#include "check.h"
#include "episodes.h"
#include "qlearning/qlearner.h"
#include "support/cpu.h"
#include "support/failure.h"
#include "support/table_sum.h"

using namespace tarnel;

namespace {

// Magnitudes from 1e-300 to 1e16 in a scrambled order, so that any change in
// which values meet in which addition changes the bits of a sum.
double scrambled(std::uint32_t& state) {
  static const double pattern[] = {1e16, 1.0, -1e16, 3.0, 0.1, -0.0, 2.5e15, 1e-300, -1e16, 7.0, 1e16, -0.3};
  state = state * 1103515245u + 12345u;
  return pattern[(state >> 16) % 12] * (1.0 + static_cast<double>(state % 97) * 1e-3);
}

}  // namespace

TEST(table_sums_equal_the_sum_of_each_version) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::uint32_t state = 99;
  for (const std::size_t count : {0u, 1u, 7u, 8u, 9u, 64u, 1003u, 40000u}) {
    std::vector<double> values(count);
    for (double& v : values) v = scrambled(state);
    for (std::size_t versions = 1; versions <= table_versions; ++versions) {
      // Patches at the first and last entry, on both sides of block
      // boundaries, several in one block, in the tail, and NaN and -0.0.
      std::vector<std::size_t> offsets;
      for (const std::size_t k : {std::size_t{0}, std::size_t{3}, std::size_t{4}, std::size_t{7},
                                  std::size_t{8}, std::size_t{15}, count / 2, count - count % 8, count - 1}) {
        if (k < count && (offsets.empty() || k > offsets.back())) offsets.push_back(k);
      }
      std::vector<TablePatch> patches;
      std::vector<std::vector<double>> version(versions, values);
      for (std::size_t j = 0; j < offsets.size(); ++j) {
        TablePatch patch;
        patch.offset = offsets[j];
        for (std::size_t t = 0; t < versions; ++t) {
          patch.value[t] = j % 5 == 3 ? nan : j % 5 == 4 ? -0.0 : scrambled(state);
          version[t][offsets[j]] = patch.value[t];
        }
        patches.push_back(patch);
      }
      // The chosen version and every version this processor can run.
      for (const auto sum_versions : {table_sums, table_sums_baseline, table_sums_avx2}) {
        if (sum_versions == table_sums_avx2 && !cpu::has_avx2()) continue;
        double sums[table_versions];
        sum_versions(values.data(), count, patches, versions, sums);
        for (std::size_t t = 0; t < versions; ++t) {
          CHECK_BITS(sums[t], table_sum(version[t].data(), count));
        }
        // No patch: every version is the table itself.
        sum_versions(values.data(), count, {}, versions, sums);
        for (std::size_t t = 0; t < versions; ++t) CHECK_BITS(sums[t], table_sum(values.data(), count));
      }
    }
  }
}

namespace {

const oracle::Pass plain_forward = oracle::forward_Q;
const oracle::Pass plain_backward = oracle::backward_TD;
const oracle::Pass plain_sarsa = oracle::expected_sarsa;

struct Run {
  std::string out;
  std::vector<double> table;
  std::string failure;
};

// Runs `learn` (the module's driver with a module rule, or the oracle's with
// its plain pass) with a seeded generator, capturing its progress lines.
template <typename Rule>
Run run_learn(const Qlearner& learner, const EpisodeList& episodes, const Rule& rule) {
  Run run;
  run.out = check::captured_output([&] {
    try {
      Rng rng(Seed{7});
      if constexpr (std::is_same_v<Rule, RuleDescriptor>) {
        run.table = learn(learner, episodes, rule, rng).values;
      } else {
        run.table = oracle::learn(learner, episodes, rule, rng).values;
      }
    } catch (const TrainingFailure& failure) {
      run.failure = failure.what();
    }
  });
  return run;
}

// Walks over a 5000 x 4 table (20000 entries: large enough for the batched
// sums), with scrambled rewards; episodes of 1 to 30 transitions, so some
// entries are written twice in one batch and the backward rule sees
// single-transition episodes too.
EpisodeList walks(std::size_t count, std::uint64_t states) {
  std::uint32_t state = 5;
  EpisodeList episodes(count);
  for (Episode& e : episodes) {
    state = state * 1103515245u + 12345u;
    const std::size_t length = 1 + (state >> 16) % 30;
    std::uint64_t at = (state >> 8) % 64;  // few start states: repeated writes
    for (std::size_t k = 0; k < length; ++k) {
      state = state * 1103515245u + 12345u;
      const std::uint64_t next = (state >> 4) % states;
      e.transitions.push_back({at, (state >> 20) % 4, scrambled(state), next, k + 1 == length});
      at = next;
    }
  }
  return episodes;
}

// The learner of the walks' 5000 x 4 table, printing its progress lines.
Qlearner walker(std::uint64_t max_iterations, double quit_threshold) {
  return make_learner({5000, 4}, 0.9, 0.25, max_iterations, quit_threshold, true);
}

void check_same(const Run& batched, const Run& plain) {
  CHECK_EQ(batched.out, plain.out);
  CHECK_EQ(batched.failure, plain.failure);
  CHECK_EQ(batched.table.size(), plain.table.size());
  for (std::size_t k = 0; k < batched.table.size() && k < plain.table.size(); ++k) {
    if (!check::same_bits(batched.table[k], plain.table[k])) {
      CHECK_BITS(batched.table[k], plain.table[k]);
      break;
    }
  }
}

}  // namespace

TEST(large_tables_give_the_same_training_as_a_sum_per_iteration) {
  const EpisodeList episodes = walks(300, 5000);
  const struct {
    const RuleDescriptor& rule;
    oracle::Pass plain;
    std::uint64_t max_iterations;
    double quit_threshold;
  } cases[] = {
      // Three checks, no stop: every window mean and printed sum counts.
      {Qlearner::learn_single_episode_forward_Q, plain_forward, 100003, 0.0},
      {Qlearner::learn_single_episode_backward_TD, plain_backward, 100003, 0.0},
      {Qlearner::learn_single_episode_expected_sarsa, plain_sarsa, 100003, 0.0},
      // A stop at the first check: the table must be the one after it.
      {Qlearner::learn_single_episode_forward_Q, plain_forward, 200000, 1e300},
      // Bounds that end inside a batch.
      {Qlearner::learn_single_episode_forward_Q, plain_forward, 6, 0.0},
      {Qlearner::learn_single_episode_backward_TD, plain_backward, 1, 0.0},
  };
  for (const auto& c : cases) {
    const Qlearner l = walker(c.max_iterations, c.quit_threshold);
    const Run batched = run_learn(l, episodes, c.rule);
    const Run plain = run_learn(l, episodes, c.plain);
    CHECK(!plain.table.empty());
    CHECK_EQ(plain.out.empty(), c.max_iterations <= 50000);
    check_same(batched, plain);
  }
}

TEST(large_tables_fail_where_a_sum_per_iteration_fails) {
  // An episode with an action outside the table, picked some way into a run:
  // the same message, and no line of the batch it falls in.
  EpisodeList episodes = walks(40, 5000);
  episodes[17].transitions[0].action = 4;
  const Qlearner l = walker(100000, 0.0);
  const std::pair<const RuleDescriptor*, oracle::Pass> rules[] = {
      {&Qlearner::learn_single_episode_forward_Q, plain_forward},
      {&Qlearner::learn_single_episode_expected_sarsa, plain_sarsa}};
  for (const auto& [rule, wrapped] : rules) {
    const Run batched = run_learn(l, episodes, *rule);
    const Run plain = run_learn(l, episodes, wrapped);
    CHECK(!plain.failure.empty());
    check_same(batched, plain);
  }
}

TEST(large_tables_fail_on_a_far_state) {
  // A transition whose state lies far outside the table has no entry to
  // save; the rule's own check fails it.
  EpisodeList episodes = walks(4, 5000);
  episodes[2].transitions[0].state = std::uint64_t{1} << 40;
  episodes[2].transitions[0].action = 0;
  const Qlearner l = walker(1000, 0.0);
  Run run;
  const std::string error =
      check::captured_error([&] { run = run_learn(l, episodes, Qlearner::learn_single_episode_forward_Q); });
  CHECK_EQ(run.failure,
           std::string("index out of bounds: state 1099511627776 is not below the number of states, 5000"));
  CHECK(error.find("state 1099511627776") != std::string::npos);
  CHECK_EQ(run.out, std::string());
}

TEST(large_tables_fail_on_an_empty_episode_under_the_backward_rule) {
  // The backward rule writes every entry but an episode's last: an empty
  // episode has no entry to save, and the rule's own failure stands.
  const EpisodeList episodes(1);
  Run run;
  const std::string error = check::captured_error(
      [&] { run = run_learn(walker(10, 0.0), episodes, Qlearner::learn_single_episode_backward_TD); });
  const std::string text =
      "index out of range: the backward rule reads the last transition of an episode, but the episode has "
      "length 0";
  CHECK_EQ(run.failure, text);
  CHECK_EQ(error, "tarnel: " + text + "\n");
}

TEST(large_tables_stop_at_a_later_check_as_a_sum_per_iteration_does) {
  // Episodes of some 200 transitions: a batch is cut when its saved entries
  // pass a share of the table, so batches start anywhere, and one after the
  // first check must still end at the next check, where the run stops.
  const EpisodeList walked = walks(300, 5000);
  EpisodeList episodes(25);
  for (std::size_t k = 0; k < walked.size(); ++k) {
    auto& into = episodes[k % episodes.size()].transitions;
    into.insert(into.end(), walked[k].transitions.begin(), walked[k].transitions.end());
  }
  // d is 0.041 at the first check, 0.00096 at the second.
  const Qlearner l = walker(200000, 0.01);
  const Run batched = run_learn(l, episodes, Qlearner::learn_single_episode_forward_Q);
  const Run plain = run_learn(l, episodes, plain_forward);
  CHECK_EQ(std::count(plain.out.begin(), plain.out.end(), '\n'), 2);
  check_same(batched, plain);
}

TEST(large_tables_stop_at_a_check_a_batch_starts_at) {
  // Episodes of 300 transitions: three fill more than a 32nd of the 20000
  // entries with saved values, so every batch is cut after three
  // iterations; the one ending at the first check starts at 49998, and so
  // one starts at iteration 75000, the check where the run stops. That
  // batch must end there, not run on past the check.
  std::vector<Transition> walked;
  for (const Episode& e : walks(2000, 5000))
    walked.insert(walked.end(), e.transitions.begin(), e.transitions.end());
  EpisodeList episodes(walked.size() / 300);
  for (std::size_t k = 0; k < episodes.size(); ++k) {
    episodes[k].transitions.assign(walked.begin() + static_cast<std::ptrdiff_t>(k * 300),
                                   walked.begin() + static_cast<std::ptrdiff_t>(k * 300 + 300));
  }
  // d is 0.14 at the first check, 0.00053 at the second.
  const Qlearner l = walker(200000, 0.01);
  const Run batched = run_learn(l, episodes, Qlearner::learn_single_episode_forward_Q);
  const Run plain = run_learn(l, episodes, plain_forward);
  CHECK_EQ(std::count(plain.out.begin(), plain.out.end(), '\n'), 2);
  check_same(batched, plain);
}

TEST(large_tables_sum_a_short_batch_after_a_long_one) {
  // One entry written by every iteration, counting them (alpha = gamma = 1,
  // a step from the state to itself): the one-iteration batch at the first
  // check follows batches of several savings of that same entry, and its
  // sum is the table's, not one of those earlier values.
  Qlearner l;
  l.q_shape = {16384, 1};
  l.discount_factor = 1.0;
  l.learning_rate = 1.0;
  l.max_iterations = 50001;
  l.quit_threshold = 0.0;
  l.verbose = true;
  EpisodeList episodes(1);
  episodes[0].transitions = {{0, 0, 1.0, 0, false}};
  const Run batched = run_learn(l, episodes, Qlearner::learn_single_episode_forward_Q);
  const Run plain = run_learn(l, episodes, plain_forward);
  CHECK(plain.out.find("Iteration: 50000, Qsum: 50001,") == 0);
  check_same(batched, plain);
}

CHECK_MAIN
