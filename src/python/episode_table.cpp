// The EpisodeTable type: building it from columns (what NumPy hands over,
// checked once), the sequence of episodes it offers Python, and its pickled
// form.
#include "python/episode_table.h"

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/errors.h"
#include "python/numpy_bridge.h"
#include "python/ref.h"
#include "support/failure.h"

namespace tarnel::episode_table {

namespace {

using python::Ref;

constexpr const char* column_names[5] = {"state", "action", "reward", "next_state", "terminal"};

// A column as the table holds it: the array, its type, the elements it
// viewed and the memory under them when the table was built.
struct HeldColumn {
  Ref array;
  Ref descr;
  numpy::Vector vector;
  numpy::Block block;
  TableColumn column;
};

// What a table and its slices share. Built once, never changed.
struct Columns {
  std::array<HeldColumn, 5> held;
  std::uint64_t rows = 0;
  std::vector<std::uint64_t> ends;
};

struct TableObject {
  PyObject_HEAD
      // Episodes first .. last of the shared columns' ends.
      std::shared_ptr<const Columns>
          columns;
  std::uint64_t first;
  std::uint64_t last;
};

TableObject* as_table(PyObject* object) { return reinterpret_cast<TableObject*>(object); }

// The rows a table's episodes span: from where its first starts to where its
// last ends.
std::pair<std::uint64_t, std::uint64_t> rows_of(const TableObject* table) {
  const std::vector<std::uint64_t>& ends = table->columns->ends;
  return {table->first == 0 ? 0 : ends[table->first - 1], table->last == 0 ? 0 : ends[table->last - 1]};
}

PyObject* table_type = nullptr;  // created once, kept for the process

// A NumPy function, looked up once and kept for the process.
PyObject* numpy_function(const char* name) {
  Ref module(PyImport_ImportModule("numpy"));
  return module ? PyObject_GetAttrString(module.get(), name) : nullptr;
}

Ref call_numpy(PyObject*& function, const char* name, PyObject* argument) {
  if (function == nullptr && (function = numpy_function(name)) == nullptr) return Ref();
  return Ref(PyObject_CallFunctionObjArgs(function, argument, nullptr));
}

// `object` as an array: itself when it is one, else what np.asarray makes of
// it (converted once, here).
Ref as_array(PyObject* object) {
  if (numpy::is_array(object)) {
    Py_INCREF(object);
    return Ref(object);
  }
  static PyObject* asarray = nullptr;
  return call_numpy(asarray, "asarray", object);
}

// A copy that owns its memory (np.array).
Ref copy_of(PyObject* array) {
  static PyObject* copy = nullptr;
  return call_numpy(copy, "array", array);
}

// The element type of a descriptor, with whether its bytes are swapped;
// nothing for every other kind of data, with the error set when reading the
// descriptor failed (memory ran out) and none otherwise.
std::optional<std::pair<ElementType, bool>> element_type_of(PyObject* descr) {
  // Each read only once the one before has succeeded: none may run with
  // an error set.
  Ref kind(PyObject_GetAttrString(descr, "kind"));
  const char* k = kind ? PyUnicode_AsUTF8AndSize(kind.get(), nullptr) : nullptr;
  if (k == nullptr) return std::nullopt;
  Ref byteorder(PyObject_GetAttrString(descr, "byteorder"));
  const char* order = byteorder ? PyUnicode_AsUTF8AndSize(byteorder.get(), nullptr) : nullptr;
  if (order == nullptr) return std::nullopt;
  Ref itemsize(PyObject_GetAttrString(descr, "itemsize"));
  const long size = itemsize ? PyLong_AsLong(itemsize.get()) : -1;
  if (size < 0) return std::nullopt;
  // Every machine this module builds for is little-endian.
  const bool swapped = order[0] == '>';
  using T = ElementType;
  const auto sized = [&](std::array<T, 4> by_size) -> std::optional<std::pair<T, bool>> {
    switch (size) {
      case 1: return std::pair{by_size[0], swapped};
      case 2: return std::pair{by_size[1], swapped};
      case 4: return std::pair{by_size[2], swapped};
      case 8: return std::pair{by_size[3], swapped};
      default: return std::nullopt;
    }
  };
  std::optional<std::pair<T, bool>> type;
  switch (k[0]) {
    case 'b':
      if (size == 1) type = std::pair{T::boolean, false};
      break;
    case 'i': type = sized({T::int8, T::int16, T::int32, T::int64}); break;
    case 'u': type = sized({T::uint8, T::uint16, T::uint32, T::uint64}); break;
    case 'f':
      if (size != 1) type = sized({T::float64, T::float16, T::float32, T::float64});
      break;
    default: break;
  }
  return type;
}

// The array that `object` names as `what` ("column 'state'", "ends"),
// 1-D; nullptr with a ValueError otherwise.
Ref vector_argument(PyObject* object, const char* what) {
  Ref array = as_array(object);
  if (!array) return Ref();
  if (numpy::ndim(array.get()) != 1) {
    PyErr_Format(PyExc_ValueError, "%s has %d dimensions: it must be 1-D", what, numpy::ndim(array.get()));
    return Ref();
  }
  return array;
}

bool accept_column(PyObject* object, std::size_t c, HeldColumn& out) {
  const std::string what = std::string("column '") + column_names[c] + "'";
  Ref array = vector_argument(object, what.c_str());
  if (!array) return false;
  const auto type = element_type_of(numpy::dtype(array.get()));
  if (!type && PyErr_Occurred()) return false;
  if (!type) {
    PyErr_Format(PyExc_TypeError,
                 "%s has dtype %S: a column holds booleans, integers, or floats of 16, 32 or 64 bits",
                 what.c_str(), numpy::dtype(array.get()));
    return false;
  }
  if (numpy::memory_of(array.get()).foreign) {
    array = copy_of(array.get());
    if (!array) return false;
  }
  out.block = numpy::hold(numpy::memory_of(array.get()).block);
  out.vector = numpy::vector_of(array.get());
  out.column = {out.vector.data, out.vector.stride, type->first, type->second};
  PyObject* descr = numpy::dtype(array.get());
  Py_INCREF(descr);
  out.descr = Ref(descr);
  out.array = std::move(array);
  return true;
}

// Element k of an integer vector of `type`, as a signed value, or as an
// unsigned one that is larger than any signed value.
struct Integer {
  bool negative;
  std::uint64_t magnitude;  // the value itself when not negative
};

Integer integer_at(const numpy::Vector& vector, std::uint64_t k, ElementType type, bool swapped) {
  const std::size_t size = size_of(type);
  std::uint64_t bits = 0;
  unsigned char bytes[8];
  std::memcpy(bytes, vector.data + static_cast<std::int64_t>(k) * vector.stride, size);
  for (std::size_t b = 0; b < size; ++b) {
    bits |= static_cast<std::uint64_t>(bytes[swapped ? size - 1 - b : b]) << (8 * b);
  }
  const bool is_signed = type == ElementType::int8 || type == ElementType::int16 ||
                         type == ElementType::int32 || type == ElementType::int64;
  const std::uint64_t sign_bit = std::uint64_t{1} << (8 * size - 1);
  if (is_signed && (bits & sign_bit) != 0) {
    // Two's complement: the magnitude of a negative value of `size` bytes.
    const std::uint64_t mask = size == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * size)) - 1;
    return {true, ((~bits) & mask) + 1};
  }
  return {false, bits};
}

