// The EpisodeTable type: building it from columns (what NumPy hands over,
// checked once), from a log with episode ids or with flags, the sequence of
// episodes it offers Python, its columns, and its pickled form.
#include "python/episode_table.h"

#include <array>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "episode/flat_log.h"
#include "python/arguments.h"
#include "python/errors.h"
#include "python/held_memory.h"
#include "python/numpy_bridge.h"
#include "python/ref.h"

namespace tarnel::episode_table {

namespace {

using python::Ref;

constexpr const char* column_names[5] = {"state", "action", "reward", "next_state", "terminal"};

// A column as the table holds it: its memory, held, and how the core reads
// its elements.
struct KeptColumn {
  held_memory::HeldColumn held;
  TableColumn column;
};

// What a table and its slices share. Built once, never changed.
struct Columns {
  std::array<KeptColumn, 5> kept;
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
  // Rows of the log it was built from that it leaves out (from_flags).
  std::uint64_t left_out;
};

TableObject* as_table(PyObject* object) { return reinterpret_cast<TableObject*>(object); }

// The rows a table's episodes span: from where its first starts to where its
// last ends.
std::pair<std::uint64_t, std::uint64_t> rows_of(const TableObject* table) {
  const std::vector<std::uint64_t>& ends = table->columns->ends;
  return {table->first == 0 ? 0 : ends[table->first - 1], table->last == 0 ? 0 : ends[table->last - 1]};
}

PyObject* table_type = nullptr;  // created once, kept for the process

// `object` as an array: itself when it is one, else what np.asarray makes of
// it (converted once, here).
Ref as_array(PyObject* object) {
  if (numpy::is_array(object)) {
    Py_INCREF(object);
    return Ref(object);
  }
  return numpy::asarray(object);
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

// The array that `object` names as `what` ("ends"), 1-D; nullptr with a
// ValueError otherwise.
Ref vector_argument(PyObject* object, const char* what) {
  Ref array = as_array(object);
  if (!array) return Ref();
  if (numpy::ndim(array.get()) != 1) {
    PyErr_Format(PyExc_ValueError, "%s has %d dimensions: it must be 1-D", what, numpy::ndim(array.get()));
    return Ref();
  }
  return array;
}

// What a column holds: values of any accepted type, integers only (episode
// ids, steps), or states, whose refusal of a wider array says that they
// must be indexes.
enum class Holds { values, integers, states };

// A column as it was given: a 1-D array and its element type, checked but
// not yet held.
struct GivenColumn {
  Ref array;
  std::pair<ElementType, bool> type{ElementType::int64, false};

  std::uint64_t rows() const { return numpy::vector_of(array.get()).length; }
  TableColumn column() const {
    const numpy::Vector vector = numpy::vector_of(array.get());
    return {vector.data, vector.stride, type.first, type.second};
  }
};

// The array that `object` names as column `what` ("column 'state'"): 1-D,
// or (N, 1) read as its one column, as data sets often store a column;
// nullptr with a ValueError otherwise.
Ref column_array(PyObject* object, const std::string& what, Holds holds) {
  Ref array = as_array(object);
  if (!array) return Ref();
  if (numpy::ndim(array.get()) == 2) {
    Ref shape = numpy::shape(array.get());
    if (!shape) return Ref();
    const Py_ssize_t width = PyLong_AsSsize_t(PyTuple_GetItem(shape.get(), 1));
    if (width == 1) {
      // A view of the one column (which a subclass such as np.matrix may
      // still keep 2-D, and is then refused below).
      Ref first(Py_BuildValue("(Ni)", PySlice_New(nullptr, nullptr, nullptr), 0));
      Ref column = first ? Ref(PyObject_GetItem(array.get(), first.get())) : Ref();
      array = column ? as_array(column.get()) : Ref();
      if (!array) return Ref();
    } else if (holds == Holds::states) {
      PyErr_Format(
          PyExc_ValueError,
          "%s has shape %S: states must be indexes, one per row, so it must be 1-D or of shape (N, 1)",
          what.c_str(), shape.get());
      return Ref();
    }
  }
  if (numpy::ndim(array.get()) != 1) {
    PyErr_Format(PyExc_ValueError, "%s has %d dimensions: it must be 1-D", what.c_str(),
                 numpy::ndim(array.get()));
    return Ref();
  }
  return array;
}

bool take_column(PyObject* object, const std::string& what, Holds holds, GivenColumn& out) {
  Ref array = column_array(object, what, holds);
  if (!array) return false;
  const auto type = element_type_of(numpy::dtype(array.get()));
  if (!type && PyErr_Occurred()) return false;
  if (holds == Holds::integers) {
    // An empty list makes a float64 array, and holds no id that is not an
    // integer (as with ends).
    if (numpy::vector_of(array.get()).length == 0) {
      out.array = std::move(array);
      return true;
    }
    if (!type || type->first == ElementType::boolean || type->first >= ElementType::float16) {
      PyErr_Format(PyExc_TypeError, "%s has dtype %S: it must hold integers", what.c_str(),
                   numpy::dtype(array.get()));
      return false;
    }
  }
  if (!type) {
    PyErr_Format(PyExc_TypeError,
                 "%s has dtype %S: a column holds booleans, integers, or floats of 16, 32 or 64 bits",
                 what.c_str(), numpy::dtype(array.get()));
    return false;
  }
  out = {std::move(array), *type};
  return true;
}

std::string column_what(const char* name) { return std::string("column '") + name + "'"; }

// Refuses columns of unequal lengths, naming the first and the first that
// differs from it.
bool same_lengths(std::span<const std::pair<const char*, const GivenColumn*>> columns) {
  const std::uint64_t rows = columns[0].second->rows();
  for (const auto& [name, column] : columns) {
    if (column == nullptr || column->rows() == rows) continue;
    PyErr_Format(PyExc_ValueError, "columns of unequal lengths: '%s' has %llu rows, '%s' has %llu",
                 columns[0].first, static_cast<unsigned long long>(rows), name,
                 static_cast<unsigned long long>(column->rows()));
    return false;
  }
  return true;
}

// Holds a given column (a copy, when it is over foreign memory) with how the
// core reads its elements.
bool keep_column(GivenColumn given, KeptColumn& out) {
  if (!held_memory::hold(std::move(given.array), out.held)) return false;
  out.column = {out.held.vector.data, out.held.vector.stride, given.type.first, given.type.second};
  return true;
}

// An index array over `rows`, for NumPy to gather or set elements by.
Ref index_array(std::vector<std::uint64_t>&& rows) {
  const std::uint64_t dims[1] = {rows.size()};
  const std::uint64_t strides[1] = {1};
  Ref rows_array(numpy::to_array(std::move(rows), 1, dims, strides));
  // Seen as NumPy's own index type (every row number is below 2^63), so that
  // NumPy indexes with it directly rather than converting it through a
  // buffer of its own, a path that crashes when that buffer cannot be had.
  return rows_array ? Ref(PyObject_CallMethod(rows_array.get(), "view", "s", "intp")) : Ref();
}

// The given column's elements at `rows` (an index array), one copy in its
// own type.
bool gather(GivenColumn& given, PyObject* rows) {
  Ref part(PyObject_GetItem(given.array.get(), rows));
  if (!part) return false;
  given.array = std::move(part);
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
  const std::uint64_t bits = element_bits({vector.data, vector.stride, type, swapped}, k);
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
  assert(!out.empty());  // an empty ends was settled before the loop
  if (out.back() != rows) {
    PyErr_Format(PyExc_ValueError, "ends[%llu], the last end, is %llu: it must be the number of rows, %llu",
                 static_cast<unsigned long long>(out.size() - 1), static_cast<unsigned long long>(out.back()),
                 static_cast<unsigned long long>(rows));
    return false;
  }
  return true;
}

// A new table object over `columns`' episodes first .. last.
PyObject* new_table(PyTypeObject* type, std::shared_ptr<const Columns> columns, std::uint64_t first,
                    std::uint64_t last, std::uint64_t left_out = 0) {
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  TableObject* table = as_table(self);
  new (&table->columns) std::shared_ptr<const Columns>(std::move(columns));
  table->first = first;
  table->last = last;
  table->left_out = left_out;
  return self;
}

// A new table holding `given` (in the order of column_names), with `ends`.
PyObject* table_over(PyTypeObject* type, std::array<GivenColumn, 5>& given, std::vector<std::uint64_t>&& ends,
                     std::uint64_t left_out = 0) {
  auto columns = std::make_shared<Columns>();
  for (std::size_t c = 0; c < given.size(); ++c) {
    if (!keep_column(std::move(given[c]), columns->kept[c])) return nullptr;
  }
  columns->rows = columns->kept[0].held.vector.length;
  columns->ends = std::move(ends);
  const std::uint64_t episodes = columns->ends.size();
  return new_table(type, std::move(columns), 0, episodes, left_out);
}

// The parameters of the constructor and the two log readers, bound as the
// module's functions bind theirs; each converts its objects itself.
constexpr arguments::Parameter table_parameters[] = {
    {column_names[0]}, {column_names[1]}, {column_names[2]}, {column_names[3]}, {column_names[4]}, {"ends"},
};
constexpr arguments::Parameter from_ids_parameters[] = {
    {"episode"},       {column_names[0]}, {column_names[1]}, {column_names[2]},
    {column_names[3]}, {column_names[4]}, {"step"},
};
constexpr arguments::Parameter from_flags_parameters[] = {
    {"observations"}, {"actions"}, {"rewards"}, {"terminals"}, {"timeouts"}, {"next_observations"},
};

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return python::guarded([&]() -> PyObject* {
    const arguments::Signature signature{"EpisodeTable", table_parameters, 0};
    std::array<PyObject*, std::size(table_parameters)> slots{};
    if (!arguments::bind(signature, args, kwargs, slots.data())) return nullptr;
    const std::array<PyObject*, 5> given{slots[0], slots[1], slots[2], slots[3], slots[4]};
    PyObject* ends = slots[5];
    if (!numpy::load()) return nullptr;
    std::array<GivenColumn, 5> columns;
    std::array<std::pair<const char*, const GivenColumn*>, 5> named;
    for (std::size_t c = 0; c < given.size(); ++c) {
      if (!take_column(given[c], column_what(column_names[c]), Holds::values, columns[c])) return nullptr;
      named[c] = {column_names[c], &columns[c]};
    }
    if (!same_lengths(named)) return nullptr;
    std::vector<std::uint64_t> offsets;
    if (!accept_ends(ends, columns[0].rows(), offsets)) return nullptr;
    return table_over(type, columns, std::move(offsets));
  });
}

// EpisodeTable.from_ids: the rows grouped by episode id, then ordered by
// step; read in place when they already stand so.
PyObject* table_from_ids(PyObject* type, PyObject* args, PyObject* kwargs) {
  return python::guarded([&]() -> PyObject* {
    // `step` is optional and keyword-only.
    const arguments::Signature signature{"from_ids", from_ids_parameters, 1, 1};
    std::array<PyObject*, std::size(from_ids_parameters)> slots{};
    if (!arguments::bind(signature, args, kwargs, slots.data())) return nullptr;
    PyObject* episode = slots[0];
    const std::array<PyObject*, 5> given{slots[1], slots[2], slots[3], slots[4], slots[5]};
    PyObject* step = slots[6] != nullptr ? slots[6] : Py_None;
    if (!numpy::load()) return nullptr;
    GivenColumn ids;
    if (!take_column(episode, column_what("episode"), Holds::integers, ids)) return nullptr;
    std::array<GivenColumn, 5> columns;
    std::array<std::pair<const char*, const GivenColumn*>, 7> named{};
    named[0] = {"episode", &ids};
    for (std::size_t c = 0; c < given.size(); ++c) {
      if (!take_column(given[c], column_what(column_names[c]), Holds::values, columns[c])) return nullptr;
      named[c + 1] = {column_names[c], &columns[c]};
    }
    GivenColumn steps;
    if (step != Py_None) {
      if (!take_column(step, column_what("step"), Holds::integers, steps)) return nullptr;
      named[6] = {"step", &steps};
    }
    if (!same_lengths(named)) return nullptr;
    const TableColumn step_column = step != Py_None ? steps.column() : TableColumn{};
    Grouping grouping = group_by_id(ids.column(), step != Py_None ? &step_column : nullptr, ids.rows());
    if (!grouping.order.empty()) {
      Ref order = index_array(std::move(grouping.order));
      if (!order) return nullptr;
      for (GivenColumn& column : columns) {
        if (!gather(column, order.get())) return nullptr;
      }
    }
    return table_over(reinterpret_cast<PyTypeObject*>(type), columns, std::move(grouping.ends));
  });
}

// The next states from_flags takes from the following rows' observations,
// `observations` gathered at `rows`, with the next state of each terminal
// row (at `unread`), which training never reads, set to one the data check
// passes there: -1, or NaN for observations of a float type (and of uint64,
// which training reads as float64 too). Observations of a type that cannot
// hold -1 are widened to one that can.
bool next_states(const GivenColumn& observations, std::vector<std::uint64_t>&& rows,
                 std::vector<std::uint64_t>&& unread, GivenColumn& out) {
  Ref from = index_array(std::move(rows));
  if (!from) return false;
  Ref next(PyObject_GetItem(observations.array.get(), from.get()));
  if (!next) return false;
  const char* wider = nullptr;
  switch (observations.type.first) {
    case ElementType::boolean: wider = "int8"; break;
    case ElementType::uint8: wider = "int16"; break;
    case ElementType::uint16: wider = "int32"; break;
    case ElementType::uint32: wider = "int64"; break;
    case ElementType::uint64: wider = "float64"; break;
    default: break;
  }
  if (wider != nullptr) {
    next = Ref(PyObject_CallMethod(next.get(), "astype", "s", wider));
    if (!next) return false;
  }
  if (!take_column(next.get(), column_what("next_state"), Holds::values, out)) return false;
  if (unread.empty()) return true;
  const bool floating = out.type.first >= ElementType::float16;
  Ref value(floating ? PyFloat_FromDouble(std::nan("")) : PyLong_FromLong(-1));
  Ref at = index_array(std::move(unread));
  return value && at && PyObject_SetItem(out.array.get(), at.get(), value.get()) == 0;
}

// EpisodeTable.from_flags: episodes ended by terminal and timeout flags,
// with next states stored or taken from the following rows.
PyObject* table_from_flags(PyObject* type, PyObject* args, PyObject* kwargs) {
  return python::guarded([&]() -> PyObject* {
    // `timeouts` is optional, `next_observations` optional and keyword-only.
    const arguments::Signature signature{"from_flags", from_flags_parameters, 2, 1};
    std::array<PyObject*, std::size(from_flags_parameters)> slots{};
    if (!arguments::bind(signature, args, kwargs, slots.data())) return nullptr;
    const std::array<PyObject*, 4> given{slots[0], slots[1], slots[2], slots[3]};
    PyObject* timeouts = slots[4] != nullptr ? slots[4] : Py_None;
    PyObject* next = slots[5] != nullptr ? slots[5] : Py_None;
    if (!numpy::load()) return nullptr;
    // Given as observations, actions, rewards, terminals, timeouts, next
    // observations; held as the table's columns.
    const std::array<PyObject*, 6> objects = {given[0], given[1], given[2], given[3], timeouts, next};
    std::array<GivenColumn, 6> taken;
    std::array<std::pair<const char*, const GivenColumn*>, 6> named{};
    for (std::size_t k = 0; k < objects.size(); ++k) {
      if (objects[k] == Py_None) continue;
      const Holds holds = k == 0 || k == 5 ? Holds::states : Holds::values;
      const char* name = from_flags_parameters[k].name;
      if (!take_column(objects[k], column_what(name), holds, taken[k])) return nullptr;
      named[k] = {name, &taken[k]};
    }
    if (!same_lengths(named)) return nullptr;
    const TableColumn timeout_column = timeouts != Py_None ? taken[4].column() : TableColumn{};
    FlagCut cut = cut_at_flags(taken[3].column(), timeouts != Py_None ? &timeout_column : nullptr,
                               taken[0].rows(), next != Py_None);
    std::array<GivenColumn, 5> columns;
    if (next != Py_None) {
      columns[3] = std::move(taken[5]);
    } else if (!next_states(taken[0], std::move(cut.next_rows), std::move(cut.unread), columns[3])) {
      return nullptr;
    }
    columns[0] = std::move(taken[0]);
    columns[1] = std::move(taken[1]);
    columns[2] = std::move(taken[2]);
    columns[4] = std::move(taken[3]);
    if (cut.left_out > 0) {
      Ref kept = index_array(std::move(cut.kept));
      if (!kept) return nullptr;
      for (const std::size_t c : std::array<std::size_t, 4>{0, 1, 2, 4}) {
        if (!gather(columns[c], kept.get())) return nullptr;
      }
    }
    return table_over(reinterpret_cast<PyTypeObject*>(type), columns, std::move(cut.ends), cut.left_out);
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
    // A slice of every episode still leaves out what the table does.
    return new_table(Py_TYPE(self), table->columns, first, first + static_cast<std::uint64_t>(count),
                     count == length ? table->left_out : 0);
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
  const auto& kept = table->columns->kept;
  std::string left_out;
  if (table->left_out > 0) {
    left_out =
        ", " + std::to_string(table->left_out) + (table->left_out == 1 ? " row" : " rows") + " left out";
  }
  return PyUnicode_FromFormat("EpisodeTable(%llu episode%s, %llu row%s%s; state %S, action %S, reward %S, "
                              "next_state %S, terminal %S)",
                              episodes, episodes == 1 ? "" : "s", rows, rows == 1 ? "" : "s",
                              left_out.c_str(), kept[0].held.descr.get(), kept[1].held.descr.get(),
                              kept[2].held.descr.get(), kept[3].held.descr.get(), kept[4].held.descr.get());
}

// Rows first .. last of `array`, a view.
Ref rows_part(PyObject* array, std::uint64_t first, std::uint64_t last) {
  Ref start(PyLong_FromUnsignedLongLong(first));
  Ref stop(PyLong_FromUnsignedLongLong(last));
  if (!start || !stop) return Ref();
  Ref rows(PySlice_New(start.get(), stop.get(), nullptr));
  return rows ? Ref(PyObject_GetItem(array, rows.get())) : Ref();
}

// The table's ends counted from its first row, as a new uint64 array.
PyObject* ends_array(const TableObject* table) {
  const std::vector<std::uint64_t>& all = table->columns->ends;
  std::vector<std::uint64_t> ends(all.begin() + static_cast<std::ptrdiff_t>(table->first),
                                  all.begin() + static_cast<std::ptrdiff_t>(table->last));
  const std::uint64_t first_row = rows_of(table).first;
  for (std::uint64_t& end : ends) end -= first_row;
  const std::uint64_t dims[1] = {ends.size()};
  const std::uint64_t strides[1] = {1};
  return numpy::to_array(std::move(ends), 1, dims, strides);
}

// Pickled as the call that builds it again: the rows of its episodes from
// each column, and its ends counted from its first row.
PyObject* table_reduce(PyObject* self, PyObject* /*unused*/) {
  return python::guarded([&]() -> PyObject* {
    const TableObject* table = as_table(self);
    const Columns& columns = *table->columns;
    const auto [first_row, last_row] = rows_of(table);
    const bool whole = first_row == 0 && last_row == columns.rows;
    Ref arguments(PyTuple_New(6));
    if (!arguments) return nullptr;
    for (std::size_t c = 0; c < columns.kept.size(); ++c) {
      PyObject* array = columns.kept[c].held.array.get();
      PyObject* part = whole ? (Py_INCREF(array), array) : rows_part(array, first_row, last_row).release();
      if (part == nullptr) return nullptr;
      PyTuple_SetItem(arguments.get(), static_cast<Py_ssize_t>(c), part);  // steals the reference
    }
    PyObject* ends = ends_array(table);
    if (ends == nullptr) return nullptr;
    PyTuple_SetItem(arguments.get(), 5, ends);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    // What it leaves out comes along as its state, for the repr.
    if (table->left_out > 0) {
      return Py_BuildValue("(OOK)", type, arguments.get(), static_cast<unsigned long long>(table->left_out));
    }
    return Py_BuildValue("(OO)", type, arguments.get());
  });
}

PyObject* table_setstate(PyObject* self, PyObject* state) {
  const unsigned long long left_out = PyLong_AsUnsignedLongLong(state);
  if (left_out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  as_table(self)->left_out = left_out;
  Py_RETURN_NONE;
}

// Column c of the table's rows (the closure), as a read-only view: the table
// reads what its columns hold at each call, so a write through one of its
// own attributes would change every table over the same columns.
PyObject* column_view(PyObject* self, void* closure) {
  const TableObject* table = as_table(self);
  const auto [first_row, last_row] = rows_of(table);
  const held_memory::HeldColumn& held = table->columns->kept[reinterpret_cast<std::uintptr_t>(closure)].held;
  Ref view = rows_part(held.array.get(), first_row, last_row);
  if (!view) return nullptr;
  Ref done(PyObject_CallMethod(view.get(), "setflags", "O", Py_False));
  return done ? view.release() : nullptr;
}

PyObject* ends_view(PyObject* self, void* /*unused*/) {
  return python::guarded([&]() -> PyObject* { return ends_array(as_table(self)); });
}

// Episode by episode, each read when it is reached.
PyObject* table_iter(PyObject* self) { return PySeqIter_New(self); }

constexpr const char* from_ids_doc =
    "from_ids($type, episode, state, action, reward, next_state, terminal, *, step=None)\n"
    "--\n"
    "\n"
    "A table of a log whose rows carry their episode's id: `episode`, a 1-D\n"
    "integer array, one id per row. Episodes come in increasing id (ids need\n"
    "not be consecutive), an episode's rows in increasing `step` when it is\n"
    "given, otherwise in the order they stand in the columns. Columns already\n"
    "in that order are read in place, as by the constructor; otherwise the\n"
    "table holds one reordered copy of them.";

constexpr const char* from_flags_doc =
    "from_flags($type, observations, actions, rewards, terminals, timeouts=None, *, next_observations=None)\n"
    "--\n"
    "\n"
    "A table of a log that marks episode ends with flags, as offline data sets\n"
    "keep them: an episode ends after every row whose `terminals` or\n"
    "`timeouts` flag is set (not zero), and after the last row; `terminals` is\n"
    "the terminal column. `next_observations`, when given, is the next-state\n"
    "column. Without it a row's next state is the following row's observation;\n"
    "a terminal row's, which training never reads, is -1 (NaN for float\n"
    "observations); and a row whose next observation was not stored (the last\n"
    "of an episode cut by a timeout, or of a log that stops mid-episode) is\n"
    "left out, which the table's repr counts. Observations are (N,) or (N, 1)\n"
    "arrays of state indexes.";

PyMethodDef table_methods[] = {
    {"__reduce__", table_reduce, METH_NOARGS, nullptr},
    {"__setstate__", table_setstate, METH_O, nullptr},
    {"from_ids", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_from_ids)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, from_ids_doc},
    {"from_flags", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_from_flags)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, from_flags_doc},
    {nullptr, nullptr, 0, nullptr},
};

void* column_index(std::uintptr_t c) { return reinterpret_cast<void*>(c); }

PyGetSetDef table_getset[] = {
    {"state", column_view, nullptr, "The table's rows of the state column: a read-only view.",
     column_index(0)},
    {"action", column_view, nullptr, "The table's rows of the action column: a read-only view.",
     column_index(1)},
    {"reward", column_view, nullptr, "The table's rows of the reward column: a read-only view.",
     column_index(2)},
    {"next_state", column_view, nullptr, "The table's rows of the next-state column: a read-only view.",
     column_index(3)},
    {"terminal", column_view, nullptr, "The table's rows of the terminal column: a read-only view.",
     column_index(4)},
    {"ends", ends_view, nullptr,
     "The episodes' end offsets, counted from the table's first row: a new uint64 array.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
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
    "its last end is N; a column of shape (N, 1) is read as 1-D. table[k] is\n"
    "episode k as a new (rows, 5) float64 array, table[a:b] a table over the\n"
    "same columns.\n"
    "\n"
    "EpisodeTable.from_ids builds one from a log with an episode id on each\n"
    "row, in any order; EpisodeTable.from_flags from one that marks episode\n"
    "ends with terminal and timeout flags. The attributes state, action,\n"
    "reward, next_state and terminal are read-only views of the table's rows\n"
    "of each column, and ends its end offsets counted from its first row, so\n"
    "EpisodeTable(t.state, t.action, t.reward, t.next_state, t.terminal,\n"
    "t.ends) has the episodes of t.";

PyType_Slot table_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(table_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(table_iter)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_getset},
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
  for (std::size_t c = 0; c < columns.kept.size(); ++c) {
    held_memory::check(columns.kept[c].held, column_names[c]);
    out.columns[c] = columns.kept[c].column;
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
