// The one way the learning core reports a failure: a TrainingFailure carrying
// the message. The boundary turns it into the module's training-failure
// exception; nothing else about a failure crosses into Python.
#pragma once

#include <stdexcept>
#include <string>

namespace tarnel {

class TrainingFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes the report on standard error at the moment the failure happens (a
// worker thread's failure would otherwise never be seen), then throws.
[[noreturn]] void fail(const std::string& message);

}  // namespace tarnel
