// Making Q tables and checking table sizes before anything is allocated.
#include "qlearning/q_table.h"

#include <cstdint>
#include <limits>
#include <string>

#include "support/failure.h"

namespace tarnel {

void check_table_size(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  // Only the non-zero extents count: an empty table of shape (0, 2^63) is
  // fine, it holds nothing.
  constexpr std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t count = 1;
  for (const std::uint64_t extent : {a, b, c}) {
    if (extent == 0) continue;
    if (count > limit / extent) {
      fail("table of " + std::to_string(a) + " x " + std::to_string(b) +
           (c == 1 ? std::string() : " x " + std::to_string(c)) +
           " entries exceeds the largest possible allocation");
    }
    count *= extent;
  }
  if (count > limit / sizeof(double)) {
    fail("table of " + std::to_string(count) + " entries exceeds the largest possible allocation");
  }
}

QTable zero_q_table(QShape q_shape) {
  check_table_size(q_shape.first, q_shape.second);
  QTable table;
  table.states = q_shape.first;
  table.actions = q_shape.second;
  table.values.assign(q_shape.first * q_shape.second, 0.0);
  return table;
}

}  // namespace tarnel
