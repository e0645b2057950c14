// Failure reports: written to standard error, then thrown.
#include "support/failure.h"

#include "support/console.h"

namespace tarnel {

void fail(const std::string& message) {
  console::report_failure(message);
  throw TrainingFailure(message);
}

}  // namespace tarnel
