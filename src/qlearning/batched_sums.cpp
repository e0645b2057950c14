// The batched table sums of `learn`.
#include "qlearning/batched_sums.h"

#include <algorithm>

namespace tarnel {

void BatchedSums::sums(std::size_t versions, double* out) {
  // Version t differs from the current table at every entry written in a
  // later iteration of the batch, where it holds the value that entry had
  // before the first such iteration.
  std::sort(saved_.begin(), saved_.end(), [](const Saved& a, const Saved& b) {
    return a.offset != b.offset ? a.offset < b.offset : a.version < b.version;
  });
  patches_.clear();
  for (std::size_t j = 0; j < saved_.size();) {
    const std::size_t offset = saved_[j].offset;
    TablePatch patch;
    patch.offset = offset;
    std::size_t later = j;  // first saving of this entry in an iteration after t
    for (std::size_t t = 0; t < versions; ++t) {
      while (later < saved_.size() && saved_[later].offset == offset && saved_[later].version <= t) ++later;
      const bool rewritten = later < saved_.size() && saved_[later].offset == offset;
      patch.value[t] = rewritten ? saved_[later].value : q_.values[offset];
    }
    patches_.push_back(patch);
    while (j < saved_.size() && saved_[j].offset == offset) ++j;
  }
  table_sums(q_.values.data(), q_.values.size(), patches_, versions, out);
  saved_.clear();
}

}  // namespace tarnel
