// The size check of every table.
#include "support/table_size.h"

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

}  // namespace tarnel
