// The progress line shared by `learn` and `fast_learn`.
#pragma once

#include <cstdint>
#include <string>

#include "support/console.h"

namespace tarnel {

// "Iteration: <i>, Qsum: <sum>, d: <d>\n" in the console number format.
inline void write_progress_line(std::uint64_t i, double sum, double d) {
  std::string line = "Iteration: " + std::to_string(i) + ", Qsum: ";
  console::append_number(line, sum);
  line += ", d: ";
  console::append_number(line, d);
  line += '\n';
  console::write_line(line);
}

}  // namespace tarnel