bool accept_no_ends(std::uint64_t rows) {
  if (rows == 0) return true;
  PyErr_Format(PyExc_ValueError, "ends is empty: the last end must be the number of rows, %llu",
               static_cast<unsigned long long>(rows));
  return false;
}

bool accept_ends(PyObject* object, std::uint64_t rows, std::vector<std::uint64_t>& out) {
  Ref array = vector_argument(object, "ends");
  if (!array) return false;
  const numpy::Vector vector = numpy::vector_of(array.get());
  // An empty list makes a float64 array, and holds no end that is not an
  // integer.
  if (vector.length == 0) return accept_no_ends(rows);
  const auto type = element_type_of(numpy::dtype(array.get()));
  if (!type && PyErr_Occurred()) return false;
  if (!type || type->first == ElementType::boolean || type->first >= ElementType::float16) {
    PyErr_Format(PyExc_TypeError, "ends has dtype %S: it must hold integers", numpy::dtype(array.get()));
    return false;
  }
  out.reserve(vector.length);
  for (std::uint64_t k = 0; k < vector.length; ++k) {
    const Integer end = integer_at(vector, k, type->first, type->second);
    if (end.negative || end.magnitude > rows) {
      std::string value = std::to_string(end.magnitude);  // the magnitude of INT64_MIN too
      if (end.negative) value.insert(value.begin(), '-');
      PyErr_Format(PyExc_ValueError, "ends[%llu] is %s: an end is a row number, from 0 to the %llu rows",
                   static_cast<unsigned long long>(k), value.c_str(), static_cast<unsigned long long>(rows));
      return false;
    }
    if (k > 0 && end.magnitude < out.back()) {
      PyErr_Format(PyExc_ValueError, "ends[%llu] is %llu, below ends[%llu], %llu: ends never decrease",
                   static_cast<unsigned long long>(k), static_cast<unsigned long long>(end.magnitude),
                   static_cast<unsigned long long>(k - 1), static_cast<unsigned long long>(out.back()));
      return false;
    }
    out.push_back(end.magnitude);
  }
  if (out.empty() ? rows > 0 : out.back() != rows) {
    if (out.empty()) {
      PyErr_Format(PyExc_ValueError, "ends is empty: the last end must be the number of rows, %llu",
                   static_cast<unsigned long long>(rows));
    } else {
      PyErr_Format(PyExc_ValueError, "ends[%llu], the last end, is %llu: it must be the number of rows, %llu",
                   static_cast<unsigned long long>(out.size() - 1),
                   static_cast<unsigned long long>(out.back()), static_cast<unsigned long long>(rows));
    }
    return false;
  }
  return true;
}

