// The means `learn` compares at a check: of the table sums over the last two
// complete windows, each one check period wide and aligned to multiples of
// it (schedule.h).
#pragma once

#include <cstddef>
#include <vector>

#include "qlearning/schedule.h"
#include "support/table_sum.h"

namespace tarnel {

// Only the two most recent complete windows are ever compared, so only the
// sums of the window being filled are kept, and summed with the table sum
// when it is complete. The means are bit-identical to summing a stored
// history, and memory does not grow with max_iterations. A store per
// iteration is all `add` costs: on a small table an iteration takes a few
// dozen nanoseconds, and bookkeeping around it shows.
class WindowMeans {
 public:
  WindowMeans() : window_(check_period) {}
  void add(double sum) {
    window_[filled_] = sum;
    if (++filled_ == check_period) {
      older_ = recent_;
      recent_ = table_sum(window_.data(), check_period) / static_cast<double>(check_period);
      filled_ = 0;
    }
  }
  // Relative change of the last complete window against the one before.
  double relative_change() const { return (recent_ - older_) / older_; }

 private:
  std::vector<double> window_;
  std::size_t filled_ = 0;
  double recent_ = 0.0;
  double older_ = 0.0;
};

}  // namespace tarnel
