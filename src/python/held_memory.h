// Held memory: the memory of `data` that the core reads, in both its forms
// (the episode arrays of a call, the columns of an EpisodeTable), accepted,
// held and checked here. This is where the rules for what Python code may
// change while that memory is held are written; everything else points here.
//
// Where Python code runs. Binding runs none: the argument tuple and keyword
// dictionary are the call's own, so the borrowed slots stay valid to the
// end. Converting `data` runs the sequence's own __len__ and __iter__ (or
// its __getitem__, once per item); converting the later parameters runs
// their __index__ and __float__; and any allocation may start the garbage
// collector, which runs finalisers. While the episodes are built, giving an
// array back can drop its last reference and run its finalisers (a
// weakref callback, a subclass's __del__) at once. An EpisodeTable lives
// from its building to its last reference, across any Python code at all
// between one read of it and the next. Training itself runs no Python code,
// and neither does reading a table's columns.
//
// What that code can do. Whatever it likes to the objects it can reach: an
// episode array or a column already accepted can be resized in place
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
// is copied (its five transition columns) when it is accepted, and a column
// over foreign memory when its table is built, because no later check could
// tell that its memory went away; memory maps and bytes are exempt
// (numpy::memory_of). Every other array is read in place, where it lies:
// copying them all would double the memory of the largest data sets.
//
// What is held, and what is checked when. Every episode array, copied or
// not, is held from its conversion until its episode is built, then given
// back, in order, so a user's finaliser runs at the same moment for every
// array. A table holds its columns as long as it lives. An array read in
// place is held with the block under it, whose memory (start and size in
// bytes) is recorded when the array is accepted. Right before it is read,
// after all the Python code that could have run since, the array is
// checked: it must still have the dtype, data, extents and strides it was
// accepted with (numpy::still_matches), and its block must still hold the
// same memory (numpy::still_holds). Otherwise the call fails with the
// training failure, before reading a byte. A copied array is checked the
// same way against the view it was copied through (its memory is not read,
// so it has no block to check): a call must not train on an array that no
// longer is what was accepted, copy or not. Episode array k + 1 is checked
// only after array k was given back, as that can run a finaliser. A table's
// columns are checked once per read, before its first row, since the read
// runs no Python code.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <vector>

#include "episode/episode.h"
#include "python/numpy_bridge.h"
#include "python/ref.h"

namespace tarnel::held_memory {

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
  // one) can still be read through its view. Arrays are checked and given
  // back in order, k = 0, 1, ...
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

// A column of an EpisodeTable as the table holds it: the 1-D array (a copy
// when the given one was over foreign memory), its type, the elements it
// viewed and the memory under them when the table was built.
struct HeldColumn {
  Ref array;
  Ref descr;
  numpy::Vector vector;
  numpy::Block block;
};

// Holds `array` (1-D) as a column; false with a Python error set when the
// copy of foreign memory fails.
bool hold(Ref array, HeldColumn& out);

// Fails the read with the training failure unless column `name` of a table
// can still be read through its vector.
void check(const HeldColumn& column, const char* name);

}  // namespace tarnel::held_memory
