// The processor's features, asked once.
#include "support/cpu.h"

namespace tarnel::cpu {

bool has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
  static const bool avx2 = [] {
    // The feature table may not be filled yet when this runs early, from
    // another object's initialisation.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return avx2;
#else
  return false;
#endif
}

}  // namespace tarnel::cpu
