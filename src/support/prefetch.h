// Asking for memory before it is read. Prefetches have no visible effect,
// which is also why a compiler may drop them: a function that does nothing
// else counts as pure to GCC, and a call to it whose result goes unused is
// deleted. The x86 instruction is written out so that it always stays.
#pragma once

#include <algorithm>
#include <cstddef>

namespace tarnel {

inline void prefetch(const void* p) {
#if defined(__x86_64__) || defined(__i386__)
  __asm__ volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p);
#endif
}

// The cache lines of the first `most_lines` lines of `bytes` bytes from `p`,
// asked for at once, so that they arrive together instead of one miss at a
// time.
inline void prefetch_lines(const void* p, std::size_t bytes, std::size_t most_lines = 64) {
  constexpr std::size_t line = 64;
  const char* c = static_cast<const char*>(p);
  const char* const end = c + std::min(bytes, most_lines * line);
  for (; c < end; c += line) prefetch(c);
}

}  // namespace tarnel
