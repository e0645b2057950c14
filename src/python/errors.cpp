// The training-failure exception type, the mapping of C++ failures, and
// TypeError wrapping.
#include "python/errors.h"

#include <exception>
#include <new>

#include "support/console.h"
#include "support/failure.h"

namespace tarnel::python {

namespace {

// A str attribute of `object`, or nullptr with no error pending.
Ref string_attribute(PyObject* object, const char* attribute) {
  Ref value(PyObject_GetAttrString(object, attribute));
  if (value && PyUnicode_Check(value.get())) return value;
  PyErr_Clear();
  return Ref();
}

}  // namespace

PyObject* training_failure_type() {
  // Filled once, with the interpreter lock held, and kept for the process.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "tarnel.TrainingFailure",
        "A training failed: bad episode data, an empty episode list, a failed worker or an "
        "impossible table size. Derives from BaseException, not Exception.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void set_training_failure(const std::string& message) {
  if (PyObject* type = training_failure_type()) {
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
  }
}

void report_and_set_training_failure(const std::string& message) {
  console::report_failure(message);
  set_training_failure(message);
}

void set_error_from_current_exception() noexcept {
  try {
    try {
      throw;
    } catch (const TrainingFailure& failure) {
      set_training_failure(failure.what());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& error) {
      report_and_set_training_failure(error.what());
    } catch (...) {
      PyErr_SetString(PyExc_SystemError, "an exception of unknown type reached the module boundary");
    }
  } catch (...) {
    // Wording the error took memory that was not there.
    PyErr_NoMemory();
  }
}

Ref type_name(PyObject* object) {
  if (Ref name = string_attribute(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__")) return name;
  return Ref(PyUnicode_FromString("<failed to extract type name>"));
}

void wrap_error(const char* parameter) {
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  Ref type(raw_type), value(raw_value), traceback(raw_traceback);
  if (type.get() != PyExc_TypeError) {
    PyErr_Restore(type.release(), value.release(), traceback.release());
    return;
  }
  Ref message;
  if (Ref text{value ? PyObject_Str(value.get()) : nullptr}) {
    message = Ref(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  } else {
    PyErr_Clear();
    Ref name = string_attribute(type.get(), "__name__");
    message = Ref(name ? PyUnicode_FromFormat("argument '%s': <unprintable %U object>", parameter, name.get())
                       : PyUnicode_FromFormat("argument '%s': <unprintable object>", parameter));
  }
  if (!message) return;
  Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;  // that error stands instead
  if (value) {
    if (PyObject* cause = PyException_GetCause(value.get())) {
      PyException_SetCause(replacement.get(), cause);  // steals the reference
    }
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace tarnel::python
