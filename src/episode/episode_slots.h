// Where each converted episode of a table lies, for the conversion as
// picked (compact.h, TableEpisodes): a call that picks a few episodes of a
// large table asks this of the few, so its cost must follow them, not the
// table. One slot per table episode would do for every call, but each
// page of slots a pick first reaches costs the system two faults (the read
// that maps the page of zeros, then the write that copies it), and a few
// thousand picks reach a few thousand pages: that was most of a short
// call. So a call expected to pick fewer than half as many episodes as
// the table holds keeps its episodes in a hash table sized for its picks,
// and only a call that picks more keeps a slot per episode.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>

#include "support/prefetch.h"
#include "support/zero_pages.h"

namespace tarnel {

class EpisodeSlots {
 public:
  EpisodeSlots() = default;
  // For a table of `episodes`, of which a call expects to convert
  // `expected`. More may be converted: the hash table grows.
  EpisodeSlots(std::uint64_t episodes, std::uint64_t expected) {
    const std::uint64_t capacity = std::bit_ceil(std::max<std::uint64_t>(2 * expected, 16));
    if (capacity >= episodes / 2) {
      direct_ = ZeroPages<std::uint64_t>(episodes, true);
    } else {
      hashed_ = ZeroPages<Entry>(capacity, true);
      shift_ = 64 - std::countr_zero(capacity);
    }
  }

  // Where episode k's head lies; 0 if it was not converted.
  std::uint64_t head(std::uint64_t k) const {
    if (!hashed_.data()) return direct_[k];
    for (std::uint64_t b = bucket(k);; b = (b + 1) & (hashed_.size() - 1)) {
      const Entry& entry = hashed_[b];
      if (entry.head == 0 || entry.episode == k) return entry.head;
    }
  }
  // Episode k, not converted before, now has its head at `head` (not 0).
  void set(std::uint64_t k, std::uint64_t head) {
    if (!hashed_.data()) {
      direct_[k] = head;
      return;
    }
    // At most half full, so that a miss ends within a line or two.
    if (2 * (count_ + 1) > hashed_.size()) grow();
    place(k, head);
  }
  // Asks for the line where episode k's head would be found.
  void fetch(std::uint64_t k) const {
    prefetch(hashed_.data() ? static_cast<const void*>(&hashed_[bucket(k)]) : &direct_[k]);
  }

 private:
  struct Entry {
    std::uint64_t episode;
    std::uint64_t head;  // 0: free
  };

  // Fibonacci hashing: consecutive episodes land far apart.
  std::uint64_t bucket(std::uint64_t k) const { return (k * 0x9E3779B97F4A7C15u) >> shift_; }
  void place(std::uint64_t k, std::uint64_t head) {
    std::uint64_t b = bucket(k);
    while (hashed_[b].head != 0) b = (b + 1) & (hashed_.size() - 1);
    hashed_[b] = {k, head};
    ++count_;
  }
  void grow() {
    ZeroPages<Entry> old = std::exchange(hashed_, ZeroPages<Entry>(2 * hashed_.size(), true));
    --shift_;
    count_ = 0;
    for (std::uint64_t b = 0; b < old.size(); ++b) {
      if (old[b].head != 0) place(old[b].episode, old[b].head);
    }
  }

  ZeroPages<std::uint64_t> direct_;
  ZeroPages<Entry> hashed_;
  int shift_ = 64;
  std::uint64_t count_ = 0;
};

}  // namespace tarnel