// A new table object over `columns`' episodes first .. last.
PyObject* new_table(PyTypeObject* type, std::shared_ptr<const Columns> columns, std::uint64_t first,
                    std::uint64_t last) {
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  TableObject* table = as_table(self);
  new (&table->columns) std::shared_ptr<const Columns>(std::move(columns));
  table->first = first;
  table->last = last;
  return self;
}

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return python::guarded([&]() -> PyObject* {
    static const char* keywords[] = {"state", "action", "reward", "next_state", "terminal", "ends", nullptr};
    std::array<PyObject*, 5> given{};
    PyObject* ends = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO:EpisodeTable", const_cast<char**>(keywords),
                                     &given[0], &given[1], &given[2], &given[3], &given[4], &ends)) {
      return nullptr;
    }
    if (!numpy::load()) return nullptr;
    auto columns = std::make_shared<Columns>();
    for (std::size_t c = 0; c < given.size(); ++c) {
      if (!accept_column(given[c], c, columns->held[c])) return nullptr;
    }
    columns->rows = columns->held[0].vector.length;
    for (std::size_t c = 1; c < given.size(); ++c) {
      const std::uint64_t length = columns->held[c].vector.length;
      if (length != columns->rows) {
        PyErr_Format(PyExc_ValueError, "columns of unequal lengths: 'state' has %llu rows, '%s' has %llu",
                     static_cast<unsigned long long>(columns->rows), column_names[c],
                     static_cast<unsigned long long>(length));
        return nullptr;
      }
    }
    if (!accept_ends(ends, columns->rows, columns->ends)) return nullptr;
    const std::uint64_t episodes = columns->ends.size();
    return new_table(type, std::move(columns), 0, episodes);
  });
}

