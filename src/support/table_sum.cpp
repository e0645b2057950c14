// The table sum and its one-value-at-a-time form.
#include "support/table_sum.h"

#include <cassert>
#include <cstring>

#include "support/cpu.h"
#include "support/dispatch.h"

namespace tarnel {

namespace {

// Four lanes: one AVX register where the processor has it, two SSE2
// registers otherwise. Lane j of `low` is partial sum p(j), of `high` p(j+4).
using Quad = double __attribute__((vector_size(32)));

// Adds four doubles from memory to `sum` (in place, so that no vector is
// passed by value between code compiled for different instruction sets).
__attribute__((always_inline)) inline void add_quad(Quad& sum, const double* p) {
  Quad v;
  std::memcpy(&v, p, sizeof v);
  sum += v;
}

// One version's total from its partial sums, then its tail, in the table
// sum's order.
__attribute__((always_inline)) inline double finish(const Quad& low, const Quad& high) {
  double total = 0.0;
  total += low[0] + high[0];
  total += low[1] + high[1];
  total += low[2] + high[2];
  total += low[3] + high[3];
  return total;
}

template <std::size_t kVersions>
__attribute__((always_inline)) inline void versions_sums(const double* values, std::size_t count,
                                                         const TablePatch* patch, const TablePatch* last,
                                                         double* sums) {
  const std::size_t whole = count - count % 8;
  Quad low[kVersions] = {};
  Quad high[kVersions] = {};
  std::size_t k = 0;
  for (;;) {
    // Blocks of 8 where no version differs: one load serves every version.
    const std::size_t clean_end = patch != last && patch->offset < whole ? patch->offset / 8 * 8 : whole;
    for (; k < clean_end; k += 8) {
      Quad a, b;
      std::memcpy(&a, values + k, sizeof a);
      std::memcpy(&b, values + k + 4, sizeof b);
      for (std::size_t t = 0; t < kVersions; ++t) {
        low[t] += a;
        high[t] += b;
      }
    }
    if (k == whole) break;
    // A block holding patched entries: each version's own eight values.
    double block[kVersions][8];
    for (std::size_t t = 0; t < kVersions; ++t) std::memcpy(block[t], values + k, sizeof block[t]);
    for (; patch != last && patch->offset < k + 8; ++patch) {
      for (std::size_t t = 0; t < kVersions; ++t) block[t][patch->offset - k] = patch->value[t];
    }
    for (std::size_t t = 0; t < kVersions; ++t) {
      add_quad(low[t], block[t]);
      add_quad(high[t], block[t] + 4);
    }
    k += 8;
  }
  for (std::size_t t = 0; t < kVersions; ++t) sums[t] = finish(low[t], high[t]);
  for (; k < count; ++k) {
    const bool patched = patch != last && patch->offset == k;
    for (std::size_t t = 0; t < kVersions; ++t) sums[t] += patched ? patch->value[t] : values[k];
    if (patched) ++patch;
  }
}

// Eight additions per block and version with four versions are eight
// independent vector chains: enough to keep two AVX adders busy, where a
// single sum leaves them idle waiting for each addition's result. The
// baseline version still gains from the overlap.
__attribute__((always_inline)) inline void sums_of_versions(const double* values, std::size_t count,
                                                            std::span<const TablePatch> patches,
                                                            std::size_t versions, double* sums) {
  assert(versions >= 1 && versions <= table_versions);
  const TablePatch* patch = patches.data();
  const TablePatch* last = patch + patches.size();
  // The body is inlined too, so it is compiled for the caller's target.
  with_constant<1, 2, 3, 4>(versions, [&](auto n) __attribute__((always_inline)) {
    versions_sums<decltype(n)::value>(values, count, patch, last, sums);
  });
}

// The eight partial sums are eight independent chains of additions, so
// running them as vector lanes changes no result: lane j still adds x[j],
// x[j+8], x[j+16], ... in that order. The chains' latency, not the
// instruction count, bounds a large table; on a small one the wider
// registers of the AVX2 version halve the instructions.
__attribute__((always_inline)) inline double sum_of_table(const double* values, std::size_t count) {
  double sum;
  versions_sums<1>(values, count, nullptr, nullptr, &sum);
  return sum;
}

}  // namespace

void table_sums_baseline(const double* values, std::size_t count, std::span<const TablePatch> patches,
                         std::size_t versions, double* sums) {
  sums_of_versions(values, count, patches, versions, sums);
}

TARNEL_TARGET_AVX2 void table_sums_avx2(const double* values, std::size_t count,
                                        std::span<const TablePatch> patches, std::size_t versions,
                                        double* sums) {
  sums_of_versions(values, count, patches, versions, sums);
}

double table_sum_baseline(const double* values, std::size_t count) { return sum_of_table(values, count); }

TARNEL_TARGET_AVX2 double table_sum_avx2(const double* values, std::size_t count) {
  return sum_of_table(values, count);
}

// Chosen when the library is loaded (support/cpu.h).
const auto table_sums_for_this_cpu = cpu::choose(table_sums_baseline, table_sums_avx2);

double (*const table_sum_for_this_cpu)(const double*, std::size_t) = cpu::choose(table_sum_baseline,
                                                                                 table_sum_avx2);

void table_sums(const double* values, std::size_t count, std::span<const TablePatch> patches,
                std::size_t versions, double* sums) {
  table_sums_for_this_cpu(values, count, patches, versions, sums);
}

}  // namespace tarnel
