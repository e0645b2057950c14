// Argument binding and conversion, with the error texts callers see.
#include "python/arguments.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "episode/episode.h"
#include "python/episode_table.h"
#include "python/errors.h"

namespace tarnel::arguments {

namespace {

void raise_type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

// "'<T>' object cannot be converted to '<target>'"
void raise_cannot_convert(PyObject* object, const char* target) {
  if (Ref name = python::type_name(object)) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  }
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

// Whether `item` is a 2-D float64 array, the only form of an episode;
// otherwise false with the TypeError that says why.
bool is_episode_array(PyObject* item) {
  if (!numpy::is_array(item)) {
    raise_cannot_convert(item, "PyArray");
    return false;
  }
  const int nd = numpy::ndim(item);
  if (nd != 2) {
    PyErr_Format(PyExc_TypeError, "dimensionality mismatch:\n from=%d, to=2", nd);
    return false;
  }
  if (!numpy::is_float64(numpy::dtype(item))) {
    // str() of a dtype runs Python code, which must not start with an error
    // pending.
    Ref from(PyObject_Str(numpy::dtype(item)));
    if (!from) return false;
    Ref to(PyObject_Str(numpy::float64()));
    if (!to) return false;
    PyErr_Format(PyExc_TypeError, "type mismatch:\n from=%U, to=%U", from.get(), to.get());
    return false;
  }
  return true;
}

// The notes that name item `position` of `data`: what it is, and how to
// convert it where NumPy can (an array of another dtype, a sequence of rows).
// A note there is no memory for is left out. Needs no error pending, and
// leaves none: each failed step's error is dropped before the next runs.
std::vector<Ref> location_notes(PyObject* item, std::size_t position) {
  std::string where;
  try {
    where = location(position);
  } catch (const std::bad_alloc&) {
    return {};
  }
  Ref what;
  bool convertible = false;
  if (numpy::is_array(item)) {
    if (Ref shape = numpy::shape(item)) {
      what =
          Ref(PyUnicode_FromFormat("%s: dtype %S, shape %R", where.c_str(), numpy::dtype(item), shape.get()));
    }
    PyErr_Clear();
    // np.asarray keeps the number of dimensions.
    convertible = numpy::ndim(item) == 2 && !numpy::is_float64(numpy::dtype(item));
  } else {
    if (Ref name = python::type_name(item)) {
      what = Ref(PyUnicode_FromFormat("%s: type %U, not a NumPy array", where.c_str(), name.get()));
    }
    PyErr_Clear();
    // A str or bytes is a sequence, but of characters, never of rows.
    constexpr unsigned long text_flags = Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_BYTES_SUBCLASS;
    convertible = PySequence_Check(item) && (PyType_GetFlags(Py_TYPE(item)) & text_flags) == 0;
  }
  std::vector<Ref> notes;
  if (what) {
    notes.push_back(std::move(what));
    if (convertible) {
      if (Ref how{PyUnicode_FromString("convert it with np.asarray(episode, dtype=np.float64)")}) {
        notes.push_back(std::move(how));
      }
      PyErr_Clear();
    }
  }
  return notes;
}

// Adds the location notes of item `position` to the TypeError or ValueError
// its conversion raised.
void locate_error(PyObject* item, std::size_t position) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return;
  python::FetchedError error = python::fetch_error();
  // Normalising the error may itself have run out of memory: that error
  // stands, without notes.
  PyObject* value = error.value.get();
  if (value && (PyErr_GivenExceptionMatches(value, PyExc_TypeError) ||
                PyErr_GivenExceptionMatches(value, PyExc_ValueError))) {
    python::add_notes(value, location_notes(item, position));
  }
  error.restore();
}

// Adds, to the TypeError or ValueError that converting `data` raised, the
// note that shows the EpisodeTable call for data that is one table of
// transitions (a dict or data frame of columns, or one 2-D array) rather
// than a sequence of episodes. The error itself stands as it is.
// `numpy_loaded` says whether NumPy's API may be asked (an array is a
// sequence, so it fails only once its items are read).
void suggest_table(PyObject* data, bool numpy_loaded) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return;
  python::FetchedError error = python::fetch_error();
  constexpr const char* named =
      "data[\"state\"], data[\"action\"], data[\"reward\"], data[\"next_state\"], data[\"terminal\"]";
  const char* columns = nullptr;
  if (PyDict_Check(data)) {
    columns = named;
  } else if (numpy_loaded && numpy::is_array(data)) {
    if (numpy::ndim(data) == 2) columns = "*data[:, :5].T";
  } else if (Ref name = python::type_name(data)) {
    if (PyUnicode_CompareWithASCIIString(name.get(), "DataFrame") == 0) columns = named;
  }
  PyErr_Clear();  // a type name there was no memory for: no note
  // As in locate_error, an error that normalising replaced stands alone.
  PyObject* value = error.value.get();
  if (columns != nullptr && value &&
      (PyErr_GivenExceptionMatches(value, PyExc_TypeError) ||
       PyErr_GivenExceptionMatches(value, PyExc_ValueError))) {
    const Ref note[] = {
        Ref(PyUnicode_FromFormat("data reads as one table of transitions, not a sequence of episodes: pass "
                                 "tarnel.EpisodeTable(%s, ends), with ends[k] the row after episode k's last",
                                 columns))};
    if (note[0]) {
      python::add_notes(value, note);
    } else {
      PyErr_Clear();
    }
  }
  error.restore();
}

