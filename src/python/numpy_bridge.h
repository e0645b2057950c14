// The NumPy bridge: the few entries of NumPy's C API that the module uses,
// taken from the `_ARRAY_API` capsule on first use (importing tarnel does not
// import NumPy) and offered here as named operations; the two NumPy functions
// the table calls; reading episode arrays and the memory under them; and
// handing trained tables to NumPy without a copy. Nothing else in the module
// touches NumPy's API table or the fields of its objects.
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

// np.asarray(object) and np.array(array), a copy that owns its memory; each
// function is looked up on first use and kept for the process. nullptr with
// an error set when the call fails.
Ref asarray(PyObject* object);
Ref owning_copy(PyObject* array);

// Everything below needs a successful load() first.

// An instance of NumPy's array type or of a subclass.
bool is_array(PyObject* object);

int ndim(PyObject* array);
PyObject* dtype(PyObject* array);  // borrowed
Ref shape(PyObject* array);        // a tuple of ints; nullptr with an error set

// The float64 descriptor itself or one equivalent to it (so not a
// byte-swapped float64).
bool is_float64(PyObject* descr);
PyObject* float64();  // borrowed; kept for the process like the API table

ArrayView view_of(PyObject* array);  // precondition: 2-D float64

// A 1-D array's elements: element k at byte offset k * stride from `data`.
struct Vector {
  const std::byte* data = nullptr;
  std::uint64_t length = 0;
  std::int64_t stride = 0;
};
Vector vector_of(PyObject* array);  // precondition: 1-D

// Whether `array` is still a 1-D array of `descr`'s type with the elements
// of `vector`.
bool still_matches(PyObject* array, const Vector& vector, PyObject* descr);

// Whether `array` is still a 2-D float64 array with the data, extents and
// strides of `view`. (Why it might not be: the top of python/held_memory.h.)
bool still_matches(PyObject* array, const ArrayView& view);

// Asks for what still_matches reads of an array, in two steps a few arrays
// apart: its object first, then (once the object is at hand) its extents and
// strides, which lie apart from it. Many small arrays are checked one after
// the other, each long after the conversion last touched it.
inline void prefetch_object(PyObject* array) { __builtin_prefetch(array); }
void prefetch_shape(PyObject* array);

// The memory an array's data lies in, as arrays can change it: the array at
// the end of the chain of bases (the block), held, with the memory it held
// when an episode array was accepted (see the top of python/held_memory.h).
struct Block {
  Ref array;  // nullptr when the episode array is its own block
  const char* data = nullptr;
  std::optional<std::uint64_t> bytes;  // nothing when it could not be read
};

// Where the memory under an episode array lies, found in one walk down its
// chain of bases.
struct Memory {
  // The array at the end of the chain (borrowed), nullptr when the array is
  // its own block.
  PyObject* block = nullptr;
  // The memory belongs to an object other than an array (a memoryview, the
  // helper object of a strided view, a buffer), whose own owner could
  // release it unseen: such arrays are copied when they are accepted.
  bool foreign = false;
};
Memory memory_of(PyObject* array);

// Holds `block` (from memory_of; nullptr gives the empty Block) and records
// the memory it holds now.
Block hold(PyObject* block);

// Whether the block still holds the same memory: the same start and the same
// size in bytes.
bool still_holds(const Block& block);

// A new float64 array over `values`, which it takes over: an owner object
// frees the buffer when the array dies. `element_strides` are in elements.
// Returns nullptr with a Python error set on failure (the buffer is freed).
PyObject* to_array(std::vector<double>&& values, int nd, const std::uint64_t* dims,
                   const std::uint64_t* element_strides);
// The same as a uint64 array, for counts.
PyObject* to_array(std::vector<std::uint64_t>&& values, int nd, const std::uint64_t* dims,
                   const std::uint64_t* element_strides);

}  // namespace tarnel::numpy
