// The compact training form against the oracle's plain rules. On random
// single episodes, indexes out of range included, every rule and driver
// trained on compact records (both index widths) must leave the plain rule's
// table bit for bit, fail with its text and report at the same moment, and
// make the same draws. Also: the choice of index width at its boundary, and bootstrap
// copies sharing the rejected transitions of their population.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "check.h"
#include "episode/compact.h"
#include "episodes.h"
#include "qlearning/progress.h"
#include "qlearning/qlearner.h"
#include "qlearning/rejected.h"
#include "qlearning/worker_group.h"
#include "support/failure.h"
#include "support/table_sum.h"

using namespace tarnel;

namespace {

constexpr std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();

// Everything a run leaves behind that anyone could see.
struct Outcome {
  std::vector<double> table;
  std::string failure;  // the exception's text, empty when none
  std::string error;    // standard error
  std::string out;      // standard output
  std::uint32_t next_draw = 0;
};

template <typename Body>
Outcome observe(Rng& rng, Body body) {
  Outcome o;
  o.error = check::captured_error([&] {
    o.out = check::captured_output([&] {
      try {
        o.table = body();
      } catch (const TrainingFailure& failure) {
        o.failure = failure.what();
      }
    });
  });
  o.next_draw = rng.next_u32();
  return o;
}

#define CHECK_SAME_OUTCOME(a, b)                                                       \
  do {                                                                                 \
    const Outcome& same_x = (a);                                                       \
    const Outcome& same_y = (b);                                                       \
    CHECK_EQ(same_x.failure, same_y.failure);                                          \
    CHECK_EQ(same_x.error, same_y.error);                                              \
    CHECK_EQ(same_x.out, same_y.out);                                                  \
    /* A failed call may have drawn picks ahead that it never used. */                 \
    if (same_x.failure.empty()) CHECK_EQ(same_x.next_draw, same_y.next_draw);          \
    CHECK_EQ(same_x.table.size(), same_y.table.size());                                \
    for (std::size_t k = 0; k < same_x.table.size() && k < same_y.table.size(); ++k) { \
      CHECK_BITS(same_x.table[k], same_y.table[k]);                                    \
    }                                                                                  \
  } while (0)

// A small table and one episode whose indexes are out of range now and then
// (just past the table, or saturated), with rewards that are sometimes not
// finite, and a starting table that may hold NaN and infinities.
struct Case {
  Qlearner learner;
  Episode episode;
  std::vector<double> start;
};

Case random_case(std::mt19937_64& gen) {
  Case c;
  const std::uint64_t states = 1 + gen() % 4;
  const std::uint64_t actions = gen() % 5;  // 0 now and then: every checked transition fails
  c.learner.q_shape = {states, actions};
  c.learner.discount_factor = 0.9;
  c.learner.learning_rate = 0.5;
  c.learner.quit_threshold = 0.0;
  auto index = [&](std::uint64_t bound) -> std::uint64_t {
    switch (gen() % 12) {
      case 0: return bound + gen() % 3;
      case 1: return huge;
      default: return bound == 0 ? 0 : gen() % bound;
    }
  };
  auto value = [&]() {
    switch (gen() % 16) {
      case 0: return std::numeric_limits<double>::quiet_NaN();
      case 1: return -std::numeric_limits<double>::infinity();
      default: return static_cast<double>(static_cast<std::int64_t>(gen() % 2001) - 1000) / 64.0;
    }
  };
  const std::uint64_t length = gen() % 7;
  for (std::uint64_t k = 0; k < length; ++k) {
    const std::uint64_t s = index(states);
    const std::uint64_t a = index(actions);
    const double r = value();
    c.episode.transitions.push_back({s, a, r, index(states), gen() % 3 == 0});
  }
  for (std::uint64_t k = 0; k < states * actions; ++k) c.start.push_back(gen() % 4 == 0 ? value() : 0.0);
  return c;
}

QTable starting_table(const Case& c) {
  QTable q = zero_q_table(c.learner.q_shape);
  q.values = c.start;
  return q;
}

const RuleDescriptor* const rules[] = {&Qlearner::learn_single_episode_forward_Q,
                                       &Qlearner::learn_single_episode_backward_TD,
                                       &Qlearner::learn_single_episode_expected_sarsa};

template <typename Index>
CompactEpisodeList as_list(const Case& c, RowRead reads) {
  return compact_as<Index>(EpisodeList{c.episode}, c.learner.q_shape, reads);
}

// Double Q-learning on one episode, written plainly from its description,
// with the core's wording of its failures.
QTable plain_double_q(const Qlearner& l, const Episode& episode, Rng& rng) {
  QTable t1 = zero_q_table(l.q_shape);
  QTable t2 = zero_q_table(l.q_shape);
  for (std::uint64_t i = 0; i < l.max_iterations; ++i) {
    static_cast<void>(uniform_index(rng, 1));
    for (const Transition& t : episode.transitions) {
      const std::uint32_t w = rng.next_u32();
      const bool first = static_cast<float>(w >> 8) * 0x1p-24f < 0.5f;
      QTable& u = first ? t1 : t2;
      const QTable& e = first ? t2 : t1;
      check_entry(u, t);
      const double old = u.at(t.state, t.action);
      double target = t.reward;
      if (!t.done) {
        check_next_state(u, t);
        std::uint64_t best = 0;
        for (std::uint64_t a = 0; a < u.actions; ++a) {
          const double x = u.at(t.next_state, a);
          if (std::isnan(x)) {
            fail("undefined order: row " + std::to_string(t.next_state) +
                 " of the updated table holds NaN at action " + std::to_string(a) +
                 ", so its best action cannot be chosen");
          }
          if (x > u.at(t.next_state, best)) best = a;
        }
        target = t.reward + e.at(t.next_state, best) * l.discount_factor;
      }
      u.at(t.state, t.action) = (target - old) * l.learning_rate + old;
    }
    if (i % 25000 == 0)
      write_double_progress_line(i, table_sum(t1.values.data(), t1.values.size()),
                                 table_sum(t2.values.data(), t2.values.size()));
  }
  for (std::size_t k = 0; k < t1.values.size(); ++k) t1.values[k] = (t1.values[k] + t2.values[k]) / 2.0;
  return t1;
}

// The forward rule replayed `max_iterations` times on one episode, picking
// it as the drivers do.
QTable plain_replay(const Qlearner& l, const Episode& episode, Rng& rng) {
  QTable q = zero_q_table(l.q_shape);
  for (std::uint64_t i = 0; i < l.max_iterations; ++i) {
    static_cast<void>(uniform_index(rng, 1));
    oracle::forward_Q(l, q, episode);
  }
  return q;
}

}  // namespace

