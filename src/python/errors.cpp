// The training-failure exception type, the data warning category, the
// mapping of C++ failures, notes on exceptions, and TypeError wrapping.
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

// A text of the core as a str; its bytes are UTF-8, and any that are not
// are replaced rather than refused.
Ref decoded(const std::string& text) {
  return Ref(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// The type `kept` holds, made on first use: filled once, with the
// interpreter lock held, and kept for the process.
PyObject* kept_type(PyObject*& kept, const char* name, const char* doc, PyObject* base) {
  if (kept == nullptr) kept = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
  return kept;
}

}  // namespace

PyObject* training_failure_type() {
  static PyObject* type = nullptr;
  return kept_type(type, "tarnel.TrainingFailure",
                   "A training failed: bad episode data, an empty episode list, a failed worker or an "
                   "impossible table size. Derives from BaseException, not Exception.",
                   PyExc_BaseException);
}

PyObject* data_warning_type() {
  static PyObject* type = nullptr;
  return kept_type(
      type, "tarnel.DataWarning",
      "Episode data that reads as recorded but is almost certainly wrong: next states beyond the "
      "table on terminal rows (states numbered from 1), terminal flags on time-limit cuts, padding "
      "rows, next states taken from the row that starts the next episode, rows out of order. Issued by "
      "check_episodes; filter it, or turn it into an error, with the warnings module.",
      PyExc_UserWarning);
}

void set_error(PyObject* type, const std::string& message, const std::vector<std::string>& notes) {
  Ref text = decoded(message);
  if (!text) return;
  Ref exception(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (!exception) return;
  std::vector<Ref> texts;
  texts.reserve(notes.size());
  for (const std::string& note : notes) {
    if (Ref decoded_note = decoded(note)) {
      texts.push_back(std::move(decoded_note));
    } else {
      PyErr_Clear();  // a note there is no memory for is left out
    }
  }
  add_notes(exception.get(), texts);
  PyErr_SetObject(type, exception.get());
}

void set_training_failure(const std::string& message, const std::vector<std::string>& notes) {
  if (PyObject* type = training_failure_type()) set_error(type, message, notes);
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
      set_training_failure(failure.what(), failure.notes());
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

FetchedError fetch_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  return {Ref(type), Ref(value), Ref(traceback)};
}

void FetchedError::restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }

void add_notes(PyObject* exception, std::span<const Ref> notes) {
  if (notes.empty()) return;
  // Attribute access is all the limited API offers, and it is the same on
  // 3.10, which has no add_note.
  Ref list(PyObject_GetAttrString(exception, "__notes__"));
  if (!list && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    list = Ref(PyList_New(0));
    if (list && PyObject_SetAttrString(exception, "__notes__", list.get()) < 0) list.reset();
  }
  if (list && PyList_Check(list.get())) {
    for (const Ref& note : notes) {
      if (PyList_Append(list.get(), note.get()) < 0) break;
    }
  }
  PyErr_Clear();  // the exception stands without the notes it could not take
}

void wrap_error(const char* parameter) {
  FetchedError error = fetch_error();
  if (error.type.get() != PyExc_TypeError) {
    error.restore();
    return;
  }
  Ref message;
  if (Ref text{error.value ? PyObject_Str(error.value.get()) : nullptr}) {
    message = Ref(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  } else {
    PyErr_Clear();
    Ref name = string_attribute(error.type.get(), "__name__");
    message = Ref(name ? PyUnicode_FromFormat("argument '%s': <unprintable %U object>", parameter, name.get())
                       : PyUnicode_FromFormat("argument '%s': <unprintable object>", parameter));
  }
  if (!message) return;
  Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;  // that error stands instead
  if (PyObject* old = error.value.get()) {
    if (PyObject* cause = PyException_GetCause(old)) {
      PyException_SetCause(replacement.get(), cause);  // steals the reference
    }
    Ref notes(PyObject_GetAttrString(old, "__notes__"));
    if (!notes || PyObject_SetAttrString(replacement.get(), "__notes__", notes.get()) < 0) PyErr_Clear();
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace tarnel::python
