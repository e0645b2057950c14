// The episode arrays a call holds, as an episode source: each array is
// handed over whole, checked right before it is read and given back right
// after, so no array is read after Python code could have changed it (the
// top of python/arguments.h says what that code can do).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "episode/source.h"
#include "python/arguments.h"

namespace tarnel::python {

class HeldArraySource final : public EpisodeSource {
 public:
  explicit HeldArraySource(arguments::EpisodeArrays& arrays) : arrays_(arrays) {}

  std::uint64_t episodes() const override { return arrays_.size(); }
  std::uint64_t transitions() const override { return ViewSource(arrays_.views()).transitions(); }

  void read(const std::function<void(const RowPiece&)>& piece) override {
    arrays_.check(0);
    ViewSource(arrays_.views(), [this](std::size_t k) {
      // Giving an array back may run Python code (a finaliser), so the next
      // array is checked only afterwards.
      arrays_.give_back(k);
      arrays_.check(k + 1);
    }).read(piece);
  }

 private:
  arguments::EpisodeArrays& arrays_;
};

}  // namespace tarnel::python
