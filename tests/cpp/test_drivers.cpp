// The fast, convergence and double Q drivers on single-episode runs, which
// are deterministic, checked against hand-derived tables and the exact lines
// they print. The double Q cases use a generator seeded with 32 zero bytes,
// whose first draws are known: 6a9af49b 53f95507 12ce1f81 d583265f bbc32904
// 1474e049 a589007e 5f15ae2e 4188d50b. With one episode the pick takes the
// first word (accepted: its top bit is 0), so the coins of the transitions
// come from the second word on: table 1, 1, 2, 2, 1, 2, 1, 1.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include <unistd.h>

#include "check.h"
#include "episodes.h"
#include "qlearning/qlearner.h"
#include "support/failure.h"

using tarnel::Episode;
using tarnel::EpisodeList;
using tarnel::Qlearner;
using tarnel::QTable;
using tarnel::Rng;
using tarnel::Seed;
using tarnel::Transition;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
const double not_a_number = std::numeric_limits<double>::quiet_NaN();

// What a driver call left behind: everything it wrote on file descriptor 1,
// its table when it returned one, and whether it failed.
struct Run {
  std::string out;
  QTable table;
  bool failed = false;
};

// Runs `driver`, capturing what it writes on file descriptor 1.
template <typename Driver>
Run capture(Driver&& driver) {
  Run run;
  run.out = check::captured_output([&] {
    try {
      run.table = driver();
    } catch (const tarnel::TrainingFailure&) {
      run.failed = true;
    }
  });
  return run;
}

Qlearner learner(std::uint64_t states, std::uint64_t actions, double gamma, double alpha,
                 std::uint64_t max_iterations, double quit_threshold = 0.001, bool verbose = true) {
  return tarnel::make_learner({states, actions}, gamma, alpha, max_iterations, quit_threshold, verbose);
}

EpisodeList one_episode(std::vector<Transition> transitions) {
  EpisodeList list(1);
  list[0].transitions = std::move(transitions);
  return list;
}

// With alpha = gamma = 1 this transition adds 1 to Q[0, 0] on every replay
// (target 1 + max of row 0, which is Q[0, 0] itself while it leads the row),
// so the entry counts the updates applied.
const Transition counter{0, 0, 1.0, 0, false};

// Bitwise, except that any NaN matches a wanted NaN: inf - inf gives a NaN
// whose sign the hardware chooses.
void check_table(const QTable& got, const std::vector<double>& want) {
  CHECK_EQ(got.values.size(), want.size());
  for (std::size_t k = 0; k < want.size() && k < got.values.size(); ++k) {
    if (std::isnan(want[k])) {
      CHECK(std::isnan(got.values[k]));
    } else {
      CHECK_BITS(got.values[k], want[k]);
    }
  }
}

struct DriverCase {
  const char* name;
  Qlearner learner;
  EpisodeList episodes;
  std::string lines;
  std::vector<double> table;  // storage order
};

using Driver = QTable (*)(const Qlearner&, const EpisodeList&, Rng&);

void run_cases(const std::vector<DriverCase>& cases, Driver driver) {
  for (const DriverCase& c : cases) {
    std::fprintf(stderr, "  case %s\n", c.name);
    Rng rng(Seed{});
    const Run run = capture([&] { return driver(c.learner, c.episodes, rng); });
    CHECK(!run.failed);
    CHECK_EQ(run.out, c.lines);
    check_table(run.table, c.table);
  }
}

}  // namespace

