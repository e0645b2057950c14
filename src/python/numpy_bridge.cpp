// The NumPy bridge: NumPy's C API taken from its capsule, episode arrays read
// through their own fields, and results handed over without a copy.
#include "python/numpy_bridge.h"

#include <cstring>
#include <memory>
#include <string>

#include "python/errors.h"
#include "python/ref.h"

namespace tarnel::numpy {

using python::Ref;
using python::report_and_set_training_failure;

namespace {

// Slots of the API table; the same in NumPy 1.26 and every NumPy 2 release.
constexpr int slot_array_type = 2;
constexpr int slot_descr_from_type = 45;
constexpr int slot_new_from_descr = 94;
constexpr int slot_equiv_types = 182;
constexpr int slot_set_base_object = 282;

constexpr int type_double = 12;         // NPY_DOUBLE
constexpr int flag_writeable = 0x0400;  // NPY_ARRAY_WRITEABLE

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

bool load(Api& api) {
  Ref module = import_multiarray();
  if (!module) return false;
  Ref capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule || !PyCapsule_CheckExact(capsule.get())) return false;
  const char* name = PyCapsule_GetName(capsule.get());
  if (name == nullptr && PyErr_Occurred()) return false;
  auto table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), name));
  if (table == nullptr) return false;
  // The table lives as long as NumPy's extension module, which is never
  // unloaded, so the pointers stay valid after the capsule reference goes.
  api.array_type = static_cast<PyTypeObject*>(table[slot_array_type]);
  api.descr_from_type = reinterpret_cast<decltype(api.descr_from_type)>(table[slot_descr_from_type]);
  api.new_from_descr = reinterpret_cast<decltype(api.new_from_descr)>(table[slot_new_from_descr]);
  api.equiv_types = reinterpret_cast<decltype(api.equiv_types)>(table[slot_equiv_types]);
  api.set_base_object = reinterpret_cast<decltype(api.set_base_object)>(table[slot_set_base_object]);
  return true;
}

constexpr const char* owner_name = "tarnel.table";

void free_owned_table(PyObject* owner) {
  // Reclaims the buffer that to_array gave to the capsule.
  std::unique_ptr<std::vector<double>> table(
      static_cast<std::vector<double>*>(PyCapsule_GetPointer(owner, owner_name)));
}

}  // namespace

const Api* api() {
  // Filled once, with the interpreter lock held, and kept for the process.
  static Api loaded{};
  static bool ready = false;
  if (!ready) {
    if (!load(loaded)) {
      // Keep what went wrong as the cause: it says whether NumPy is missing
      // or broken.
      PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
      PyErr_Fetch(&type, &value, &traceback);
      PyErr_NormalizeException(&type, &value, &traceback);
      Ref cause(value);
      Py_XDECREF(type);
      Py_XDECREF(traceback);
      report_and_set_training_failure("failed to access the NumPy array API capsule (_ARRAY_API)");
      if (cause) {
        PyObject *ftype = nullptr, *fvalue = nullptr, *ftraceback = nullptr;
        PyErr_Fetch(&ftype, &fvalue, &ftraceback);
        PyErr_NormalizeException(&ftype, &fvalue, &ftraceback);
        if (fvalue) PyException_SetCause(fvalue, cause.release());
        PyErr_Restore(ftype, fvalue, ftraceback);
      }
      return nullptr;
    }
    ready = true;
  }
  return &loaded;
}

int ndim(PyObject* array) { return fields(array)->nd; }

PyObject* descr(PyObject* array) { return fields(array)->descr; }

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

bool still_matches(PyObject* array, const ArrayView& view) {
  const ArrayFields* f = fields(array);
  if (f->nd != 2) return false;
  const ArrayView now = view_of(array);
  if (now.data != view.data || now.rows != view.rows || now.columns != view.columns ||
      now.row_stride != view.row_stride || now.column_stride != view.column_stride) {
    return false;
  }
  // The API was loaded when the view was taken, so this cannot fail.
  const Api* numpy = api();
  Ref float64(numpy->descr_from_type(type_double));
  if (!float64) {
    PyErr_Clear();
    return false;
  }
  return f->descr == float64.get() || numpy->equiv_types(f->descr, float64.get()) != 0;
}

PyObject* to_array(std::vector<double>&& values, int nd, const std::uint64_t* dims,
                   const std::uint64_t* element_strides) {
  const Api* numpy = api();
  if (numpy == nullptr) return nullptr;
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
    strides[k] = static_cast<Py_ssize_t>(element_strides[k] * sizeof(double));
  }
  auto buffer = std::make_unique<std::vector<double>>(std::move(values));
  // A null data pointer would make NumPy allocate memory of its own; give
  // even an empty table a buffer, so the owner always owns the data.
  if (buffer->capacity() == 0) buffer->reserve(1);
  void* data = buffer->data();
  Ref owner(PyCapsule_New(buffer.get(), owner_name, free_owned_table));
  if (!owner) {
    PyErr_Clear();
    report_and_set_training_failure("creating the owner of the result array failed");
    return nullptr;
  }
  buffer.release();  // the capsule owns it now
  PyObject* descriptor = numpy->descr_from_type(type_double);
  if (descriptor == nullptr) return nullptr;
  // The descriptor's reference passes to NumPy, even on failure.
  Ref array(numpy->new_from_descr(numpy->array_type, descriptor, nd, shape, strides, data,
                                  flag_writeable, nullptr));
  if (!array) return nullptr;  // `owner` frees the buffer
  // The array takes over the owner's reference, on failure too.
  if (numpy->set_base_object(array.get(), owner.release()) < 0) return nullptr;
  return array.release();
}

}  // namespace tarnel::numpy
