// Failure reports: written to standard error, then thrown.
#include "support/failure.h"

#include "support/console.h"

namespace tarnel {

TrainingFailure make_failure(const std::string& message) {
  console::report_failure(message);
  return TrainingFailure(message);
}

void fail(const std::string& message) { throw make_failure(message); }

}  // namespace tarnel