TEST(fast_learn_checkpoints) {
  run_cases(
      {
          // d compares the sum at this checkpoint with the one 25000 iterations
          // earlier: (50001 - 25001) / 25001, then (75001 - 50001) / 50001,
          // which is below the threshold and stops with 75001 updates applied.
          {"stops at the first d below the threshold",
           learner(1, 1, 1.0, 1.0, 1000000, 0.5),
           one_episode({counter}),
           "Iteration: 50000, Qsum: 50001, d: 0.999960001599936\n"
           "Iteration: 75000, Qsum: 75001, d: 0.499990000199996\n",
           {75001.0}},
          {"verbose off prints nothing but stops alike",
           learner(1, 1, 1.0, 1.0, 1000000, 0.5, false),
           one_episode({counter}),
           "",
           {75001.0}},
          {"no test up to 50000 iterations",
           learner(1, 1, 1.0, 1.0, 50000, 1e9),
           one_episode({counter}),
           "",
           {50000.0}},
          {"one test at 50001 iterations",
           learner(1, 1, 1.0, 1.0, 50001, 1e9),
           one_episode({counter}),
           "Iteration: 50000, Qsum: 50001, d: 0.999960001599936\n",
           {50001.0}},
          // Q[0, 1] holds -25001, so the sum is 0 at iteration 25000: d is
          // infinite and cannot stop the run.
          {"a zero sum before gives an infinite d",
           learner(1, 2, 1.0, 1.0, 75001),
           one_episode({counter, {0, 1, -25001.0, 0, true}}),
           "Iteration: 50000, Qsum: 25000, d: inf\n"
           "Iteration: 75000, Qsum: 50000, d: 1\n",
           {75001.0, -25001.0}},
          // Equal negative sums: d = 0 / -2 is negative zero; a threshold of 0
          // never stops.
          {"equal negative sums, threshold 0",
           learner(1, 1, 0.9, 1.0, 100001, 0.0),
           one_episode({{0, 0, -2.0, 0, true}}),
           "Iteration: 50000, Qsum: -2, d: -0\n"
           "Iteration: 75000, Qsum: -2, d: -0\n"
           "Iteration: 100000, Qsum: -2, d: -0\n",
           {-2.0}},
          {"equal sums stop at the first test",
           learner(1, 1, 0.9, 1.0, 1000000),
           one_episode({{0, 0, -2.0, 0, true}}),
           "Iteration: 50000, Qsum: -2, d: -0\n",
           {-2.0}},
          {"NaN never stops",
           learner(1, 1, 0.9, 1.0, 75001, inf),
           one_episode({{0, 0, not_a_number, 0, true}}),
           "Iteration: 50000, Qsum: NaN, d: NaN\n"
           "Iteration: 75000, Qsum: NaN, d: NaN\n",
           {not_a_number}},
          {"max_iterations 0 with no episode",
           learner(2, 2, 0.9, 0.5, 0),
           EpisodeList{},
           "",
           {0.0, 0.0, 0.0, 0.0}},
      },
      tarnel::fast_learn);
}

TEST(learn_until_convergence_checkpoints) {
  const double just_above = std::nextafter(1e-8, 1.0);
  run_cases(
      {
          // The previous table is the one from just before this checkpoint's
          // update, not from the previous checkpoint: P is 25000, not 1.
          {"counter never converges",
           learner(1, 2, 1.0, 1.0, 50001),
           one_episode({counter}),
           "0: 0.5, 0, 1\n"
           "25000: 0.5, 25000, 1\n"
           "50000: 0.5, 50000, 1\n",
           {50001.0, 0.0}},
          {"verbose and threshold change nothing",
           learner(1, 2, 1.0, 1.0, 50001, 1e9, false),
           one_episode({counter}),
           "0: 0.5, 0, 1\n"
           "25000: 0.5, 25000, 1\n"
           "50000: 0.5, 50000, 1\n",
           {50001.0, 0.0}},
          // 1e-8 - 0 is exactly the tolerance, which still counts as unchanged.
          {"a change of exactly 1e-8 stops",
           learner(1, 1, 0.9, 1.0, 1000000),
           one_episode({{0, 0, 1e-8, 0, true}}),
           "0: 0.00000001, 0, 0.00000001\n",
           {1e-8}},
          {"one ulp more goes on to the next checkpoint",
           learner(1, 1, 0.9, 1.0, 1000000),
           one_episode({{0, 0, just_above, 0, true}}),
           "0: 0.000000010000000000000002, 0, 0.000000010000000000000002\n"
           "25000: 0, 0.000000010000000000000002, 0\n",
           {just_above}},
          // Entry 0 never changes: the comparison must look past it.
          {"a change in the last entry only goes on",
           learner(1, 2, 0.9, 1.0, 1000000),
           one_episode({{0, 1, 1.0, 0, true}}),
           "0: 0.5, 0, 1\n"
           "25000: 0, 1, 0\n",
           {0.0, 1.0}},
          {"all-zero rewards stop at once",
           learner(2, 2, 0.9, 0.5, 1000000),
           one_episode({{0, 1, 0.0, 1, false}, {1, 0, 0.0, 0, true}}),
           "0: 0, 0, 0\n",
           {0.0, 0.0, 0.0, 0.0}},
          {"NaN never stops",
           learner(1, 1, 0.9, 1.0, 25001),
           one_episode({{0, 0, not_a_number, 0, true}}),
           "0: NaN, 0, NaN\n"
           "25000: NaN, NaN, NaN\n",
           {not_a_number}},
          {"an infinite entry does not stop",
           learner(1, 1, 0.9, 1.0, 1),
           one_episode({{0, 0, inf, 0, true}}),
           "0: inf, 0, inf\n",
           {inf}},
          {"max_iterations 0 with no episode", learner(1, 2, 0.9, 0.5, 0), EpisodeList{}, "", {0.0, 0.0}},
      },
      tarnel::learn_until_convergence);
}

