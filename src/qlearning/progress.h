// The lines the sequential drivers print at their checkpoints, each written
// whole, in the console number format.
#pragma once

#include <cstdint>

namespace tarnel {

// `learn` and `fast_learn`, when verbose: "Iteration: <i>, Qsum: <sum>, d: <d>\n"
void write_progress_line(std::uint64_t i, double sum, double d);

// `learn_until_convergence`, always: "<i>: <E>, <P>, <D>\n"
void write_checkpoint_line(std::uint64_t i, double e, double p, double d);

// `double_q`, always: "Iteration: <i>, Qsum1 <sum_1>, Qsum2 <sum_2>\n"
void write_double_progress_line(std::uint64_t i, double sum_1, double sum_2);

}  // namespace tarnel