void table_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_table(self)->columns.~shared_ptr();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

Py_ssize_t table_length(PyObject* self) {
  const TableObject* table = as_table(self);
  return static_cast<Py_ssize_t>(table->last - table->first);
}

// Episode k of the table, as a new C-ordered (rows, 5) float64 array.
PyObject* episode_array(PyObject* self, std::uint64_t k) {
  return python::guarded([&]() -> PyObject* {
    const ColumnTable table = readable(self);
    const std::uint64_t start = table.episode_start(k);
    const std::uint64_t rows = table.ends[k] - start;
    std::vector<double> values(static_cast<std::size_t>(rows * 5));
    read_rows(table, start, rows, values.data());
    const std::uint64_t dims[2] = {rows, 5};
    const std::uint64_t strides[2] = {5, 1};
    return numpy::to_array(std::move(values), 2, dims, strides);
  });
}

PyObject* table_item(PyObject* self, Py_ssize_t k) {
  if (k < 0 || k >= table_length(self)) {
    PyErr_SetString(PyExc_IndexError, "episode index out of range");
    return nullptr;
  }
  return episode_array(self, static_cast<std::uint64_t>(k));
}

PyObject* table_subscript(PyObject* self, PyObject* key) {
  const Py_ssize_t length = table_length(self);
  if (PySlice_Check(key)) {
    Py_ssize_t start = 0;
    Py_ssize_t stop = 0;
    Py_ssize_t step = 0;
    if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
    if (step != 1) {
      PyErr_SetString(PyExc_ValueError, "an episode table is sliced with step 1 only");
      return nullptr;
    }
    const Py_ssize_t count = PySlice_AdjustIndices(length, &start, &stop, step);
    const TableObject* table = as_table(self);
    const auto first = table->first + static_cast<std::uint64_t>(start);
    return new_table(Py_TYPE(self), table->columns, first, first + static_cast<std::uint64_t>(count));
  }
  if (!PyIndex_Check(key)) {
    Ref name = python::type_name(key);
    if (name) PyErr_Format(PyExc_TypeError, "episode indices must be integers or slices, not %U", name.get());
    return nullptr;
  }
  Py_ssize_t k = PyNumber_AsSsize_t(key, PyExc_IndexError);
  if (k == -1 && PyErr_Occurred()) return nullptr;
  if (k < 0) k += length;
  return table_item(self, k);
}

PyObject* table_repr(PyObject* self) {
  const TableObject* table = as_table(self);
  const auto [first_row, last_row] = rows_of(table);
  const auto episodes = static_cast<unsigned long long>(table->last - table->first);
  const auto rows = static_cast<unsigned long long>(last_row - first_row);
  const auto& held = table->columns->held;
  return PyUnicode_FromFormat("EpisodeTable(%llu episode%s, %llu row%s; state %S, action %S, reward %S, "
                              "next_state %S, terminal %S)",
                              episodes, episodes == 1 ? "" : "s", rows, rows == 1 ? "" : "s",
                              held[0].descr.get(), held[1].descr.get(), held[2].descr.get(),
                              held[3].descr.get(), held[4].descr.get());
}

