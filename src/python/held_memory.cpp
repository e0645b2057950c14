// Held memory: episode arrays accepted, held and checked until their episodes
// are built, and a table's columns held and checked before each read, with
// the failure texts of both.
#include "python/held_memory.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "support/failure.h"

namespace tarnel::held_memory {

namespace {

// The two ways held memory can stop being what was accepted, for an episode
// array or a table's column alike: `what` names it, and `since` the moment
// it may have changed in, which differs: an array is checked within the
// call that accepted it, a column at any read after its table was built.
[[noreturn]] void fail_changed(const std::string& what, const char* since) {
  fail(what + " was resized or retyped " + since);
}

[[noreturn]] void fail_released(const std::string& what, const char* since) {
  fail("the memory that " + what + " views was released or moved " + since);
}

constexpr const char* array_changed = "while the call's arguments were being converted";
constexpr const char* array_released = "before its episode was built";
constexpr const char* column_since = "after the table was built";

std::string episode_array(std::size_t k) { return "episode array " + std::to_string(k); }

std::string table_column(const char* name) {
  return std::string("column '") + name + "' of the episode table";
}

// How many arrays ahead check() asks for the fields it will read.
constexpr std::size_t prefetch_distance = 4;

}  // namespace

void EpisodeArrays::reserve(std::size_t count) {
  views_.reserve(count);
  arrays_.reserve(count);
}

bool EpisodeArrays::try_reserve(std::size_t count) {
  try {
    reserve(count);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
}

void EpisodeArrays::add(Ref array) {
  const numpy::Memory memory = numpy::memory_of(array.get());
  // An array over foreign memory is read from a copy taken now, and its
  // block is not held: nothing is read from it.
  PyObject* block = memory.foreign ? nullptr : memory.block;
  if (runs_.empty() || runs_.back().copied != memory.foreign || runs_.back().block.array.get() != block) {
    runs_.push_back({numpy::hold(block), arrays_.size(), memory.foreign, arrays_.size(), copies_.size()});
  }
  const ArrayView view = numpy::view_of(array.get());
  views_.push_back(memory.foreign ? copy_of(view) : view);
  arrays_.push_back(std::move(array));
  runs_.back().end = arrays_.size();
}

ArrayView EpisodeArrays::copy_of(const ArrayView& view) {
  // The five columns a transition is read from, row by row; an array with
  // rows and fewer columns keeps its column count, so building its episode
  // fails as it would have, and reads nothing.
  const std::uint64_t kept = std::min<std::uint64_t>(view.columns, 5);
  auto& copy =
      copies_.emplace_back(std::vector<double>(static_cast<std::size_t>(view.rows * kept)), view).values;
  for (std::uint64_t i = 0; i < view.rows; ++i) {
    for (std::uint64_t j = 0; j < kept; ++j) {
      std::memcpy(&copy[i * kept + j],
                  view.data + static_cast<std::int64_t>(i) * view.row_stride +
                      static_cast<std::int64_t>(j) * view.column_stride,
                  sizeof(double));
    }
  }
  const auto row_bytes = static_cast<std::int64_t>(kept * sizeof(double));
  return {reinterpret_cast<const std::byte*>(copy.data()), view.rows, view.columns, row_bytes,
          static_cast<std::int64_t>(sizeof(double))};
}

EpisodeArrays::Run& EpisodeArrays::run_of(std::size_t k) {
  while (runs_[current_run_].end <= k) ++current_run_;
  return runs_[current_run_];
}

void EpisodeArrays::check(std::size_t k) {
  if (k >= arrays_.size()) return;
  const Run& run = run_of(k);
  if (run.copied) {
    if (!numpy::still_matches(arrays_[k].get(), copies_[run.first_copy + (k - run.first)].original)) {
      fail_changed(episode_array(k), array_changed);
    }
    return;  // read from its copy, which nothing else reaches
  }
  // Arrays are checked in order: ask for the next ones' fields now.
  if (k + 2 * prefetch_distance < arrays_.size()) {
    numpy::prefetch_object(arrays_[k + 2 * prefetch_distance].get());
  }
  if (k + prefetch_distance < arrays_.size()) numpy::prefetch_shape(arrays_[k + prefetch_distance].get());
  if (!numpy::still_matches(arrays_[k].get(), views_[k])) fail_changed(episode_array(k), array_changed);
  if (held_run_ == current_run_) return;
  if (!numpy::still_holds(run.block)) fail_released(episode_array(k), array_released);
  held_run_ = current_run_;
}

void EpisodeArrays::give_back(std::size_t k) {
  // The last reference's release may run finalisers, which may release or
  // move any block's memory.
  if (Py_REFCNT(arrays_[k].get()) == 1) held_run_ = no_run;
  arrays_[k].reset();
  Run& run = run_of(k);
  if (run.end == k + 1) {
    run.block = numpy::Block();
    held_run_ = no_run;
  }
}

bool hold(Ref array, HeldColumn& out) {
  // A copy of its own, owning its memory, is read in place like any other
  // column: the table hands its columns out as views, so the copy can be
  // reached and changed too.
  if (numpy::memory_of(array.get()).foreign) {
    array = numpy::owning_copy(array.get());
    if (!array) return false;
  }
  out.block = numpy::hold(numpy::memory_of(array.get()).block);
  out.vector = numpy::vector_of(array.get());
  PyObject* descr = numpy::dtype(array.get());
  Py_INCREF(descr);
  out.descr = Ref(descr);
  out.array = std::move(array);
  return true;
}

void check(const HeldColumn& column, const char* name) {
  if (!numpy::still_matches(column.array.get(), column.vector, column.descr.get())) {
    fail_changed(table_column(name), column_since);
  }
  if (!numpy::still_holds(column.block)) fail_released(table_column(name), column_since);
}

}  // namespace tarnel::held_memory
