// The NumPy bridge: the five entries of NumPy's C API that the module uses,
// taken from the `_ARRAY_API` capsule on first use (importing tarnel does not
// import NumPy), reading episode arrays, and handing trained tables to NumPy
// without a copy.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "episode/episode.h"

namespace tarnel::numpy {

struct Api {
  PyTypeObject* array_type;
  PyObject* (*descr_from_type)(int type_number);
  PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd,
                              const Py_ssize_t* dims, const Py_ssize_t* strides, void* data,
                              int flags, PyObject* obj);
  unsigned char (*equiv_types)(PyObject* a, PyObject* b);
  int (*set_base_object)(PyObject* array, PyObject* base);
};

// The API table, loaded once per process. On failure returns nullptr with the
// training-failure exception set; the next call tries again.
const Api* api();

// The fields of an array object that reading an episode needs. NumPy's own
// accessors read the same leading fields of every array object.
int ndim(PyObject* array);
PyObject* descr(PyObject* array);  // borrowed
ArrayView view_of(PyObject* array);  // precondition: 2-D float64

// Whether `array` is still a 2-D float64 array with the data, extents and
// strides of `view`. Python code that runs after a view was taken (a later
// argument's __float__ or __index__, the release of another array) can resize
// an array in place with `resize(refcheck=False)` or retype it; the old view
// would then read freed or reinterpreted memory.
bool still_matches(PyObject* array, const ArrayView& view);

// A new float64 array over `values`, which it takes over: an owner object
// frees the buffer when the array dies. `element_strides` are in elements.
// Returns nullptr with a Python error set on failure (the buffer is freed).
PyObject* to_array(std::vector<double>&& values, int nd, const std::uint64_t* dims,
                   const std::uint64_t* element_strides);

}  // namespace tarnel::numpy
