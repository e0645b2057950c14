// Asking for memory before it is read. Prefetches have no visible effect,
// which is also why a compiler may drop them: a function that does nothing
// else counts as pure to GCC, and a call to it whose result goes unused is
// deleted. The x86 instruction is written out so that it always stays.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tarnel {

inline void prefetch(const void* p) {
#if defined(__x86_64__) || defined(__i386__)
  __asm__ volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p);
#endif
}

// The cache lines that `bytes` bytes from `p` lie on, the first
// `most_lines` of them, asked for at once, so that they arrive together
// instead of one miss at a time.
inline void prefetch_lines(const void* p, std::size_t bytes, std::size_t most_lines = 64) {
  if (bytes == 0) return;
  constexpr std::uintptr_t line = 64;
  const auto first = reinterpret_cast<std::uintptr_t>(p) & ~(line - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(p) + bytes - 1) & ~(line - 1);
  const std::uintptr_t end = std::min(last + line, first + most_lines * line);
  for (std::uintptr_t c = first; c < end; c += line) prefetch(reinterpret_cast<const void*>(c));
}

}  // namespace tarnel
