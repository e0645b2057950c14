// The NumPy bridge: NumPy's C API taken from its capsule, the NumPy functions
// the table calls, episode arrays read through their own fields, and results
// handed over without a copy.
#include "python/numpy_bridge.h"

#include <cassert>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "python/errors.h"
#include "support/console.h"

namespace tarnel::numpy {

using python::report_and_set_training_failure;

namespace {

// Slots of the API table; the same in NumPy 1.26 and every NumPy 2 release.
enum ApiSlot : int {
  slot_c_api_version = 0,
  slot_array_type = 2,
  slot_descr_from_type = 45,
  slot_new_from_descr = 94,
  slot_equiv_types = 182,
  slot_feature_version = 211,
  slot_set_base_object = 282,
};

// The NumPy C APIs this module reads: the slots above and the array fields
// below are those of the ABIs of NumPy 1 and NumPy 2 (the major version is
// the top byte of the C-API version), from the feature version of NumPy
// 1.25 on (NumPy 1.26 has it too). Another major ABI may move any of them,
// so it is refused before anything else of the table is read, as NumPy's
// own import_array refuses an ABI it was not built for.
constexpr unsigned first_major = 1;
constexpr unsigned last_major = 2;
constexpr unsigned least_feature_version = 0x11;

constexpr int type_double = 12;                          // NPY_DOUBLE
constexpr int type_uint64 = sizeof(long) == 8 ? 8 : 10;  // NPY_UINT64: NPY_ULONG, or NPY_ULONGLONG
constexpr int flag_writeable = 0x0400;                   // NPY_ARRAY_WRITEABLE

struct Api {
  PyTypeObject* array_type;
  PyObject* (*descr_from_type)(int type_number);
  PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd, const Py_ssize_t* dims,
                              const Py_ssize_t* strides, void* data, int flags, PyObject* obj);
  unsigned char (*equiv_types)(PyObject* a, PyObject* b);
  int (*set_base_object)(PyObject* array, PyObject* base);
  PyObject* float64;  // the float64 descriptor, one reference kept
};

// Filled once, with the interpreter lock held, and kept for the process.
Api loaded{};
bool ready = false;

const Api& api() {
  assert(ready);
  return loaded;
}

// The leading fields of every NumPy array object, which NumPy's own inline
// accessors read; their layout has not changed across NumPy 1 and 2.
struct ArrayFields {
  PyObject head;
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
};

const ArrayFields* fields(PyObject* array) { return reinterpret_cast<const ArrayFields*>(array); }

// NumPy 2 moved its core to numpy._core; numpy.core.multiarray still serves
// the capsule, but may not forever.
Ref import_multiarray() {
  Ref module(PyImport_ImportModule("numpy.core.multiarray"));
  if (!module) {
    PyErr_Clear();
    module = Ref(PyImport_ImportModule("numpy._core.multiarray"));
  }
  return module;
}

std::string hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

// What was found wrong with the table, when it is the table's version.
using Refusal = std::optional<std::string>;

// Fills `out`; false with a Python error set, or with `refusal` set (and no
// error) when the table is of a NumPy this module cannot read.
bool load_table(Api& out, Refusal& refusal) {
  Ref module = import_multiarray();
  if (!module) return false;
  Ref capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule || !PyCapsule_CheckExact(capsule.get())) return false;
  const char* name = PyCapsule_GetName(capsule.get());
  if (name == nullptr && PyErr_Occurred()) return false;
  auto table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), name));
  if (table == nullptr) return false;
  using Version = unsigned (*)();
  const unsigned version = reinterpret_cast<Version>(table[slot_c_api_version])();
  if (const unsigned major = version >> 24; major < first_major || major > last_major) {
    refusal = "the NumPy found has C-API version " + hex(version) + "; this module reads major versions " +
              std::to_string(first_major) + " (NumPy 1.26) and " + std::to_string(last_major) + " (NumPy 2)";
    return false;
  }
  const unsigned feature = reinterpret_cast<Version>(table[slot_feature_version])();
  if (feature < least_feature_version) {
    refusal = "the NumPy found has C-API feature version " + hex(feature) +
              "; this module reads feature versions " + hex(least_feature_version) +
              " (NumPy 1.25) and later";
    return false;
  }
  // The table lives as long as NumPy's extension module, which is never
  // unloaded, so the pointers stay valid after the capsule reference goes.
  out.array_type = static_cast<PyTypeObject*>(table[slot_array_type]);
  out.descr_from_type = reinterpret_cast<decltype(out.descr_from_type)>(table[slot_descr_from_type]);
  out.new_from_descr = reinterpret_cast<decltype(out.new_from_descr)>(table[slot_new_from_descr]);
  out.equiv_types = reinterpret_cast<decltype(out.equiv_types)>(table[slot_equiv_types]);
  out.set_base_object = reinterpret_cast<decltype(out.set_base_object)>(table[slot_set_base_object]);
  out.float64 = out.descr_from_type(type_double);
  return out.float64 != nullptr;
}

