// Python errors raised by the boundary: the training-failure exception type
// and the parameter-name wrapping of TypeErrors.
#pragma once

#include <Python.h>

#include <string>

namespace tarnel::python {

// The dedicated exception type of failures inside training, derived directly
// from BaseException so that `except Exception` does not swallow a failed
// training. Created once, when the module is initialised, and published as
// `tarnel.TrainingFailure`; nullptr (with an error set) if it cannot be.
PyObject* training_failure_type();

// Sets the training-failure exception with `message`.
void set_training_failure(const std::string& message);

// Reports `message` on standard error, as failures inside the core are, then
// sets the training-failure exception (for failures of the boundary itself).
void report_and_set_training_failure(const std::string& message);

// If the pending error is exactly a TypeError, replaces it by
// TypeError("argument '<parameter>': <str(old)>") keeping the old __cause__.
void wrap_error(const char* parameter);

// `__qualname__` of the object's type, or "<failed to extract type name>".
std::string type_name(PyObject* object);

}  // namespace tarnel::python
