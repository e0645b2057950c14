// The processor's features, asked once, straight from the processor.
#include "support/cpu.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace tarnel::cpu {

bool has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
  // cpuid rather than the compiler's feature table: the table belongs to the
  // compiler's runtime, which not every toolchain fills (the portable wheel's
  // does not), nor fills before this library's initialisation.
  static const bool avx2 = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid(1, eax, ebx, ecx, edx);
    constexpr unsigned osxsave = 1u << 27, avx = 1u << 28;
    if ((ecx & osxsave) == 0 || (ecx & avx) == 0) return false;
    // The operating system must save the vector registers' upper halves.
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    constexpr unsigned sse_and_avx_state = 0x6;
    if ((xcr0_low & sse_and_avx_state) != sse_and_avx_state) return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    constexpr unsigned avx2_bit = 1u << 5;
    return (ebx & avx2_bit) != 0;
  }();
  return avx2;
#else
  return false;
#endif
}

}  // namespace tarnel::cpu
