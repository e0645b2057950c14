// The learner's text form, printed in the parallel driver's configuration
// line: "Qlearner { q_shape: (16, 4), discount_factor: 0.9, ... }".
#include <charconv>
#include <cstdint>
#include <string>

#include "qlearning/qlearner.h"
#include "support/console.h"

namespace tarnel {
namespace {

void append_unsigned(std::string& out, std::uint64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace

std::string to_string(const Qlearner& learner) {
  std::string out = "Qlearner { q_shape: (";
  append_unsigned(out, learner.q_shape.first);
  out += ", ";
  append_unsigned(out, learner.q_shape.second);
  out += "), discount_factor: ";
  console::append_text_float(out, learner.discount_factor);
  out += ", learning_rate: ";
  console::append_text_float(out, learner.learning_rate);
  out += ", max_iterations: ";
  append_unsigned(out, learner.max_iterations);
  out += ", quit_threshold: ";
  console::append_text_float(out, learner.quit_threshold);
  out += ", verbose: ";
  out += learner.verbose ? "true" : "false";
  out += " }";
  return out;
}

}  // namespace tarnel
