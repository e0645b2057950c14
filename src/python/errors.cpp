// The training-failure exception type and TypeError wrapping.
#include "python/errors.h"

#include "python/ref.h"
#include "support/console.h"

namespace tarnel::python {

namespace {

// Reads a str attribute as UTF-8, or returns false with no error pending.
bool string_attribute(PyObject* object, const char* attribute, std::string& out) {
  Ref value(PyObject_GetAttrString(object, attribute));
  if (value && PyUnicode_Check(value.get())) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size)) {
      out.assign(text, static_cast<std::size_t>(size));
      return true;
    }
  }
  PyErr_Clear();
  return false;
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

std::string type_name(PyObject* object) {
  std::string name;
  if (!string_attribute(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__", name)) {
    return "<failed to extract type name>";
  }
  return name;
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
  std::string text;
  Ref str(value ? PyObject_Str(value.get()) : nullptr);
  Py_ssize_t size = 0;
  const char* utf8 = str ? PyUnicode_AsUTF8AndSize(str.get(), &size) : nullptr;
  if (utf8 != nullptr) {
    text.assign(utf8, static_cast<std::size_t>(size));
  } else {
    PyErr_Clear();
    std::string name;
    text = string_attribute(type.get(), "__name__", name) ? "<unprintable " + name + " object>"
                                                          : "<unprintable object>";
  }
  const std::string message = std::string("argument '") + parameter + "': " + text;
  Ref message_object(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!message_object) return;
  Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message_object.get(), nullptr));
  if (!replacement) return;  // that error stands instead
  if (value) {
    if (PyObject* cause = PyException_GetCause(value.get())) {
      PyException_SetCause(replacement.get(), cause);  // steals the reference
    }
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace tarnel::python
