// Double Q-learning's choice of the next action when the chooser's row holds
// a NaN in its first column. That entry is where the scan starts, so it is
// the one a scan or a search starting one column later would miss: the call
// must fail, and its report must name column 0, for every action count the
// drivers specialise on (the search that finds the column for the report
// would otherwise run past the row).
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.h"
#include "episodes.h"
#include "qlearning/qlearner.h"
#include "support/failure.h"

using namespace tarnel;

namespace {

const double not_a_number = std::numeric_limits<double>::quiet_NaN();

TEST(double_q_nan_in_the_first_column_of_the_chooser) {
  // With 32 zero bytes as the seed the pick takes the first word and both
  // transitions draw table 1 (see test_drivers.cpp): the first writes NaN at
  // (1, 0) of table 1, the second makes table 1 choose from row 1.
  const std::vector<Transition> transitions = {{1, 0, not_a_number, 0, true}, {0, 0, 0.0, 1, false}};
  const std::string report = "tarnel: undefined order: row 1 of the updated table holds NaN at action 0, "
                             "so its best action cannot be chosen\n";
  for (std::uint64_t actions : {1u, 2u, 3u, 4u, 5u, 8u}) {
    std::fprintf(stderr, "  %llu actions\n", static_cast<unsigned long long>(actions));
    Qlearner learner;
    learner.q_shape = {2, actions};
    learner.discount_factor = 0.9;
    learner.learning_rate = 0.5;
    learner.max_iterations = 1;
    EpisodeList episodes(1);
    episodes[0].transitions = transitions;
    Rng rng(Seed{});
    bool failed = false;
    std::string out;
    const std::string err = check::captured_error([&] {
      out = check::captured_output([&] {
        try {
          double_q(learner, episodes, rng);
        } catch (const tarnel::TrainingFailure& failure) {
          failed = true;
          CHECK_EQ(std::string(failure.what()) + "\n", report.substr(std::string("tarnel: ").size()));
        }
      });
    });
    CHECK(failed);
    CHECK_EQ(err, report);
    CHECK_EQ(out, std::string());
  }
}

}  // namespace

CHECK_MAIN
