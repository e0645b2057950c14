// Memory that costs only what is written of it: an array of trivial values,
// all zero, whose pages the system provides one by one as they are first
// written. A call that converts the episodes of a large table as its picks
// reach them sizes its arrays for the whole table this way, and uses (and
// pays for) only the part its picks fill.
//
// A small array comes from the allocator instead, zeroed by it: each page
// the system provides costs a fault and its release, some microseconds on
// a virtual machine, while the allocator hands the next call the pages
// this one gave back, and zeroes them at memory speed.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

#include <sys/mman.h>

namespace tarnel {

// Arrays up to this size come from the allocator: the size from which the
// dense ones take huge pages, one fault per 2 MiB.
inline constexpr std::size_t allocator_share = std::size_t{2} << 20;

template <typename T>
class ZeroPages {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  ZeroPages() = default;
  // Address space for `count` values. Reserved without committing memory
  // to it (MAP_NORESERVE), so a reservation larger than the memory free is
  // fine as long as what is written fits; throws std::bad_alloc when the
  // address space itself cannot be had. `dense`: written all over, or
  // from the front by a call that has already filled the allocator's share
  // elsewhere, so that huge pages waste little and save a fault per 4 KiB.
  // An array written at a few scattered places stays on small pages, or
  // each write would take 2 MiB.
  ZeroPages(std::size_t count, bool dense) : count_(count) {
    if (count == 0) return;
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    if (allocated()) {
      data_ = static_cast<T*>(std::calloc(count, sizeof(T)));
      if (data_ == nullptr) throw std::bad_alloc();
      return;
    }
    void* p =
        mmap(nullptr, bytes(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
    // Only advice: where huge pages are off, small ones serve.
    if (dense) madvise(p, bytes(), MADV_HUGEPAGE);
#else
    (void)dense;
#endif
    data_ = static_cast<T*>(p);
  }
  ZeroPages(ZeroPages&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), count_(std::exchange(other.count_, 0)) {}
  ZeroPages& operator=(ZeroPages&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      count_ = std::exchange(other.count_, 0);
    }
    return *this;
  }
  ZeroPages(const ZeroPages&) = delete;
  ZeroPages& operator=(const ZeroPages&) = delete;
  ~ZeroPages() { release(); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return count_; }
  T& operator[](std::size_t k) { return data_[k]; }
  const T& operator[](std::size_t k) const { return data_[k]; }

 private:
  std::size_t bytes() const { return count_ * sizeof(T); }
  bool allocated() const { return bytes() <= allocator_share; }
  void release() {
    if (data_ != nullptr) {
      if (allocated()) {
        std::free(data_);
      } else {
        munmap(data_, bytes());
      }
    }
    data_ = nullptr;
  }

  T* data_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace tarnel
