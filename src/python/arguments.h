// Argument binding and conversion: the positional tuple and keyword
// dictionary of a call matched to the parameter slots, and each bound object
// converted to the value the core works with. Every function returns false
// with a Python error set when it fails.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "episode/episode.h"
#include "python/numpy_bridge.h"
#include "python/ref.h"
#include "qlearning/qlearner.h"

namespace tarnel::arguments {

using python::Ref;

// The episode arrays of `data`. Each array is held, with the view it is read
// through and the block of memory under it, from its conversion until its
// episode has been built.
class EpisodeArrays {
 public:
  void reserve(std::size_t count);
  void add(Ref array);  // precondition: a 2-D float64 array
  std::size_t size() const { return views_.size(); }
  std::span<const ArrayView> views() const { return views_; }

  // Fails the call with the training failure unless array k (if there is
  // one) can still be read through its view: Python code run since its
  // conversion may have resized or retyped it, or released or moved the
  // memory it views. Arrays are checked and given back in order, k = 0, 1, ...
  void check(std::size_t k);

  // Gives array k back; this may run Python code (a finaliser).
  void give_back(std::size_t k);

 private:
  // Consecutive arrays over the same block (the slices of one big array, the
  // items of a 3-D array) share one record, so holding the blocks costs
  // next to nothing per array. The block is given back with the last array
  // of its run, when that array no longer keeps it alive either.
  struct Run {
    numpy::Block block;
    std::size_t end = 0;  // one past the run's last array
  };
  Run& run_of(std::size_t k);  // k no smaller than at the last call
  void add_copy(const ArrayView& view);

  // Copies of the arrays over foreign memory (see views_foreign_memory);
  // their slots in arrays_ are empty.
  std::vector<std::vector<double>> copies_;

  std::vector<ArrayView> views_;
  std::vector<Ref> arrays_;
  std::vector<Run> runs_;
  std::size_t current_run_ = 0;
};

// The converted arguments of one call.
struct Values {
  EpisodeArrays episodes;
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
// unsigned integer, flag, optional float).
using Destination =
    std::variant<EpisodeArrays Values::*, QShape Values::*, double Values::*, std::uint64_t Values::*,
                 bool Values::*, std::optional<double> Values::*>;

struct Parameter {
  const char* name;
  Destination destination;
};

// What the binder works from: every parameter is positional-or-keyword and
// all but the last `optional` are required.
struct Signature {
  const char* name;
  std::span<const Parameter> parameters;
  std::size_t optional = 1;

  std::size_t required() const { return parameters.size() - optional; }
};

inline constexpr std::size_t max_parameters = 9;

// Fills `slots` (one per parameter, borrowed references, nullptr when empty).
bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

// Converts the bound slots in parameter order into `values`; the first
// failure ends the conversion, with a TypeError naming its parameter.
bool convert(const Signature& signature, PyObject* const* slots, Values& values);

}  // namespace tarnel::arguments