// Pickled as the call that builds it again: the rows of its episodes from
// each column, and its ends counted from its first row.
PyObject* table_reduce(PyObject* self, PyObject* /*unused*/) {
  return python::guarded([&]() -> PyObject* {
    const TableObject* table = as_table(self);
    const Columns& columns = *table->columns;
    const auto [first_row, last_row] = rows_of(table);
    const bool whole = first_row == 0 && last_row == columns.rows;
    Ref start(PyLong_FromUnsignedLongLong(first_row));
    Ref stop(PyLong_FromUnsignedLongLong(last_row));
    if (!start || !stop) return nullptr;
    Ref rows(PySlice_New(start.get(), stop.get(), nullptr));
    if (!rows) return nullptr;
    Ref arguments(PyTuple_New(6));
    if (!arguments) return nullptr;
    for (std::size_t c = 0; c < columns.held.size(); ++c) {
      PyObject* array = columns.held[c].array.get();
      PyObject* part = whole ? (Py_INCREF(array), array) : PyObject_GetItem(array, rows.get());
      if (part == nullptr) return nullptr;
      PyTuple_SetItem(arguments.get(), static_cast<Py_ssize_t>(c), part);  // steals the reference
    }
    std::vector<std::uint64_t> ends(columns.ends.begin() + static_cast<std::ptrdiff_t>(table->first),
                                    columns.ends.begin() + static_cast<std::ptrdiff_t>(table->last));
    for (std::uint64_t& end : ends) end -= first_row;
    const std::uint64_t dims[1] = {ends.size()};
    const std::uint64_t strides[1] = {1};
    PyObject* ends_array = numpy::to_array(std::move(ends), 1, dims, strides);
    if (ends_array == nullptr) return nullptr;
    PyTuple_SetItem(arguments.get(), 5, ends_array);
    return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), arguments.get());
  });
}

// Episode by episode, each read when it is reached.
PyObject* table_iter(PyObject* self) { return PySeqIter_New(self); }

PyMethodDef table_methods[] = {
    {"__reduce__", table_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* table_doc =
    "EpisodeTable(state, action, reward, next_state, terminal, ends)\n"
    "--\n"
    "\n"
    "Episodes kept as flat columns, one element per transition, as logs,\n"
    "replay buffers and offline data sets store them; every function takes\n"
    "one as `data` and reads the columns in place.\n"
    "\n"
    "Each column is a 1-D array (or anything np.asarray makes one of) of\n"
    "booleans, integers or floats, of any stride, memory-mapped or not; all\n"
    "have the same length N. `ends` holds the episodes' end offsets: episode k\n"
    "is rows ends[k-1] (0 for the first) up to ends[k]; it never decreases and\n"
    "its last end is N. table[k] is episode k as a new (rows, 5) float64\n"
    "array, table[a:b] a table over the same columns.";

PyType_Slot table_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(table_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(table_iter)},
    {Py_tp_methods, table_methods},
    {Py_tp_doc, const_cast<char*>(table_doc)},
    {Py_sq_length, reinterpret_cast<void*>(table_length)},
    {Py_sq_item, reinterpret_cast<void*>(table_item)},
    {Py_mp_length, reinterpret_cast<void*>(table_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(table_subscript)},
    {0, nullptr},
};

PyType_Spec table_spec = {
    "tarnel.EpisodeTable",
    static_cast<int>(sizeof(TableObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    table_slots,
};

}  // namespace

PyObject* type() {
  if (table_type == nullptr) table_type = PyType_FromSpec(&table_spec);
  return table_type;
}

bool is_table(PyObject* object) {
  return table_type != nullptr && Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(table_type);
}

ColumnTable readable(PyObject* object) {
  const TableObject* table = as_table(object);
  const Columns& columns = *table->columns;
  ColumnTable out;
  for (std::size_t c = 0; c < columns.held.size(); ++c) {
    const HeldColumn& held = columns.held[c];
    if (!numpy::still_matches(held.array.get(), held.vector, held.descr.get())) {
      fail(std::string("column '") + column_names[c] +
           "' of the episode table was resized or retyped after the table was built");
    }
    if (!numpy::still_holds(held.block)) {
      fail(std::string("the memory that column '") + column_names[c] +
           "' of the episode table views was released or moved after the table was built");
    }
    out.columns[c] = held.column;
  }
  out.ends = std::span(columns.ends).subspan(table->first, table->last - table->first);
  out.first_row = rows_of(table).first;
  return out;
}

std::pair<std::uint64_t, std::uint64_t> readable_size(PyObject* object) {
  const TableObject* table = as_table(object);
  const auto [first_row, last_row] = rows_of(table);
  return {table->last - table->first, last_row - first_row};
}

}  // namespace tarnel::episode_table