// A sequence's reported length only sizes the first reservation; the items
// decide the length, so a huge or lying __len__ cannot make it fail. A list's
// or a tuple's length is its number of items, and reserves room for all of
// them (unless memory for that is short: the items then claim it as they
// come), so that millions of small arrays are not moved again and again as
// the room grows.
constexpr Py_ssize_t max_reserved_arrays = 1 << 16;

// One conversion per kind of parameter, picked by the type of its destination.

bool to(PyObject* object, held_memory::EpisodeArrays& out) {
  // A str is a sequence, of one-character strs; never of episode arrays.
  if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0 || !PySequence_Check(object)) {
    raise_cannot_convert(object, "Sequence");
    suggest_table(object, false);
    return false;
  }
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    PyErr_Clear();
  } else {
    const bool told_exactly = PyList_CheckExact(object) || PyTuple_CheckExact(object);
    if (!told_exactly || !out.try_reserve(static_cast<std::size_t>(length))) {
      out.reserve(static_cast<std::size_t>(std::min(length, max_reserved_arrays)));
    }
  }
  Ref iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  bool loaded = false;
  while (Ref item{PyIter_Next(iterator.get())}) {
    if (!loaded) {
      if (!numpy::load()) return false;
      loaded = true;
    }
    if (!is_episode_array(item.get())) {
      locate_error(item.get(), out.size());
      suggest_table(object, true);
      return false;
    }
    out.add(std::move(item));
  }
  return !PyErr_Occurred();
}

bool to(PyObject* object, Data& out) {
  if (episode_table::is_table(object)) {
    Py_INCREF(object);
    out.table = Ref(object);
    return true;
  }
  return to(object, out.arrays);
}

bool to(PyObject* object, std::uint64_t& out) {
  Ref index(PyNumber_Index(object));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to(PyObject* object, QShape& out) {
  if (!PyTuple_Check(object)) {
    raise_cannot_convert(object, "PyTuple");
    return false;
  }
  const Py_ssize_t length = PyTuple_Size(object);
  if (length != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", length);
    return false;
  }
  return to(PyTuple_GetItem(object, 0), out.first) && to(PyTuple_GetItem(object, 1), out.second);
}

bool to(PyObject* object, double& out) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to(PyObject* object, bool& out) {
  if (Py_TYPE(object) != &PyBool_Type) {
    raise_cannot_convert(object, "PyBool");
    return false;
  }
  out = object == Py_True;
  return true;
}

bool to(PyObject* object, std::optional<double>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  double value = 0.0;
  if (!to(object, value)) return false;
  out = value;
  return true;
}

// The parameter that keyword `key` names: its index, or the number of
// parameters when it names none; nothing, with the error set, when `key` is
// not a str.
std::optional<std::size_t> parameter_named(std::span<const Parameter> parameters, PyObject* key) {
  Py_ssize_t size = 0;
  // A str key with no UTF-8 form (a lone surrogate) can name no parameter:
  // it is an unexpected keyword like any other unknown name.
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) {
    if (!PyUnicode_Check(key)) return std::nullopt;
    PyErr_Clear();
    return parameters.size();
  }
  std::size_t k = 0;
  while (k < parameters.size() &&
         !(std::strlen(parameters[k].name) == static_cast<std::size_t>(size) &&
           std::memcmp(parameters[k].name, text, static_cast<std::size_t>(size)) == 0)) {
    ++k;
  }
  return k;
}

