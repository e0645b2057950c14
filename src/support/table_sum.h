// The table sum: all entries of a table added in one fixed order, so every
// driver (and every optimisation of it) gets bit-identical sums. With K the
// largest multiple of 8 not above N, x[k] for k < K is added to partial sum
// p[k mod 8]; the total is 0.0 + (p0+p4) + (p1+p5) + (p2+p6) + (p3+p7), then
// x[K..N) are added one at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnel {

// The version for this processor, chosen once when the library is loaded:
// every iteration of `learn` sums its table, so a call costs one indirect
// jump and nothing more. Not for use from other objects' initialisation.
extern double (*const table_sum_for_this_cpu)(const double* values, std::size_t count);

inline double table_sum(const double* values, std::size_t count) {
  return table_sum_for_this_cpu(values, count);
}

// The sums of several versions of one table in one pass. Version t (t below
// `versions`, at most table_versions) holds values[k] at every entry except
// at the offsets listed in `patches` (sorted by offset, each offset once),
// where it holds patch.value[t]. sums[t] equals table_sum of version t bit
// for bit: each version adds in exactly that order. Side by side, the
// versions' chains of additions overlap, so the pass costs far less than
// `versions` separate sums on a large table.
inline constexpr std::size_t table_versions = 4;

struct TablePatch {
  std::size_t offset = 0;
  std::array<double, table_versions> value{};
};

void table_sums(const double* values, std::size_t count, std::span<const TablePatch> patches,
                std::size_t versions, double* sums);

// Both versions behind table_sum and table_sums, for the tests that hold them
// to the same bits (the AVX2 ones only where cpu::has_avx2()).
double table_sum_baseline(const double* values, std::size_t count);
double table_sum_avx2(const double* values, std::size_t count);
void table_sums_baseline(const double* values, std::size_t count, std::span<const TablePatch> patches,
                         std::size_t versions, double* sums);
void table_sums_avx2(const double* values, std::size_t count, std::span<const TablePatch> patches,
                     std::size_t versions, double* sums);

}  // namespace tarnel
