// The allocator of the compact records. A vector sized with it leaves its new
// elements uninitialised, because the conversion writes every record right
// after sizing the array, and zeroing hundreds of megabytes first would cost
// as much again as the conversion's own writes. A large array is laid on
// transparent huge pages where the system offers them on request: the
// conversion then takes one page fault per 2 MiB instead of one per 4 KiB,
// and the faults otherwise cost more than the conversion itself.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarnel {

template <typename T>
struct RecordAllocator : std::allocator<T> {
  using value_type = T;
  template <typename U>
  struct rebind {
    using other = RecordAllocator<U>;
  };

  // Arrays from this size on are aligned to, and advised onto, huge pages:
  // two pages at least, so that the last one, partly filled, adds at most a
  // third.
  static constexpr std::size_t huge_page = std::size_t{2} << 20;
  static constexpr std::size_t large = 2 * huge_page;

  RecordAllocator() = default;
  template <typename U>
  RecordAllocator(const RecordAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < large) return std::allocator<T>::allocate(n);
    void* p = ::operator new(bytes, std::align_val_t{huge_page});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only advice: where huge pages are off, or none is free, the array
    // lies on ordinary pages, as it would have anyway.
    madvise(p, (bytes + huge_page - 1) / huge_page * huge_page, MADV_HUGEPAGE);
#endif
    return static_cast<T*>(p);
  }

  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < large) return std::allocator<T>::deallocate(p, n);
    ::operator delete(p, std::align_val_t{huge_page});
  }

  // Value-initialisation (what resize asks for) becomes default
  // initialisation, which leaves a trivial record as it is.
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(p)) U;
    } else {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  }
};

template <typename T, typename U>
bool operator==(const RecordAllocator<T>&, const RecordAllocator<U>&) noexcept {
  return true;
}

}  // namespace tarnel
