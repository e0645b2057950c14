// Where episodes come from, as every reader of them (the compact builder,
// the data check, the visit counts) sees them: the episodes of `data` in
// order, each handed over as one or more pieces of consecutive rows.
//
// A list of episode arrays hands each array over whole, in its own layout.
// A table of flat columns converts a block of rows at a time into a small
// C-ordered buffer of float64 rows and hands over the part of each episode
// that the block holds; an episode longer than a block comes in several
// pieces. Readers keep whatever they need across the pieces of one episode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>

#include "episode/episode.h"

namespace tarnel {

// Rows first_row .. first_row + view.rows of the episode at `position` in
// `data`. A piece that has rows has at least five columns, except the one
// piece of an array that has fewer (readers fail on it: check_columns).
// An episode without rows comes as one piece without rows.
struct RowPiece {
  ArrayView view;
  std::uint64_t position = 0;
  std::uint64_t first_row = 0;
  bool ends_episode = true;  // the last piece of its episode
};

class EpisodeSource {
 public:
  virtual ~EpisodeSource() = default;

  virtual std::uint64_t episodes() const = 0;
  virtual std::uint64_t transitions() const = 0;

  // Hands every piece to `piece`, in data order. May fail (the training
  // failure) before it hands over an episode that can no longer be read.
  virtual void read(const std::function<void(const RowPiece&)>& piece) = 0;
};

// Episode arrays already at hand, each handed over whole as one piece.
// `done(k)` runs as soon as array k has been read.
class ViewSource final : public EpisodeSource {
 public:
  explicit ViewSource(std::span<const ArrayView> views, std::function<void(std::size_t)> done = {})
      : views_(views), done_(std::move(done)) {}

  std::uint64_t episodes() const override { return views_.size(); }
  std::uint64_t transitions() const override {
    std::uint64_t rows = 0;
    for (const ArrayView& view : views_) rows += view.rows;
    return rows;
  }
  void read(const std::function<void(const RowPiece&)>& piece) override {
    for (std::size_t k = 0; k < views_.size(); ++k) {
      piece({views_[k], k, 0, true});
      if (done_) done_(k);
    }
  }

 private:
  std::span<const ArrayView> views_;
  std::function<void(std::size_t)> done_;
};

}  // namespace tarnel
