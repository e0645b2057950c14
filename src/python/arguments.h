// Argument binding and conversion: the positional tuple and keyword
// dictionary of a call matched to the parameter slots, and each bound object
// converted to the value the core works with. Every function returns false
// with a Python error set when it fails.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "episode/episode.h"
#include "python/ref.h"
#include "qlearning/qlearner.h"

namespace tarnel::arguments {

using python::Ref;

// What the binder works from: every parameter is positional-or-keyword and
// all but the last are required.
struct Signature {
  const char* name;
  std::span<const char* const> parameters;
  std::size_t required;
};

// Fills `slots` (one per parameter, borrowed references, nullptr when empty).
bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

// The episode arrays of `data`: each array is held until its episode has been
// built, its view read from the array at conversion time.
struct EpisodeArrays {
  std::vector<Ref> arrays;
  std::vector<ArrayView> views;
};

bool to_episode_arrays(PyObject* object, EpisodeArrays& out);
bool to_shape(PyObject* object, QShape& out);
bool to_float(PyObject* object, double& out);
bool to_unsigned(PyObject* object, std::uint64_t& out);
bool to_flag(PyObject* object, bool& out);
bool to_optional_float(PyObject* object, std::optional<double>& out);

}  // namespace tarnel::arguments
