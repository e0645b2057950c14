// One way to turn a value known only at run time into a compile-time
// constant: the code that depends on it is instantiated once per candidate,
// so a loop specialised on the constant asks nothing of it at every turn.
#pragma once

#include <type_traits>

namespace tarnel {

namespace dispatch_detail {

template <typename T, auto first, auto... rest, typename Body>
[[gnu::always_inline]] inline void pick(T value, Body& body) {
  if constexpr (sizeof...(rest) == 0) {
    body(std::integral_constant<T, static_cast<T>(first)>{});
  } else {
    if (value == static_cast<T>(first)) return body(std::integral_constant<T, static_cast<T>(first)>{});
    pick<T, rest...>(value, body);
  }
}

}  // namespace dispatch_detail

// Calls body(std::integral_constant<T, c>{}) for the first candidate c equal
// to `value`; the last candidate serves every value that none of the others
// equals. Always inlined, with every level of its choice, so the caller's
// flatten (or the compiler's turning of the tests into a jump table) sees
// the whole of it, under GCC and clang alike.
template <auto... candidates, typename T, typename Body>
[[gnu::always_inline]] inline void with_constant(T value, Body&& body) {
  static_assert(sizeof...(candidates) > 0);
  dispatch_detail::pick<T, candidates...>(value, body);
}

}  // namespace tarnel