TEST(compact_passes_match_the_plain_rules) {
  std::mt19937_64 gen(13);
  int failures_seen = 0;
  for (int n = 0; n < 3000; ++n) {
    const Case c = random_case(gen);
    // The table after the pass, including what a failing pass wrote before
    // it failed.
    const auto outcome = [&](auto apply) {
      QTable q = starting_table(c);
      Rng unused(Seed{});
      Outcome o = observe(unused, [&] {
        apply(q);
        return std::vector<double>();
      });
      o.table = q.values;
      return o;
    };
    for (const RuleDescriptor* rule : rules) {
      const Outcome plain = outcome([&](QTable& q) { oracle::pass_of (*rule)(c.learner, q, c.episode); });
      failures_seen += !plain.failure.empty();
      const auto narrow = std::get<0>(as_list<std::uint32_t>(c, rule->reads));
      const auto wide = std::get<1>(as_list<std::uint64_t>(c, rule->reads));
      CHECK_SAME_OUTCOME(outcome([&](QTable& q) { rule->pass<std::uint32_t>()(c.learner, q, narrow[0]); }),
                         plain);
      CHECK_SAME_OUTCOME(outcome([&](QTable& q) { rule->pass<std::uint64_t>()(c.learner, q, wide[0]); }),
                         plain);
    }
  }
  // The random cases do exercise the failures.
  CHECK(failures_seen > 1000);
}

