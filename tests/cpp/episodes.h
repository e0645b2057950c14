// Episodes for the core's C++ tests: a plain list of transitions, turned
// into episode arrays and then into the compact form exactly as the module
// turns `data` into it, so every test trains on the path the module runs.
// Beside it, the oracle: the three rules and the sequential driver written
// plainly, one transition at a time with every index checked as it is read,
// which the compact path must match bit for bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "episode/compact.h"
#include "qlearning/learn.h"
#include "qlearning/progress.h"
#include "qlearning/qlearner.h"
#include "qlearning/rejected.h"
#include "qlearning/schedule.h"
#include "support/failure.h"
#include "support/table_sum.h"

namespace tarnel {

struct Episode {
  std::vector<Transition> transitions;
};
using EpisodeList = std::vector<Episode>;

inline Qlearner make_learner(QShape shape, double gamma, double alpha, std::uint64_t max_iterations,
                             double quit_threshold = 0.001, bool verbose = false) {
  Qlearner l;
  l.q_shape = shape;
  l.discount_factor = gamma;
  l.learning_rate = alpha;
  l.max_iterations = max_iterations;
  l.quit_threshold = quit_threshold;
  l.verbose = verbose;
  return l;
}

// The rows of `episodes` as float64 arrays (index 2^64 - 1 becomes 2^64,
// which reads back as 2^64 - 1), and views of them.
struct EpisodeArraysForTest {
  std::vector<std::vector<double>> rows;
  std::vector<ArrayView> views;