TEST(learn_until_convergence_stops_after_one_update) {
  // The stop at iteration 0 prints only its line: the next checkpoint would
  // have printed another.
  Rng rng(Seed{});
  const Run run = capture([&] {
    return tarnel::learn_until_convergence(learner(2, 2, 0.9, 0.5, 1000000),
                                           one_episode({{0, 1, 0.0, 1, false}}), rng);
  });
  CHECK_EQ(run.out, std::string("0: 0, 0, 0\n"));
}

TEST(learn_until_convergence_empty_table_fails_before_printing) {
  // Only an episode without transitions can reach the checkpoint on a table
  // with no entries; the mean difference is then undefined.
  Rng rng(Seed{});
  const Run run = capture(
      [&] { return tarnel::learn_until_convergence(learner(0, 2, 0.9, 0.5, 5), EpisodeList(1), rng); });
  CHECK(run.failed);
  CHECK_EQ(run.out, std::string());
}

TEST(empty_episode_list_fails_without_output) {
  for (const Driver driver :
       {Driver{tarnel::fast_learn}, Driver{tarnel::learn_until_convergence}, Driver{tarnel::double_q}}) {
    Rng rng(Seed{});
    const Qlearner l = learner(2, 2, 0.9, 0.5, 1);
    const Run run = capture([&] { return driver(l, EpisodeList{}, rng); });
    CHECK(run.failed);
    CHECK_EQ(run.out, std::string());
  }
}

TEST(double_q_choose_with_one_table_value_with_the_other) {
  // 2 x 2, alpha = gamma = 1. Terminal transitions write rewards as they
  // are; the coin of each transition is noted beside it.
  const EpisodeList episodes = one_episode({
      {1, 0, 3.0, 0, true},    // table 1: row 1 = (3, 3)
      {1, 1, 3.0, 0, true},    // table 1
      {1, 0, 10.0, 0, true},   // table 2: row 1 = (10, 20)
      {1, 1, 20.0, 0, true},   // table 2
      {0, 0, 0.5, 1, false},   // table 1 chooses on a tie: first action, valued 10 by table 2
      {0, 1, 0.0, 1, false},   // table 2 chooses action 1, valued 3 by table 1
      {1, 0, 1.0, 0, true},    // table 1: row 1 = (1, 3)
      {0, 1, 0.25, 1, false},  // table 1 chooses action 1, valued 20 by table 2
  });
  Rng rng(Seed{});
  const Run run = capture([&] { return tarnel::double_q(learner(2, 2, 1.0, 1.0, 1), episodes, rng); });
  CHECK(!run.failed);
  // Table 1 = ((10.5, 20.25), (1, 3)), table 2 = ((0, 3), (10, 20)).
  CHECK_EQ(run.out, std::string("Iteration: 0, Qsum1 34.75, Qsum2 33\n"));
  check_table(run.table, {5.25, 5.5, 11.625, 11.5});
}

TEST(double_q_not_a_number) {
  struct Case {
    const char* name;
    std::vector<Transition> transitions;
    bool fails;
    std::vector<double> table;  // when it does not fail
  };
  const std::vector<Case> cases = {
      // Column 0 is compared with itself, so a NaN there fails too.
      {"NaN at the chooser's first action", {{1, 0, not_a_number, 0, true}, {0, 0, 0.0, 1, false}}, true, {}},
      {"NaN at the chooser's second action",
       {{1, 1, not_a_number, 0, true}, {0, 0, 0.0, 1, false}},
       true,
       {}},
      // Table 2 holds the NaN; it fails only once table 2 is the chooser.
      {"NaN in the evaluator's row propagates",
       {{0, 0, 0.0, 0, true},
        {0, 0, 0.0, 0, true},
        {1, 0, not_a_number, 0, true},
        {1, 1, 1.0, 0, true},
        {0, 0, 2.0, 1, false}},
       false,
       {not_a_number, not_a_number, 0.0, 0.5}},
      {"NaN in table 2 when it chooses",
       {{0, 0, 0.0, 0, true}, {0, 0, 0.0, 0, true}, {1, 0, not_a_number, 0, true}, {0, 0, 0.0, 1, false}},
       true,
       {}},
  };
  for (const Case& c : cases) {
    std::fprintf(stderr, "  case %s\n", c.name);
    Rng rng(Seed{});
    const Run run = capture(
        [&] { return tarnel::double_q(learner(2, 2, 1.0, 1.0, 1), one_episode(c.transitions), rng); });
    CHECK_EQ(run.failed, c.fails);
    if (c.fails) {
      CHECK_EQ(run.out, std::string());
    } else {
      check_table(run.table, c.table);
    }
  }
}