// Sets the training failure for a failed load, with what went wrong as its
// cause (NumPy missing or broken) or its note (a NumPy of another C API).
// The traceback is dropped: it holds the frames of the failed import, and
// the cause keeps its own.
void fail_load(const Refusal& refusal) {
  const std::string message = "failed to access the NumPy array API capsule (_ARRAY_API)";
  if (refusal) {
    console::report_failure(message);
    python::set_training_failure(message, {*refusal});
    return;
  }
  Ref cause = std::move(python::fetch_error().value);
  report_and_set_training_failure(message);
  if (cause) {
    python::FetchedError failure = python::fetch_error();
    if (failure.value) PyException_SetCause(failure.value.get(), cause.release());
    failure.restore();
  }
}

constexpr const char* owner_name = "tarnel.table";

template <typename T>
void free_owned(PyObject* owner) {
  // Reclaims the buffer that to_array gave to the capsule.
  std::unique_ptr<std::vector<T>> table(
      static_cast<std::vector<T>*>(PyCapsule_GetPointer(owner, owner_name)));
}

// A new array of `descr` over `values`, which it takes over (see to_array).
template <typename T>
PyObject* hand_over(std::vector<T>&& values, Ref descr, int nd, const std::uint64_t* dims,
                    const std::uint64_t* element_strides) {
  const Api& numpy = api();
  Py_ssize_t shape[3];
  Py_ssize_t strides[3];
  for (int k = 0; k < nd; ++k) {
    // An empty table may have one huge extent that NumPy cannot index.
    if (dims[k] > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      report_and_set_training_failure("a table extent of " + std::to_string(dims[k]) +
                                      " does not fit NumPy's index type");
      return nullptr;
    }
    shape[k] = static_cast<Py_ssize_t>(dims[k]);
    strides[k] = static_cast<Py_ssize_t>(element_strides[k] * sizeof(T));
  }
  auto buffer = std::make_unique<std::vector<T>>(std::move(values));
  // A null data pointer would make NumPy allocate memory of its own; give
  // even an empty table a buffer, so the owner always owns the data.
  if (buffer->capacity() == 0) buffer->reserve(1);
  void* data = buffer->data();
  // Only memory can run out here: the MemoryError stands, as everywhere.
  Ref owner(PyCapsule_New(buffer.get(), owner_name, free_owned<T>));
  if (!owner) return nullptr;
  buffer.release();  // the capsule owns it now
  // The descriptor's reference passes to NumPy, even on failure.
  Ref array(numpy.new_from_descr(numpy.array_type, descr.release(), nd, shape, strides, data, flag_writeable,
                                 nullptr));
  if (!array) return nullptr;  // `owner` frees the buffer
  // The array takes over the owner's reference, on failure too.
  if (numpy.set_base_object(array.get(), owner.release()) < 0) return nullptr;
  return array.release();
}

// A NumPy function, looked up once and kept for the process.
PyObject* numpy_function(const char* name) {
  Ref module(PyImport_ImportModule("numpy"));
  return module ? PyObject_GetAttrString(module.get(), name) : nullptr;
}

Ref call_numpy(PyObject*& function, const char* name, PyObject* argument) {
  if (function == nullptr && (function = numpy_function(name)) == nullptr) return Ref();
  return Ref(PyObject_CallFunctionObjArgs(function, argument, nullptr));
}

// An array's size in bytes, which only a resize changes; nothing when it
// cannot be read. Almost every block is float64, whose item size is known.
std::optional<std::uint64_t> byte_size(const ArrayFields* f) {
  std::uint64_t count = 1;
  for (int k = 0; k < f->nd; ++k) count *= static_cast<std::uint64_t>(f->dimensions[k]);
  if (f->descr == loaded.float64) return count * sizeof(double);
  Ref size(PyObject_GetAttrString(f->descr, "itemsize"));
  const unsigned long long item = size ? PyLong_AsUnsignedLongLong(size.get()) : 0;
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return count * item;
}

}  // namespace

bool load() {
  if (!ready) {
    Api table{};
    Refusal refusal;
    if (!load_table(table, refusal)) {
      fail_load(refusal);
      return false;
    }
    loaded = table;
    ready = true;
  }
  return true;
}

Ref asarray(PyObject* object) {
  static PyObject* function = nullptr;
  return call_numpy(function, "asarray", object);
}

Ref owning_copy(PyObject* array) {
  static PyObject* function = nullptr;
  return call_numpy(function, "array", array);
}