TEST(drivers_on_compact_records_match_the_plain_rules) {
  std::mt19937_64 gen(31);
  for (int n = 0; n < 400; ++n) {
    Case c = random_case(gen);
    c.learner.max_iterations = 1 + gen() % 3;
    const EpisodeList plain_list{c.episode};
    const Qlearner& l = c.learner;
    for (const RuleDescriptor* rule : rules) {
      Rng a(Seed{}), b(Seed{}), w(Seed{});
      const Outcome plain =
          observe(a, [&] { return oracle::learn(l, plain_list, oracle::pass_of(*rule), a).values; });
      CHECK_SAME_OUTCOME(observe(b, [&] { return learn(l, plain_list, *rule, b).values; }), plain);
      CHECK_SAME_OUTCOME(
          observe(w, [&] { return learn(l, as_list<std::uint64_t>(c, rule->reads), *rule, w).values; }),
          plain);
    }
    Rng a(Seed{}), b(Seed{});
    const Outcome replayed = observe(a, [&] { return plain_replay(l, c.episode, a).values; });
    CHECK_SAME_OUTCOME(observe(b, [&] { return fast_learn(l, plain_list, b).values; }), replayed);
    if (l.q_shape.second > 0) {
      // One iteration, so the convergence driver's line is the only extra.
      Qlearner once = l;
      once.max_iterations = 1;
      Rng x(Seed{}), y(Seed{});
      Outcome expected = observe(x, [&] { return plain_replay(once, c.episode, x).values; });
      const Outcome actual = observe(y, [&] { return learn_until_convergence(once, plain_list, y).values; });
      if (expected.failure.empty()) expected.out = actual.out;
      CHECK_SAME_OUTCOME(actual, expected);
    }
    Rng p(Seed{}), q(Seed{}), r(Seed{});
    const Outcome doubled = observe(p, [&] { return plain_double_q(l, c.episode, p).values; });
    CHECK_SAME_OUTCOME(observe(q, [&] { return double_q(l, plain_list, q).values; }), doubled);
    CHECK_SAME_OUTCOME(
        observe(r, [&] { return l.double_q(as_list<std::uint64_t>(c, RowRead::next_state), r).values; }),
        doubled);
  }
}

TEST(rejected_transitions_are_the_ones_the_rule_rejects) {
  // Backward TD never looks at the last transition but for its reward, nor
  // at any next state; expected SARSA never at a next state; forward Q at
  // the next state of a non-terminal transition only.
  const Episode episode{{{0, 0, 1.0, huge, false}, {0, 0, 1.0, huge, true}, {9, 9, 2.0, 9, false}}};
  const auto [forward, backward, sarsa] = [&] {
    const EpisodeList list{episode};
    return std::tuple{compact_as<std::uint32_t>(list, {2, 2}, RowRead::next_state),
                      compact_as<std::uint32_t>(list, {2, 2}, RowRead::none),
                      compact_as<std::uint32_t>(list, {2, 2}, RowRead::own_state)};
  }();
  using Record = CompactTransition<std::uint32_t>;
  const auto entries = [](const CompactEpisodes<std::uint32_t>& list) {
    std::vector<std::uint32_t> out;
    for (const Record& r : list[0].records) out.push_back(r.entry);
    return out;
  };
  CHECK(entries(forward) == (std::vector<std::uint32_t>{Record::rejected, 0, Record::rejected}));
  CHECK(entries(backward) == (std::vector<std::uint32_t>{0, 0, 0}));
  CHECK(entries(sarsa) == (std::vector<std::uint32_t>{0, 0, Record::rejected}));
  CHECK(forward[0].has_rejected && !backward[0].has_rejected && sarsa[0].has_rejected);
  // A rejected record points at its transition, kept as it was read and as
  // it was recorded, with its place in `data`.
  const RejectedTransition& kept = forward[0].kept(forward[0].records[2]);
  CHECK_EQ(kept.transition.action, 9u);
  CHECK_EQ(location(kept),
           std::string("episode 0 of data, row 2: state 9, action 9, reward 2, next state 9, terminal 0"));
  CHECK_EQ(
      location(forward[0].kept(forward[0].records[0])),
      std::string(
          "episode 0 of data, row 0: state 0, action 0, reward 1, next state 18446744073709552000, terminal 0"));
  CHECK_BITS(forward[0].records[2].reward, 2.0);
  // Rows: the next state's, the own state's, none for a terminal record.
  CHECK_EQ(sarsa[0].records[0].row, 0u);
  CHECK_EQ(forward[0].records[1].row, Record::terminal);
}