TEST(double_q_mean_of_opposite_infinities_is_nan) {
  const EpisodeList episodes = one_episode({
      {0, 0, inf, 0, true},   // table 1
      {0, 1, inf, 0, true},   // table 1
      {0, 0, -inf, 0, true},  // table 2
      {0, 1, inf, 0, true},   // table 2
  });
  Rng rng(Seed{});
  const Run run = capture([&] { return tarnel::double_q(learner(1, 2, 0.9, 1.0, 1), episodes, rng); });
  CHECK_EQ(run.out, std::string("Iteration: 0, Qsum1 inf, Qsum2 NaN\n"));
  check_table(run.table, {not_a_number, inf});
}

TEST(double_q_index_checks) {
  struct Case {
    const char* name;
    Transition t;
    bool fails;
  };
  const std::vector<Case> cases = {
      {"state", {2, 0, 1.0, 0, true}, true},
      {"action", {0, 2, 1.0, 0, true}, true},
      {"next state of a step", {0, 0, 1.0, 2, false}, true},
      {"next state of a terminal transition is not read", {0, 0, 1.0, 1000000000, true}, false},
  };
  for (const Case& c : cases) {
    std::fprintf(stderr, "  case %s\n", c.name);
    Rng rng(Seed{});
    const Run run =
        capture([&] { return tarnel::double_q(learner(2, 2, 0.9, 0.5, 1), one_episode({c.t}), rng); });
    CHECK_EQ(run.failed, c.fails);
    // Pick and coin, nothing more: the coin is drawn before any index test.
    CHECK_EQ(rng.next_u32(), 0x12ce1f81u);
  }
}

TEST(double_q_progress_lines) {
  // A line after iteration 0 and after 25000, whatever verbose says; by then
  // both tables have converged to the reward.
  for (const bool verbose : {false, true}) {
    Rng rng(Seed{});
    const Run run = capture([&] {
      return tarnel::double_q(learner(2, 2, 0.9, 0.5, 25001, 0.001, verbose),
                              one_episode({{0, 1, 1.0, 0, true}}), rng);
    });
    CHECK_EQ(run.out, std::string("Iteration: 0, Qsum1 0.5, Qsum2 0\n"
                                  "Iteration: 25000, Qsum1 1, Qsum2 1\n"));
    check_table(run.table, {0.0, 0.0, 1.0, 0.0});
  }
  Rng rng(Seed{});
  const Run once = capture(
      [&] { return tarnel::double_q(learner(2, 2, 0.9, 0.5, 1), one_episode({{0, 1, 1.0, 0, true}}), rng); });
  CHECK_EQ(once.out, std::string("Iteration: 0, Qsum1 0.5, Qsum2 0\n"));
  check_table(once.table, {0.0, 0.0, 0.25, 0.0});
  const Run none = capture([&] { return tarnel::double_q(learner(2, 2, 0.9, 0.5, 0), EpisodeList{}, rng); });
  CHECK(!none.failed);
  CHECK_EQ(none.out, std::string());
  check_table(none.table, {0.0, 0.0, 0.0, 0.0});
}

TEST(double_q_chooses_the_first_action_when_it_leads) {
  // Only action 0 is ever written, so row 1 leads with action 0 in both
  // tables once its terminal transition has been replayed; the step from
  // state 0 must choose it and bootstrap from it, never from the unwritten
  // action 1.
  const EpisodeList episodes = one_episode({{1, 0, 1.0, 0, true}, {0, 0, 0.0, 1, false}});
  Rng rng(Seed{});
  const Run run = capture([&] { return tarnel::double_q(learner(2, 2, 0.9, 0.5, 200), episodes, rng); });
  CHECK(!run.failed);
  CHECK(run.table.at(0, 0) > 0.5);
  CHECK(run.table.at(0, 0) < 0.9);
  CHECK_BITS(run.table.at(0, 1), 0.0);
  CHECK_BITS(run.table.at(1, 1), 0.0);
}

TEST(learn_goes_on_when_the_change_equals_the_threshold) {
  // With alpha = 1 the single entry is 1 from the first iteration on, so
  // the windows' means are equal and the change at every check is exactly
  // 0: a threshold of 0 is not above it, and the run goes to its end.
  Rng rng(Seed{});
  const Run run = capture([&] {
    return tarnel::learn(learner(1, 1, 0.9, 1.0, 75001, 0.0), one_episode({{0, 0, 1.0, 0, true}}),
                         Qlearner::learn_single_episode_forward_Q, rng);
  });
  CHECK(!run.failed);
  CHECK_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2);
  CHECK(run.out.find("75000") != std::string::npos);
  check_table(run.table, {1.0});
}

CHECK_MAIN
