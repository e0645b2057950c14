// The NumPy bridge: the few entries of NumPy's C API that the module uses,
// taken from the `_ARRAY_API` capsule on first use (importing tarnel does not
// import NumPy) and offered here as named operations; reading episode arrays
// and the memory under them; and handing trained tables to NumPy without a
// copy. Nothing else in the module touches NumPy's API table or the fields of
// its objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "episode/episode.h"
#include "python/ref.h"

namespace tarnel::numpy {

using python::Ref;

// Loads the API, once per process. Returns false with the training-failure
// exception set (its cause says what went wrong); the next call tries again.
bool load();

// Everything below needs a successful load() first.

// An instance of NumPy's array type or of a subclass.
bool is_array(PyObject* object);

int ndim(PyObject* array);
PyObject* dtype(PyObject* array);  // borrowed

// The float64 descriptor itself or one equivalent to it (so not a
// byte-swapped float64).
bool is_float64(PyObject* descr);
PyObject* float64();  // borrowed; kept for the process like the API table

ArrayView view_of(PyObject* array);  // precondition: 2-D float64

// Whether `array` is still a 2-D float64 array with the data, extents and
// strides of `view`. Python code that runs after a view was taken (a later
// argument's __float__ or __index__, the release of another array) can resize
// an array in place with `resize(refcheck=False)` or retype it; the old view
// would then read freed or reinterpreted memory.
bool still_matches(PyObject* array, const ArrayView& view);

// The memory an array's data lies in, as arrays can change it. An array that
// views another keeps that one alive but not its memory: the array at the end
// of the chain of bases (the block) can still give its memory back or move it
// (`resize(refcheck=False)`, a new `data`) and leave every view over it
// pointing at freed memory. So the block is held, and what it held is
// recorded, when an episode array is accepted, and compared again right
// before the episode is read.
struct Block {
  Ref array;  // nullptr when the episode array is its own block
  const char* data = nullptr;
  std::optional<std::uint64_t> bytes;  // nothing when it could not be read
};

// Whether the memory under `array` belongs to an object other than an array
// (a memoryview, the helper object of a strided view, a buffer), whose own
// owner, maybe an array several objects away, could release it unseen: such
// arrays are copied when they are accepted.
bool views_foreign_memory(PyObject* array);

// The block under `array` (borrowed), nullptr when the array is its own.
PyObject* block_array_of(PyObject* array);
Block block_of(PyObject* array);

// Whether the block still holds the same memory: the same start and the same
// size in bytes.
bool still_holds(const Block& block);

// A new float64 array over `values`, which it takes over: an owner object
// frees the buffer when the array dies. `element_strides` are in elements.
// Returns nullptr with a Python error set on failure (the buffer is freed).
PyObject* to_array(std::vector<double>&& values, int nd, const std::uint64_t* dims,
                   const std::uint64_t* element_strides);

}  // namespace tarnel::numpy