  explicit EpisodeArraysForTest(const EpisodeList& episodes) {
    for (const Episode& episode : episodes) {
      std::vector<double>& array = rows.emplace_back();
      for (const Transition& t : episode.transitions) {
        array.insert(array.end(), {static_cast<double>(t.state), static_cast<double>(t.action), t.reward,
                                   static_cast<double>(t.next_state), t.done ? 1.0 : 0.0});
      }
    }
    for (const auto& array : rows) {
      views.push_back({reinterpret_cast<const std::byte*>(array.data()), array.size() / 5, 5, 40, 8});
    }
  }
};

inline CompactEpisodeList compact_of(const EpisodeList& episodes, QShape shape, RowRead reads) {
  const EpisodeArraysForTest arrays(episodes);
  return compact_episodes(arrays.views, shape.first, shape.second, reads);
}

template <typename Index>
CompactEpisodes<Index> compact_as(const EpisodeList& episodes, QShape shape, RowRead reads) {
  const EpisodeArraysForTest arrays(episodes);
  return compact_episodes_as<Index>(arrays.views, shape.first, shape.second, reads);
}

// The module's drivers on a plain list, through the compact form.
// `learn` with one of the module's rules, chosen at run time.
inline QTable learn(const Qlearner& learner, const CompactEpisodeList& episodes, const RuleDescriptor& rule,
                    Rng& rng = thread_rng()) {
  if (&rule == &Qlearner::learn_single_episode_backward_TD) {
    return learner.learn<Qlearner::learn_single_episode_backward_TD>(episodes, rng);
  }
  if (&rule == &Qlearner::learn_single_episode_expected_sarsa) {
    return learner.learn<Qlearner::learn_single_episode_expected_sarsa>(episodes, rng);
  }
  return learner.learn<Qlearner::learn_single_episode_forward_Q>(episodes, rng);
}

inline QTable learn(const Qlearner& learner, const EpisodeList& episodes, const RuleDescriptor& rule,
                    Rng& rng = thread_rng()) {
  return learn(learner, compact_of(episodes, learner.q_shape, rule.reads), rule, rng);
}

inline QTable fast_learn(const Qlearner& learner, const EpisodeList& episodes, Rng& rng = thread_rng()) {
  return learner.fast_learn(compact_of(episodes, learner.q_shape, RowRead::next_state), rng);
}

inline QTable learn_until_convergence(const Qlearner& learner, const EpisodeList& episodes,
                                      Rng& rng = thread_rng()) {
  return learner.learn_until_convergence(compact_of(episodes, learner.q_shape, RowRead::next_state), rng);
}

inline QTable double_q(const Qlearner& learner, const EpisodeList& episodes, Rng& rng = thread_rng()) {
  return learner.double_q(compact_of(episodes, learner.q_shape, RowRead::next_state), rng);
}

inline TableStack learn_parallel(const Qlearner& learner, const EpisodeList& episodes,
                                 std::uint64_t ql_iter) {
  return learner.learn_parallel<Qlearner::learn_single_episode_forward_Q>(
      compact_of(episodes, learner.q_shape, RowRead::next_state), ql_iter);
}

inline TableStack learn_parallel(const Qlearner& learner, const EpisodeList& episodes,
                                 const RuleDescriptor& rule, std::uint64_t ql_iter) {
  assert(&rule == &Qlearner::learn_single_episode_forward_Q);
  (void)rule;
  return learn_parallel(learner, episodes, ql_iter);
}

inline TableStack td_learn_backward_parallel(const Qlearner& learner, const EpisodeList& episodes,
                                             std::uint64_t sample_size, std::uint64_t iter_ql,
                                             Rng& rng = thread_rng()) {
  return learner.td_learn_backward_parallel(compact_of(episodes, learner.q_shape, RowRead::none), sample_size,
                                            iter_ql, rng);
}

// One pass of a module rule over one plain episode, through the compact
// form built for the table's shape.
inline void apply(const RuleDescriptor& rule, const Qlearner& learner, QTable& q, const Episode& episode) {
  const CompactEpisodeList list = compact_of(EpisodeList{episode}, {q.states, q.actions}, rule.reads);
  std::visit([&](const auto& episodes) { rule(learner, q, episodes[0]); }, list);
}

namespace oracle {

// The rules written plainly: indexes checked as they are read, in the
// rule's order (the entry written, then the row read). Forward Q and
// expected SARSA differ only in what a non-terminal transition bootstraps
// from.
template <typename RowValue>
void one_step(const Qlearner& l, QTable& q, const Episode& episode, bool checks_next_state,
              RowValue row_value) {
  for (const Transition& t : episode.transitions) {
    check_entry(q, t);
    double& entry = q.at(t.state, t.action);
    const double old = entry;
    double target = t.reward;
    if (!t.done) {
      if (checks_next_state) check_next_state(q, t);
      target = t.reward + row_value(t) * l.discount_factor;
    }
    entry = (target - old) * l.learning_rate + old;
  }
}

inline void forward_Q(const Qlearner& l, QTable& q, const Episode& episode) {
  one_step(l, q, episode, true, [&](const Transition& t) {
    double m = std::numeric_limits<double>::lowest();
    for (std::uint64_t a = 0; a < q.actions; ++a) m = q.at(t.next_state, a) > m ? q.at(t.next_state, a) : m;
    return m;
  });
}

inline void expected_sarsa(const Qlearner& l, QTable& q, const Episode& episode) {
  one_step(l, q, episode, false, [&](const Transition& t) {
    double sum = 0.0;
    if (q.states == 1) {
      sum = table_sum(q.values.data(), q.actions);
    } else {
      for (std::uint64_t a = 0; a < q.actions; ++a) sum += q.at(t.state, a);
    }
    return sum / static_cast<double>(q.actions);
  });
}

inline void backward_TD(const Qlearner& l, QTable& q, const Episode& episode) {
  const auto& ts = episode.transitions;
  if (ts.empty()) {
    fail("index out of range: the backward rule reads the last transition of an episode, "
         "but the episode has length 0");
  }
  double g = ts.back().reward;
  for (std::size_t k = ts.size() - 1; k-- > 0;) {
    check_entry(q, ts[k]);
    double& entry = q.at(ts[k].state, ts[k].action);
    entry = l.learning_rate * g + entry * (1.0 - l.learning_rate);
    g = g * l.discount_factor + ts[k].reward;
  }
}

using Pass = void (*)(const Qlearner&, QTable&, const Episode&);

inline Pass pass_of(const RuleDescriptor& rule) {
  if (&rule == &Qlearner::learn_single_episode_backward_TD) return backward_TD;
  if (&rule == &Qlearner::learn_single_episode_expected_sarsa) return expected_sarsa;
  return forward_Q;
}

// The sequential driver with its whole history of table sums kept, a
// window's mean taken by summing its stored sums in the table sum's order.
inline QTable learn(const Qlearner& l, const EpisodeList& episodes, Pass pass, Rng& rng) {
  QTable q = zero_q_table(l.q_shape);
  std::vector<double> history;
  auto window_mean = [&](std::uint64_t end) {
    return table_sum(history.data() + end - check_period, check_period) / static_cast<double>(check_period);
  };
  for (std::uint64_t i = 0; i < l.max_iterations; ++i) {
    if (episodes.empty()) fail("cannot pick an episode: the episode list is empty");
    pass(l, q, episodes[uniform_index(rng, episodes.size())]);
    const double sum = table_sum(q.values.data(), q.values.size());
    if (is_check(i)) {
      const std::uint64_t end = i / check_period * check_period;
      const double recent = window_mean(end);
      const double older = window_mean(end - check_period);
      const double d = (recent - older) / older;
      if (l.verbose) write_progress_line(i, sum, d);
      if (l.quit_threshold > std::abs(d)) break;
    }
    history.push_back(sum);
  }
  return q;
}

}  // namespace oracle

}  // namespace tarnel
