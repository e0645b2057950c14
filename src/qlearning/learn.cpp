// The sequential driver: random replay of episodes with one update rule, a
// table sum after every iteration, and from iteration 50000 on a comparison
// of the means of the last two 25000-iteration windows of those sums.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "qlearning/qlearner.h"
#include "qlearning/progress.h"
#include "support/failure.h"
#include "support/table_sum.h"

namespace tarnel {

namespace {

constexpr std::uint64_t check_start = 50000;
constexpr std::uint64_t check_period = 25000;
constexpr std::uint64_t window_width = 25000;

// Only the two most recent complete windows are ever compared, and the
// windows are aligned to multiples of 25000 (itself a multiple of 8), so each
// window's mean is accumulated as its sums arrive, in the table sum's order
// of additions. The result is bit-identical to summing a stored history, and
// memory does not grow with max_iterations.
class WindowMeans {
 public:
  void add(double sum) {
    current_.add(sum);
    if (current_.count() == window_width) {
      older_ = recent_;
      recent_ = current_.total() / static_cast<double>(window_width);
      current_ = StreamingSum();
    }
  }
  // Relative change of the last complete window against the one before.
  double relative_change() const { return (recent_ - older_) / older_; }

 private:
  StreamingSum current_;
  double recent_ = 0.0;
  double older_ = 0.0;
};

}  // namespace

QTable Qlearner::learn(const EpisodeList& episodes, UpdateRule rule, Rng& rng) const {
  QTable q = zero_q_table(q_shape);
  // The sums are no longer stored, but a bound whose stored history could not
  // even be sized is still refused, as it always was.
  constexpr std::uint64_t max_history = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / sizeof(double);
  if (max_iterations > max_history) {
    fail("a history of " + std::to_string(max_iterations) +
         " table sums exceeds the largest possible allocation");
  }
  WindowMeans windows;
  const std::size_t entries = q.values.size();
  for (std::uint64_t i = 0; i < max_iterations; ++i) {
    rule(*this, q, pick_episode(episodes, rng));
    const double sum = table_sum(q.values.data(), entries);
    if (i >= check_start && i % check_period == 0) {
      const double d = windows.relative_change();
      if (verbose) write_progress_line(i, sum, d);
      if (quit_threshold > std::abs(d)) break;
    }
    windows.add(sum);
  }
  return q;
}

}  // namespace tarnel
