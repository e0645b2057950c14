// Driven by format_oracle.py: reads one double per line as a hexadecimal bit
// pattern on stdin and prints its console form and its text form, separated
// by a tab, one line per input.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/console.h"

int main() {
  char line[64];
  std::string out;
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    const std::size_t length = std::strcspn(line, "\r\n");
    std::uint64_t bits = 0;
    const auto parsed = std::from_chars(line, line + length, bits, 16);
    if (parsed.ec != std::errc() || parsed.ptr != line + length) {
      std::fprintf(stderr, "format_tool: bad input line: %.*s\n", static_cast<int>(length), line);
      return 2;
    }
    double value;
    std::memcpy(&value, &bits, sizeof value);
    out.clear();
    tarnel::console::append_number(out, value);
    out += '\t';
    tarnel::console::append_text_float(out, value);
    out += '\n';
    std::fwrite(out.data(), 1, out.size(), stdout);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
