// The drivers' progress lines: an iteration number after a fixed head, then
// labelled numbers. One builder serves all three lines, so they render
// numbers alike and each reaches the console as one piece.
#include "qlearning/progress.h"

#include <initializer_list>
#include <string>

#include "support/console.h"

namespace tarnel {

namespace {

struct Field {
  const char* label;
  double value;
};

void write_line(const char* head, std::uint64_t i, std::initializer_list<Field> fields) {
  std::string line = head + std::to_string(i);
  for (const Field& field : fields) {
    line += field.label;
    console::append_number(line, field.value);
  }
  line += '\n';
  console::write_line(line);
}

}  // namespace

void write_progress_line(std::uint64_t i, double sum, double d) {
  write_line("Iteration: ", i, {{", Qsum: ", sum}, {", d: ", d}});
}

void write_checkpoint_line(std::uint64_t i, double e, double p, double d) {
  write_line("", i, {{": ", e}, {", ", p}, {", ", d}});
}

void write_double_progress_line(std::uint64_t i, double sum_1, double sum_2) {
  write_line("Iteration: ", i, {{", Qsum1 ", sum_1}, {", Qsum2 ", sum_2}});
}

}  // namespace tarnel
