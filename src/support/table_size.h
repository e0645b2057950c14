// The size check every table passes before anything is allocated for it: a
// Q table, a stack of them, a table of visit counts.
#pragma once

#include <cstdint>

namespace tarnel {

// Fails when the product of the non-zero extents, or its size in bytes, does
// not fit a signed 64-bit size (checked before any allocation).
void check_table_size(std::uint64_t a, std::uint64_t b, std::uint64_t c = 1);

}  // namespace tarnel
