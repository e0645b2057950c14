// Argument binding and conversion: the positional tuple and keyword
// dictionary of a call matched to the parameter slots, and each bound object
// converted to the value the core works with. Every function returns false
// with a Python error set when it fails.
//
// What Python code can change while a call's arguments are converted, and
// how the boundary stands up to it:
//
// Where Python code runs. Binding runs none: the argument tuple and keyword
// dictionary are the call's own, so the borrowed slots stay valid to the
// end. Converting `data` runs the sequence's own __len__ and __iter__ (or
// its __getitem__, once per item); converting the later parameters runs
// their __index__ and __float__; and any allocation may start the garbage
// collector, which runs finalisers. While the episodes are built, giving an
// array back can drop its last reference and run its finalisers (a
// weakref callback, a subclass's __del__) at once. Training itself runs no
// Python code.
//
// What that code can do. Whatever it likes to the objects it can reach: an
// episode array already accepted can be resized in place
// (`resize(refcheck=False)`), get a new dtype or new contents
// (`__setstate__`, the dtype setter), or lose its memory: an array that views
// another keeps that one alive but not its memory, so the array at the end of
// the chain of bases (its block) can still be resized or given a new `data`
// and leave every view over it pointing at freed memory. Memory owned by an
// object other than an array (a memoryview, a buffer, the helper object of a
// strided view) can be released behind that object, by an owner several
// objects away, where nothing here can see it.
//
// What is copied, and why. Numbers are converted to C values at once, so
// nothing can change them afterwards. An episode array over foreign memory
// is copied (its five transition columns) when it is accepted, because no
// later check could tell that its memory went away; memory maps and bytes are
// exempt (numpy::memory_of). Every other episode array is read in place,
// where it lies: copying them all would double the memory of the largest data
// sets.
//
// What is held, and what is checked when. Every episode array, copied or
// not, is held from its conversion until its episode is built, then given
// back, in order, so a user's finaliser runs at the same moment for every
// array. An array read in place is held with the block under it, whose
// memory (start and size in bytes) is recorded when the array is accepted.
// Right before its episode is read, after all the Python code that could
// have run since, the array is checked: it must still be a 2-D float64 array
// with the same data, extents and strides (numpy::still_matches), and its
// block must still hold the same memory (numpy::still_holds). Otherwise the
// call fails with the training failure, before reading a byte. A copied
// array is checked the same way against the view it was copied through
// (its memory is not read, so it has no block to check): a call must not
// train on an array that no longer is what was accepted, copy or not. Array k + 1 is
// checked only after array k was given back, as that can run a finaliser.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "episode/episode.h"
#include "python/numpy_bridge.h"
#include "python/ref.h"
#include "qlearning/qlearner.h"

namespace tarnel::arguments {

using python::Ref;

// The episode arrays of `data`. Each array is held, with the view it is read
// through and the block of memory under it (or the copy it is read from),
// from its conversion until its episode has been built.
class EpisodeArrays {
 public:
  void reserve(std::size_t count);
  bool try_reserve(std::size_t count);  // false when memory for it is short
  void add(Ref array);                  // precondition: a 2-D float64 array
  std::size_t size() const { return views_.size(); }
  std::span<const ArrayView> views() const { return views_; }

  // Fails the call with the training failure unless array k (if there is
  // one) can still be read through its view (see the top of this file).
  // Arrays are checked and given back in order, k = 0, 1, ...
  void check(std::size_t k);

  // Gives array k back; this may run Python code (a finaliser).
  void give_back(std::size_t k);

 private:
  // Consecutive arrays over the same block (the slices of one big array, the
  // items of a 3-D array) share one record, so holding the blocks costs
  // next to nothing per array. The block is given back with the last array
  // of its run, when that array no longer keeps it alive either.
  // Consecutive copied arrays share a run too, with no block.
  struct Run {
    numpy::Block block;
    std::size_t end = 0;  // one past the run's last array
    bool copied = false;  // its arrays are read from their copies
    // For copied arrays: its first array, and where its first copy is in
    // copies_.
    std::size_t first = 0;
    std::size_t first_copy = 0;
  };
  Run& run_of(std::size_t k);  // k no smaller than at the last call

  // The run whose block check() found holding its memory last, while no
  // Python code has run since: giving an array back runs none unless it
  // drops the array's last reference. Until Python code runs, that block
  // still holds the same memory, and its later arrays skip the test.
  static constexpr std::size_t no_run = static_cast<std::size_t>(-1);
  std::size_t held_run_ = no_run;

  // Copies the array that `view` reads into copies_ and returns the view
  // of the copy.
  ArrayView copy_of(const ArrayView& view);
  // A copied array's values, and the view it was copied through, which
  // check() compares the array with as it compares any other with its view.
  struct Copy {
    std::vector<double> values;
    ArrayView original;
  };
  std::vector<Copy> copies_;

  std::vector<ArrayView> views_;
  std::vector<Ref> arrays_;
  std::vector<Run> runs_;
  std::size_t current_run_ = 0;
};

// The episodes of `data`: its arrays, held, or the EpisodeTable it is.
struct Data {
  EpisodeArrays arrays;
  Ref table;
};

// The converted arguments of one call.
struct Values {
  Data episodes;
  QShape q_shape{};
  double discount_factor = 0.0;
  double learning_rate = 0.0;
  std::uint64_t max_iterations = 0;
  std::uint64_t sample_size = 0;  // boostrap_sample_size
  std::uint64_t trainings = 0;    // iter_ql, ql_iter
  bool verbose = false;
  std::optional<double> quit_threshold;  // empty when absent or None
};

// Where a parameter's value goes. The member's type is the parameter's kind:
// it picks the conversion (episode arrays, pair of unsigned integers, float,
// unsigned integer, flag, optional float).
using Destination = std::variant<Data Values::*, QShape Values::*, double Values::*, std::uint64_t Values::*,
                                 bool Values::*, std::optional<double> Values::*>;

struct Parameter {
  const char* name;
  Destination destination;
};

// What the binder works from: every parameter is positional-or-keyword and
// all but the last `optional` are required.
struct Signature {
  const char* name;
  std::span<const Parameter> parameters;
  std::size_t optional = 1;

  std::size_t required() const { return parameters.size() - optional; }
};

inline constexpr std::size_t max_parameters = 9;

// Fills `slots` (one per parameter, borrowed references, nullptr when empty).
bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

// Converts the bound slots in parameter order into `values`; the first
// failure ends the conversion, with a TypeError naming its parameter.
bool convert(const Signature& signature, PyObject* const* slots, Values& values);

}  // namespace tarnel::arguments
