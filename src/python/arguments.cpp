// Argument binding and conversion, with the error texts callers see.
#include "python/arguments.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "python/numpy_bridge.h"
#include "python/errors.h"

namespace tarnel::arguments {


namespace {

void raise_type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

// "'<T>' object cannot be converted to '<target>'"
void raise_cannot_convert(PyObject* object, const char* target) {
  // Built by appending: GCC 12 warns wrongly (-Wrestrict) on "'" + std::string.
  std::string message = python::type_name(object);
  message.insert(0, 1, '\'');
  message.append("' object cannot be converted to '").append(target).append("'");
  raise_type_error(message);
}

std::string quoted_list(const std::vector<const char*>& names) {
  std::string list;
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k > 0) list += names.size() == 2 ? " and " : (k + 1 == names.size() ? ", and " : ", ");
    list += "'";
    list += names[k];
    list += "'";
  }
  return list;
}

// A sequence's reported length only sizes the first reservation; the items
// decide the length, so a huge or lying __len__ cannot make it fail.
constexpr Py_ssize_t max_reserved_arrays = 1 << 16;

}  // namespace

bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const std::size_t count = signature.parameters.size();
  std::fill(slots, slots + count, nullptr);
  const auto given = static_cast<std::size_t>(PyTuple_Size(args));
  for (std::size_t k = 0; k < std::min(given, count); ++k) {
    slots[k] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(k));
  }
  if (given > count) {
    raise_type_error(std::string(signature.name) + "() takes from " + std::to_string(signature.required) +
                     " to " + std::to_string(count) + " positional arguments but " +
                     std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      Py_ssize_t size = 0;
      // A str key with no UTF-8 form (a lone surrogate) can name no
      // parameter: it is an unexpected keyword like any other unknown name.
      const char* text = PyUnicode_AsUTF8AndSize(key, &size);
      if (text == nullptr) {
        if (!PyUnicode_Check(key)) return false;
        PyErr_Clear();
      }
      std::size_t k = text == nullptr ? count : 0;
      while (k < count && !(std::strlen(signature.parameters[k]) == static_cast<std::size_t>(size) &&
                            std::memcmp(signature.parameters[k], text, static_cast<std::size_t>(size)) == 0)) {
        ++k;
      }
      if (k == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name, key);
        return false;
      }
      if (slots[k] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", signature.name, key);
        return false;
      }
      slots[k] = value;
    }
  }
  if (given < signature.required) {
    std::vector<const char*> missing;
    for (std::size_t k = 0; k < signature.required; ++k) {
      if (slots[k] == nullptr) missing.push_back(signature.parameters[k]);
    }
    if (!missing.empty()) {
      raise_type_error(std::string(signature.name) + "() missing " + std::to_string(missing.size()) +
                       " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                       quoted_list(missing));
      return false;
    }
  }
  return true;
}

bool to_episode_arrays(PyObject* object, EpisodeArrays& out) {
  // A str is a sequence, of one-character strs; never of episode arrays.
  if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0 || !PySequence_Check(object)) {
    raise_cannot_convert(object, "Sequence");
    return false;
  }
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    PyErr_Clear();
  } else {
    const auto room = static_cast<std::size_t>(std::min(length, max_reserved_arrays));
    out.arrays.reserve(room);
    out.views.reserve(room);
  }
  Ref iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  const numpy::Api* api = nullptr;
  PyObject* float64 = nullptr;  // borrowed from `float64_ref`
  Ref float64_ref;
  while (Ref item{PyIter_Next(iterator.get())}) {
    if (api == nullptr) {
      api = numpy::api();
      if (api == nullptr) return false;
    }
    if (!PyObject_TypeCheck(item.get(), api->array_type)) {
      raise_cannot_convert(item.get(), "PyArray");
      return false;
    }
    const int nd = numpy::ndim(item.get());
    if (nd != 2) {
      raise_type_error("dimensionality mismatch:\n from=" + std::to_string(nd) + ", to=2");
      return false;
    }
    PyObject* descr = numpy::descr(item.get());
    if (float64 == nullptr) {
      float64_ref = Ref(api->descr_from_type(12));
      if (!float64_ref) return false;
      float64 = float64_ref.get();
    }
    if (descr != float64 && !api->equiv_types(descr, float64)) {
      Ref from(PyObject_Str(descr));
      Ref to(PyObject_Str(float64));
      if (!from || !to) return false;
      PyErr_Format(PyExc_TypeError, "type mismatch:\n from=%U, to=%U", from.get(), to.get());
      return false;
    }
    out.views.push_back(numpy::view_of(item.get()));
    out.arrays.push_back(std::move(item));
  }
  return !PyErr_Occurred();
}

bool to_unsigned(PyObject* object, std::uint64_t& out) {
  Ref index(PyNumber_Index(object));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_shape(PyObject* object, QShape& out) {
  if (!PyTuple_Check(object)) {
    raise_cannot_convert(object, "PyTuple");
    return false;
  }
  const Py_ssize_t length = PyTuple_Size(object);
  if (length != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", length);
    return false;
  }
  return to_unsigned(PyTuple_GetItem(object, 0), out.first) &&
         to_unsigned(PyTuple_GetItem(object, 1), out.second);
}

bool to_float(PyObject* object, double& out) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_flag(PyObject* object, bool& out) {
  if (Py_TYPE(object) != &PyBool_Type) {
    raise_cannot_convert(object, "PyBool");
    return false;
  }
  out = object == Py_True;
  return true;
}

bool to_optional_float(PyObject* object, std::optional<double>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  double value = 0.0;
  if (!to_float(object, value)) return false;
  out = value;
  return true;
}

}  // namespace tarnel::arguments
