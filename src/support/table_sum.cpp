// The table sum and its one-value-at-a-time form.
#include "support/table_sum.h"

#include <cstring>

namespace tarnel {

namespace {

// The eight partial sums are eight independent chains of additions, so
// running them as vector lanes changes no result: lane j still adds x[j],
// x[j+8], x[j+16], ... in that order. Two doubles per vector is the baseline
// x86-64 width (SSE2); wider units would not help, since the eight chains'
// latency, not the instruction count, is the limit.
using Pair = double __attribute__((vector_size(16)));

inline Pair load_pair(const double* p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

double table_sum(const double* values, std::size_t count) {
  const std::size_t whole = count - count % 8;
  Pair p01{}, p23{}, p45{}, p67{};
  for (std::size_t k = 0; k < whole; k += 8) {
    p01 += load_pair(values + k);
    p23 += load_pair(values + k + 2);
    p45 += load_pair(values + k + 4);
    p67 += load_pair(values + k + 6);
  }
  double total = 0.0;
  total += p01[0] + p45[0];
  total += p01[1] + p45[1];
  total += p23[0] + p67[0];
  total += p23[1] + p67[1];
  for (std::size_t k = whole; k < count; ++k) total += values[k];
  return total;
}

void StreamingSum::add(double x) {
  const auto slot = static_cast<std::size_t>(count_ % 8);
  pending_[slot] = x;
  ++count_;
  if (slot == 7) {
    for (std::size_t j = 0; j < 8; ++j) partial_[j] += pending_[j];
  }
}

double StreamingSum::total() const {
  double total = 0.0;
  for (std::size_t j = 0; j < 4; ++j) total += partial_[j] + partial_[j + 4];
  const auto pending = static_cast<std::size_t>(count_ % 8);
  for (std::size_t j = 0; j < pending; ++j) total += pending_[j];
  return total;
}

}  // namespace tarnel