TEST(index_width_at_its_boundary) {
  // 2^32 - 1 = 65535 * 65537 entries still fit 32 bits, one more state's
  // worth does not; likewise 2^32 - 1 transitions, and any count of states
  // when there are no actions (every transition is rejected then).
  constexpr std::uint64_t mark = 0xffffffffu;
  CHECK(fits_32_bits(65537, 65535, 0));
  CHECK(!fits_32_bits(65538, 65535, 0));
  CHECK(!fits_32_bits(65536, 65536, 0));
  CHECK(fits_32_bits(1, 1, mark));
  CHECK(!fits_32_bits(1, 1, mark + 1));
  CHECK(fits_32_bits(huge, 0, 5));
  CHECK(!fits_32_bits(huge, 2, 5));
  CHECK(!fits_32_bits(2, huge, 5));

  // The last entry of the widest 32-bit table is an offset, not the mark.
  const EpisodeList list{Episode{{{65536, 65534, 1.0, 65536, false}}}};
  const CompactEpisodeList narrow = compact_of(list, {65537, 65535}, RowRead::next_state);
  CHECK_EQ(narrow.index(), 0u);
  const auto& records = std::get<0>(narrow)[0];
  CHECK(!records.has_rejected);
  CHECK_EQ(records.records[0].entry, mark - 1);
  CHECK_EQ(records.records[0].row, 65536u);
  const EpisodeList last{Episode{{{65535, 65535, 1.0, 65535, false}}}};
  const CompactEpisodeList wide = compact_of(last, {65536, 65536}, RowRead::next_state);
  CHECK_EQ(wide.index(), 1u);
  CHECK_EQ(std::get<1>(wide)[0].records[0].entry, (std::uint64_t{1} << 32) - 1);
}

