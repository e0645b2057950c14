// Python errors raised by the boundary: the training-failure exception type
// and the data warning category, the one mapping of C++ failures to Python
// exceptions, notes on exceptions, the parameter-name wrapping of
// TypeErrors, and type names for error texts.
// Every text that quotes Python (a type's name, an exception's message) is
// kept as a Python str from end to end, so NUL characters and lone
// surrogates come through.
#pragma once

#include <Python.h>

#include <span>
#include <string>
#include <vector>

#include "python/ref.h"

namespace tarnel::python {

// The dedicated exception type of failures inside training, derived directly
// from BaseException so that `except Exception` does not swallow a failed
// training. Created once, when the module is initialised, and published as
// `tarnel.TrainingFailure`; nullptr (with an error set) if it cannot be.
PyObject* training_failure_type();

// The warning category of data that reads as recorded but is almost
// certainly wrong, a UserWarning subclass published as `tarnel.DataWarning`;
// made and kept like the failure type.
PyObject* data_warning_type();

// Raises `type` with `message` and `notes` (UTF-8 texts of the core). The
// exception is made and given its notes before it is raised: when memory
// runs out for it, MemoryError stands alone, never carrying notes meant for
// another exception. A note there is no memory for is left out.
void set_error(PyObject* type, const std::string& message, const std::vector<std::string>& notes = {});

// Sets the training-failure exception with `message` and `notes`.
void set_training_failure(const std::string& message, const std::vector<std::string>& notes = {});

// Reports `message` on standard error, as failures inside the core are, then
// sets the training-failure exception (for failures of the boundary itself).
void report_and_set_training_failure(const std::string& message);

// The mapping of whatever C++ exception is being handled to a Python error:
// a training failure to the training-failure exception (already reported by
// the core), std::bad_alloc to MemoryError, any other std::exception to a
// reported training failure, and anything else to SystemError. Call it only
// from a catch block.
void set_error_from_current_exception() noexcept;

// Runs `body` (returning a new reference, or nullptr with a Python error set)
// so that no C++ exception leaves it: the one place where an entry function's
// C++ failures become Python errors.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// The pending exception, taken out of the interpreter and normalised, so
// that Python code can run before it is raised again with restore().
struct FetchedError {
  Ref type;
  Ref value;
  Ref traceback;
  void restore();
};
FetchedError fetch_error();

// Adds `notes` (strs) to `exception` as its notes: appended to its
// `__notes__` list, which is created when missing. Python 3.11 and later
// print them under the traceback; 3.10 keeps them in the same attribute,
// and pickling keeps them on every version (they live in the instance's
// __dict__). An exception that cannot take them stands without them. Needs
// no error pending, and leaves none.
void add_notes(PyObject* exception, std::span<const Ref> notes);

// If the pending error is exactly a TypeError, replaces it by
// TypeError("argument '<parameter>': <str(old)>") keeping the old __cause__
// and __notes__.
void wrap_error(const char* parameter);

// `__qualname__` of the object's type as a str, or the str
// "<failed to extract type name>" when it cannot be read as one. nullptr
// (with an error set) only when memory runs out.
Ref type_name(PyObject* object);

}  // namespace tarnel::python
