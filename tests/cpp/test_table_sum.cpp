// The table sum against its definition written out plainly, on values where
// any other order of additions gives other bits, and the streaming form
// against the table sum for every prefix.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "check.h"
#include "support/cpu.h"
#include "support/table_sum.h"

namespace {

// Eight partial sums over the whole blocks of 8, the total from 0.0 adding
// (p0+p4), (p1+p5), (p2+p6), (p3+p7), then the tail one value at a time.
double reference_sum(const std::vector<double>& x) {
  const std::size_t whole = x.size() / 8 * 8;
  double p[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  for (std::size_t k = 0; k < whole; ++k) p[k % 8] += x[k];
  double total = 0.0;
  total += p[0] + p[4];
  total += p[1] + p[5];
  total += p[2] + p[6];
  total += p[3] + p[7];
  for (std::size_t k = whole; k < x.size(); ++k) total += x[k];
  return total;
}

// Large and small magnitudes in a scrambled order, so that cancellation
// depends on which values meet in which addition; with signed zeros and
// values near the bottom of the range.
std::vector<double> order_sensitive(std::size_t n) {
  const double pattern[] = {1e16, 1.0, -1e16, 3.0, 0.1, -0.0, 2.5e15, 1e-300, -1e16, 7.0, 1e16, -0.3};
  std::vector<double> x(n);
  std::uint32_t state = 12345;
  for (std::size_t k = 0; k < n; ++k) {
    state = state * 1103515245u + 12345u;
    x[k] = pattern[(state >> 16) % 12] * (1.0 + static_cast<double>(k % 7) * 1e-3);
  }
  return x;
}

}  // namespace

TEST(table_sum_follows_the_fixed_order) {
  for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 16u, 17u, 1000u, 1003u}) {
    const auto x = order_sensitive(n);
    CHECK_BITS(tarnel::table_sum(x.data(), x.size()), reference_sum(x));
  }
  // The order is observable on these sizes: a plain left-to-right sum differs.
  const auto x = order_sensitive(17);
  double left_to_right = 0.0;
  for (double v : x) left_to_right += v;
  CHECK(!check::same_bits(left_to_right, reference_sum(x)));
}

// The drivers run whichever version this processor takes, and the sanitizer
// builds run the same one; each version must give the fixed order's bits.
TEST(every_processor_version_follows_the_fixed_order) {
  for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 17u, 1003u}) {
    const auto x = order_sensitive(n);
    CHECK_BITS(tarnel::table_sum_baseline(x.data(), x.size()), reference_sum(x));
    if (tarnel::cpu::has_avx2()) CHECK_BITS(tarnel::table_sum_avx2(x.data(), x.size()), reference_sum(x));
  }
}

// The processor check reads cpuid itself; it must agree with the compiler's
// own table (filled here, where the build uses g++), or a build would run
// the AVX2 path on a processor without it, or never run it.
TEST(the_processor_check_agrees_with_the_compilers) {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
  __builtin_cpu_init();
  CHECK(tarnel::cpu::has_avx2() == (__builtin_cpu_supports("avx2") != 0));
#endif
}

TEST(table_sum_special_values) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::vector<double>> cases = {
      {-0.0},  // the total starts at +0.0
      {-0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0},
      {inf, 1.0, 2.0, 3.0, -inf, 5.0, 6.0, 7.0},       // inf in p0, -inf in p4: NaN
      {inf, 1.0, 2.0, 3.0, 4.0, -inf, 6.0, 7.0, 8.0},  // different partial sums: NaN at the end only
      {1.0, nan, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0},
      {1e308, 1e308, 0, 0, -1e308, -1e308, 0, 0},  // overflow inside (p0+p4) and (p1+p5)
      {1e16, 1.0, -1e16, 1.0, 0, 0, 0, 0},         // 1.0 when the pairs are added in order
      {1e16, -1e16, 1.0, 1.0, 0, 0, 0, 0, 1.0},    // the tail after the pairs
  };
  for (const auto& x : cases) CHECK_BITS(tarnel::table_sum(x.data(), x.size()), reference_sum(x));
}

CHECK_MAIN
