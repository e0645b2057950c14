// Reversing the bytes of an unsigned integer: how a value stored in the other
// byte order (a big-endian column, on the little-endian machines this module
// builds for) is brought into the machine's.
#pragma once

#include <type_traits>

namespace tarnel {

template <typename U>
constexpr U byte_swapped(U value) {
  static_assert(std::is_unsigned_v<U> &&
                (sizeof(U) == 1 || sizeof(U) == 2 || sizeof(U) == 4 || sizeof(U) == 8));
  if constexpr (sizeof(U) == 1) {
    return value;
  } else if constexpr (sizeof(U) == 2) {
    return __builtin_bswap16(value);
  } else if constexpr (sizeof(U) == 4) {
    return __builtin_bswap32(value);
  } else {
    return __builtin_bswap64(value);
  }
}

}  // namespace tarnel