bool is_array(PyObject* object) { return PyObject_TypeCheck(object, api().array_type) != 0; }

int ndim(PyObject* array) { return fields(array)->nd; }

PyObject* dtype(PyObject* array) { return fields(array)->descr; }

Ref shape(PyObject* array) {
  const ArrayFields* f = fields(array);
  Ref tuple(PyTuple_New(f->nd));
  for (int k = 0; tuple && k < f->nd; ++k) {
    PyObject* extent = PyLong_FromSsize_t(f->dimensions[k]);
    if (extent == nullptr) return Ref();
    PyTuple_SetItem(tuple.get(), k, extent);  // steals the reference
  }
  return tuple;
}

PyObject* float64() { return api().float64; }

bool is_float64(PyObject* descr) {
  const Api& numpy = api();
  return descr == numpy.float64 || numpy.equiv_types(descr, numpy.float64) != 0;
}

ArrayView view_of(PyObject* array) {
  const ArrayFields* f = fields(array);
  ArrayView view;
  view.data = reinterpret_cast<const std::byte*>(f->data);
  view.rows = static_cast<std::uint64_t>(f->dimensions[0]);
  view.columns = static_cast<std::uint64_t>(f->dimensions[1]);
  view.row_stride = f->strides[0];
  view.column_stride = f->strides[1];
  return view;
}

void prefetch_shape(PyObject* array) {
  // NumPy keeps the strides right after the extents.
  __builtin_prefetch(fields(array)->dimensions);
}

Vector vector_of(PyObject* array) {
  const ArrayFields* f = fields(array);
  return {reinterpret_cast<const std::byte*>(f->data), static_cast<std::uint64_t>(f->dimensions[0]),
          f->strides[0]};
}

bool still_matches(PyObject* array, const Vector& vector, PyObject* descr) {
  const ArrayFields* f = fields(array);
  if (f->nd != 1 || f->descr != descr) return false;
  const Vector now = vector_of(array);
  return now.data == vector.data && now.length == vector.length && now.stride == vector.stride;
}

bool still_matches(PyObject* array, const ArrayView& view) {
  const ArrayFields* f = fields(array);
  if (f->nd != 2) return false;
  const ArrayView now = view_of(array);
  return now.data == view.data && now.rows == view.rows && now.columns == view.columns &&
         now.row_stride == view.row_stride && now.column_stride == view.column_stride && is_float64(f->descr);
}

Memory memory_of(PyObject* array) {
  PyObject* end = array;
  // NumPy shortens most chains to one link, but not every one (a view of a
  // subclass view, for one).
  while (fields(end)->base != nullptr && is_array(fields(end)->base)) end = fields(end)->base;
  // The array's own layout is checked by still_matches.
  Memory out;
  if (end != array) out.block = end;
  PyObject* owner = fields(end)->base;
  // Bytes never change while referenced, and a memory map is kept as it is:
  // copying it would double the memory of the largest data sets.
  if (owner == nullptr || PyBytes_CheckExact(owner)) return out;
  static PyObject* mmap_type = [] {
    Ref module(PyImport_ImportModule("mmap"));
    PyObject* type = module ? PyObject_GetAttrString(module.get(), "mmap") : nullptr;
    if (type == nullptr) PyErr_Clear();
    return type;  // kept for the process, like the API table
  }();
  out.foreign = mmap_type == nullptr || Py_TYPE(owner) != reinterpret_cast<PyTypeObject*>(mmap_type);
  return out;
}

Block hold(PyObject* block) {
  Block out;
  if (block != nullptr) {
    Py_INCREF(block);
    out.array = Ref(block);
    out.data = fields(block)->data;
    out.bytes = byte_size(fields(block));
  }
  return out;
}

bool still_holds(const Block& block) {
  if (!block.array) return true;
  const ArrayFields* f = fields(block.array.get());
  // A new shape or dtype keeps the bytes; a resize reallocates exactly when
  // their number changes.
  return f->data == block.data && block.bytes && byte_size(f) == block.bytes;
}

PyObject* to_array(std::vector<double>&& values, int nd, const std::uint64_t* dims,
                   const std::uint64_t* element_strides) {
  if (!load()) return nullptr;
  Py_INCREF(api().float64);
  return hand_over(std::move(values), Ref(api().float64), nd, dims, element_strides);
}

PyObject* to_array(std::vector<std::uint64_t>&& values, int nd, const std::uint64_t* dims,
                   const std::uint64_t* element_strides) {
  if (!load()) return nullptr;
  Ref uint64(api().descr_from_type(type_uint64));
  if (!uint64) return nullptr;
  return hand_over(std::move(values), std::move(uint64), nd, dims, element_strides);
}

}  // namespace tarnel::numpy
