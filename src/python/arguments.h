// Argument binding and conversion: the positional tuple and keyword
// dictionary of a call matched to the parameter slots, and each bound object
// converted to the value the core works with. Every function returns false
// with a Python error set when it fails.
//
// Binding runs no Python code; converting runs the objects' own hooks, which
// may change the episode arrays already accepted: the top of
// python/held_memory.h says what is held and checked against that.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "python/held_memory.h"
#include "python/ref.h"
#include "qlearning/q_table.h"

namespace tarnel::arguments {

using python::Ref;

// The episodes of `data`: its arrays, held, or the EpisodeTable it is.
struct Data {
  held_memory::EpisodeArrays arrays;
  Ref table;
};

// The converted arguments of one call.
struct Values {
  Data episodes;
  QShape q_shape{};
  double discount_factor = 0.0;
  double learning_rate = 0.0;
  std::uint64_t max_iterations = 0;
  std::uint64_t sample_size = 0;  // boostrap_sample_size
  std::uint64_t trainings = 0;    // iter_ql, ql_iter
  bool verbose = false;
  std::optional<double> quit_threshold;  // empty when absent or None
};

// Where a parameter's value goes. The member's type is the parameter's kind:
// it picks the conversion (episode arrays, pair of unsigned integers, float,
// unsigned integer, flag, optional float). None (an EpisodeTable's
// parameters): the object stays in its slot, for the caller to convert.
using Destination = std::variant<std::monostate, Data Values::*, QShape Values::*, double Values::*,
                                 std::uint64_t Values::*, bool Values::*, std::optional<double> Values::*>;

struct Parameter {
  const char* name;
  Destination destination{};
};

// What the binder works from: all but the last `optional` parameters are
// required, and the last `keyword_only` of those optional ones can be given
// by keyword only; every other parameter is positional-or-keyword.
struct Signature {
  const char* name;
  std::span<const Parameter> parameters;
  std::size_t optional = 1;
  std::size_t keyword_only = 0;

  std::size_t required() const { return parameters.size() - optional; }
  std::size_t positional() const { return parameters.size() - keyword_only; }
};

inline constexpr std::size_t max_parameters = 9;

// Fills `slots` (one per parameter, borrowed references, nullptr when empty).
// A fault is refused with the TypeError CPython raises for a Python function
// of the same signature; of several faults, too many positional arguments
// comes first, then the keywords, then the missing arguments.
bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

// Converts the bound slots in parameter order into `values`; the first
// failure ends the conversion, with a TypeError naming its parameter.
bool convert(const Signature& signature, PyObject* const* slots, Values& values);

}  // namespace tarnel::arguments