// How many keyword-only parameters `kwargs` gives, which CPython counts in
// the text of too many positional arguments. Binding stops at that fault
// before it reads the keywords, so a key that names nothing here (or is no
// str) is not yet a fault.
std::size_t keyword_only_given(const Signature& signature, PyObject* kwargs) {
  std::size_t given = 0;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (kwargs != nullptr && PyDict_Next(kwargs, &position, &key, &value)) {
    const std::optional<std::size_t> k = parameter_named(signature.parameters, key);
    if (!k) PyErr_Clear();
    if (k && *k >= signature.positional() && *k < signature.parameters.size()) ++given;
  }
  return given;
}

void raise_too_many_positional(const Signature& signature, std::size_t given, std::size_t keyword_only) {
  const std::size_t positional = signature.positional();
  const std::size_t required = signature.required();
  const std::string takes = required == positional
                                ? std::to_string(positional)
                                : "from " + std::to_string(required) + " to " + std::to_string(positional);
  const bool plural = required < positional || positional != 1;
  std::string counted = std::to_string(given);
  if (keyword_only > 0) {
    counted += std::string(" positional argument") + (given == 1 ? "" : "s") + " (and " +
               std::to_string(keyword_only) + " keyword-only argument" + (keyword_only == 1 ? "" : "s") + ")";
  }
  raise_type_error(std::string(signature.name) + "() takes " + takes + " positional argument" +
                   (plural ? "s" : "") + " but " + counted +
                   (given == 1 && keyword_only == 0 ? " was" : " were") + " given");
}

}  // namespace

bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const std::span<const Parameter> parameters = signature.parameters;
  const std::size_t count = parameters.size();
  const std::size_t positional = signature.positional();
  const std::size_t required = signature.required();
  std::fill(slots, slots + count, nullptr);
  const auto given = static_cast<std::size_t>(PyTuple_Size(args));
  for (std::size_t k = 0; k < std::min(given, positional); ++k) {
    slots[k] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(k));
  }
  if (given > positional) {
    raise_too_many_positional(signature, given, keyword_only_given(signature, kwargs));
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      const std::optional<std::size_t> k = parameter_named(parameters, key);
      if (!k) return false;
      if (*k == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name, key);
        return false;
      }
      if (slots[*k] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", signature.name, key);
        return false;
      }
      slots[*k] = value;
    }
  }
  if (given < required) {
    std::vector<const char*> missing;
    for (std::size_t k = 0; k < required; ++k) {
      if (slots[k] == nullptr) missing.push_back(parameters[k].name);
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

bool convert(const Signature& signature, PyObject* const* slots, Values& values) {
  for (std::size_t k = 0; k < signature.parameters.size(); ++k) {
    const Parameter& parameter = signature.parameters[k];
    const bool converted = std::visit(
        [&](auto member) {
          // Only the optional last parameters may be left empty by binding.
          assert(slots[k] != nullptr || k >= signature.required());
          if constexpr (std::is_same_v<decltype(member), std::monostate>) {
            return true;  // the caller's to convert
          } else {
            return to(slots[k], values.*member);
          }
        },
        parameter.destination);
    if (!converted) {
      python::wrap_error(parameter.name);
      return false;
    }
  }
  return true;
}

}  // namespace tarnel::arguments
