// The episodes a call holds, as the core reads them. The episode arrays:
// each array is handed over whole, checked right before it is read and
// given back right after, so no array is read after Python code could have
// changed it (the top of python/held_memory.h says what that code can do). An
// EpisodeTable: its columns checked once, before the first row is read, since
// reading them runs no Python code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "episode/source.h"
#include "episode/table.h"
#include "python/arguments.h"
#include "python/episode_table.h"
#include "python/held_memory.h"

namespace tarnel::python {

class HeldArraySource final : public EpisodeSource {
 public:
  explicit HeldArraySource(held_memory::EpisodeArrays& arrays) : arrays_(arrays) {}

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
  held_memory::EpisodeArrays& arrays_;
};

// Either form of `data`.
class DataSource final : public EpisodeSource {
 public:
  explicit DataSource(arguments::Data& data) : data_(data), arrays_(data.arrays) {}

  std::uint64_t episodes() const override {
    return data_.table ? episode_table::readable_size(data_.table.get()).first : arrays_.episodes();
  }
  std::uint64_t transitions() const override {
    return data_.table ? episode_table::readable_size(data_.table.get()).second : arrays_.transitions();
  }
  void read(const std::function<void(const RowPiece&)>& piece) override {
    if (data_.table) {
      TableSource(episode_table::readable(data_.table.get())).read(piece);
    } else {
      arrays_.read(piece);
    }
  }

 private:
  arguments::Data& data_;
  HeldArraySource arrays_;
};

}  // namespace tarnel::python
