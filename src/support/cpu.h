// Processor-specific versions of hot loops, chosen one way everywhere: both
// versions are compiled, the AVX2 one in a function marked
// TARNEL_TARGET_AVX2, and a constant function pointer to one of them is
// initialised when the library is loaded. An ifunc (function
// multi-versioning) would be resolved earlier, while the program is still
// being relocated and before a sanitizer's runtime has started, which
// crashes sanitized builds; a pointer chosen during initialisation lets them
// run the AVX2 path too. Nothing may call such a pointer from another
// object's initialisation, whose order is not fixed.
#pragma once

namespace tarnel::cpu {

#if defined(__x86_64__) || defined(__i386__)
#define TARNEL_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define TARNEL_TARGET_AVX2
#endif

// Whether this processor runs AVX2 (always false off x86).
bool has_avx2();

template <typename Function>
Function choose(Function baseline, Function avx2) {
  return has_avx2() ? avx2 : baseline;
}

}  // namespace tarnel::cpu
