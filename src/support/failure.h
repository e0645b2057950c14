// The one way the learning core reports a failure: a TrainingFailure carrying
// the message. The boundary turns it into the module's training-failure
// exception; nothing else about a failure crosses into Python.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tarnel {

class TrainingFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;

  // What the message alone cannot say: where in `data` the failure comes
  // from, or the causes of the workers that failed. They never change the
  // message; the boundary hands them to Python as the exception's notes.
  const std::vector<std::string>& notes() const { return notes_; }
  void add_note(std::string note) { notes_.push_back(std::move(note)); }

 private:
  std::vector<std::string> notes_;
};

// Writes the report on standard error at the moment the failure happens (a
// worker thread's failure would otherwise never be seen), then throws.
[[noreturn]] void fail(const std::string& message);

// The same report, returning the failure unthrown so that notes can be
// added first.
TrainingFailure make_failure(const std::string& message);

}  // namespace tarnel