TEST(bootstrap_copies_share_the_rejected_transitions) {
  // (The backward rule never checks an episode's last transition.)
  const EpisodeList list{Episode{{{0, 0, 1.0, 0, false}}},
                         Episode{{{7, 0, 1.0, 0, false}, {0, 0, 2.0, 0, false}}}};
  const auto population = compact_as<std::uint32_t>(list, {2, 2}, RowRead::none);
  CHECK_EQ(population.transition_count(), 3u);
  CHECK(population[1].has_rejected);
  auto sample = CompactEpisodes<std::uint32_t>::sharing(population, 3, 5);
  for (const std::size_t k : {1u, 0u, 1u}) sample.append_copy(population[k]);
  CHECK_EQ(sample.size(), 3u);
  CHECK_EQ(sample.transition_count(), 5u);
  CHECK(sample[0].has_rejected && !sample[1].has_rejected && sample[2].has_rejected);
  // The copies point into the population's list of rejected transitions,
  // not a copy of it.
  CHECK(&sample[2].kept(sample[2].records[0]) == &population[1].kept(population[1].records[0]));

  // A worker that draws the rejected transition fails as the plain rule
  // would, and reports that rule's failure; the call fails on the join.
  Qlearner l;
  l.q_shape = {2, 2};
  l.max_iterations = 1;
  const EpisodeList bad{Episode{{{7, 0, 1.0, 0, false}, {0, 0, 1.0, 0, false}}}};
  Rng rng(Seed{});
  std::string failure;
  std::vector<std::string> notes;
  const std::string error = check::captured_error([&] {
    try {
      td_learn_backward_parallel(l, bad, 1, 1, rng);
    } catch (const TrainingFailure& f) {
      failure = f.what();
      notes = f.notes();
    }
  });
  CHECK_EQ(failure, std::string(worker_join_failure));
  CHECK((notes == std::vector<std::string>{
                      "worker 0 (1 of 1): index out of bounds: state 7 is not below the number of states, 2; "
                      "episode 0 of data, row 0: state 7, action 0, reward 1, next state 0, terminal 0"}));
  CHECK_EQ(error, "tarnel: index out of bounds: state 7 is not below the number of states, 2\ntarnel: " +
                      std::string(worker_join_failure) + "\n");
}

// An empty episode has no record to carry its place in `data`: a sample
// keeps the places of the empty episodes it copies, and the backward rule's
// failure on one names it.
TEST(an_empty_episode_is_named_by_its_place_in_data) {
  // The first of `data` too, which a sample copies to a later place.
  const EpisodeList list{Episode{}, Episode{{{0, 0, 1.0, 0, true}}}, Episode{}, Episode{}};
  const auto population = compact_as<std::uint32_t>(list, {2, 2}, RowRead::none);
  auto sample = CompactEpisodes<std::uint32_t>::sharing(population, 4, 1);
  for (const std::size_t k : {1u, 3u, 2u, 0u}) sample.append_copy(population[k]);
  struct Case {
    const CompactEpisodes<std::uint32_t>* list;
    std::size_t k;
    const char* note;
  };
  for (const Case& c :
       {Case{&population, 0, "episode 0 of data: no rows"},
        Case{&population, 2, "episode 2 of data: no rows"}, Case{&sample, 1, "episode 3 of data: no rows"},
        Case{&sample, 2, "episode 2 of data: no rows"}, Case{&sample, 3, "episode 0 of data: no rows"}}) {
    QTable q = zero_q_table({2, 2});
    std::vector<std::string> notes;
    const std::string error = check::captured_error([&] {
      try {
        Qlearner::learn_single_episode_backward_TD(Qlearner{}, q, (*c.list)[c.k]);
      } catch (const TrainingFailure& failure) {
        notes = failure.notes();
      }
    });
    CHECK((notes == std::vector<std::string>{c.note}));
    CHECK_EQ(error,
             std::string("tarnel: index out of range: the backward rule reads the last transition of an "
                         "episode, but the episode has length 0\n"));
  }
}

// A large record array is advised onto huge pages, whole: the mapping holding
// its last byte has the advice flag (`hg` in /proc/self/smaps).
TEST(large_record_arrays_are_advised_onto_huge_pages) {
  std::string modes;
  std::getline(std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled"), modes);
  if (modes.empty() || modes.find("[never]") != std::string::npos) return;  // nothing to advise
  RecordAllocator<double> allocator;
  const std::size_t n = RecordAllocator<double>::large / sizeof(double) + 1;
  double* records = allocator.allocate(n);
  const auto last = reinterpret_cast<std::uintptr_t>(records + n) - 1;
  std::ifstream smaps("/proc/self/smaps");
  bool holds_it = false, advised = false;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long low = 0, high = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &low, &high) == 2) holds_it = low <= last && last < high;
    if (holds_it && line.starts_with("VmFlags:")) advised = (line + " ").find(" hg ") != std::string::npos;
  }
  allocator.deallocate(records, n);
  CHECK(advised);
}

CHECK_MAIN
