// The module `tarnel`: its initialisation and the eight entry functions. Each
// entry binds and converts its arguments, builds the episodes and the
// learner, runs one driver and hands the trained table to NumPy. This file is
// the one place where failures of the core become Python exceptions.
#include <Python.h>

#include <array>
#include <atomic>
#include <new>
#include <optional>
#include <string>

#include "python/arguments.h"
#include "python/numpy_bridge.h"
#include "python/errors.h"
#include "python/ref.h"
#include "qlearning/qlearner.h"
#include "support/console.h"
#include "support/failure.h"

namespace tarnel {

namespace {

using python::Ref;

enum class Kind { data, shape, real, count, flag, optional_real };

struct Parameter {
  const char* name;
  Kind kind;
};

// The converted arguments of one call.
struct Call {
  arguments::EpisodeArrays arrays;
  Qlearner learner;
  std::array<std::uint64_t, 2> counts{};  // boostrap_sample_size / iter_ql / ql_iter, in order
};

Kind kind_of(const char* name) {
  const std::string n = name;
  if (n == "data") return Kind::data;
  if (n == "q_shape") return Kind::shape;
  if (n == "discount_factor" || n == "learning_rate") return Kind::real;
  if (n == "verbose") return Kind::flag;
  if (n == "quit_threshold") return Kind::optional_real;
  return Kind::count;
}

// Converts the bound slots in parameter order; the first failure ends the
// conversion, and whatever was converted is dropped with `call`.
bool convert(std::span<const char* const> names, PyObject* const* slots, Call& call) {
  std::size_t next_count = 0;
  std::optional<double> quit_threshold;
  for (std::size_t k = 0; k < names.size(); ++k) {
    PyObject* object = slots[k];
    const std::string name = names[k];
    bool ok = false;
    switch (kind_of(names[k])) {
      case Kind::data:
        ok = arguments::to_episode_arrays(object, call.arrays);
        break;
      case Kind::shape:
        ok = arguments::to_shape(object, call.learner.q_shape);
        break;
      case Kind::real:
        ok = arguments::to_float(object, name == "discount_factor" ? call.learner.discount_factor
                                                                   : call.learner.learning_rate);
        break;
      case Kind::count:
        ok = arguments::to_unsigned(object, name == "max_iterations" ? call.learner.max_iterations
                                                                     : call.counts[next_count++]);
        break;
      case Kind::flag:
        ok = arguments::to_flag(object, call.learner.verbose);
        break;
      case Kind::optional_real:
        ok = arguments::to_optional_float(object, quit_threshold);
        break;
    }
    if (!ok) {
      python::wrap_error(names[k]);
      return false;
    }
  }
  call.learner.quit_threshold = quit_threshold.value_or(0.001);
  return true;
}

// Fails unless array k (if there is one) still has the layout its view was
// read with. Checked right before the episode is read, after every piece of
// Python code that could have run since the conversion of `data`.
void check_unchanged(const arguments::EpisodeArrays& arrays, std::size_t k) {
  if (k < arrays.views.size() && !numpy::still_matches(arrays.arrays[k].get(), arrays.views[k])) {
    fail("episode array " + std::to_string(k) +
         " was resized or retyped while the call's arguments were being converted");
  }
}

// Turns the held arrays into episodes, giving each array back as soon as its
// episode is built.
EpisodeList build_episodes(arguments::EpisodeArrays& arrays) {
  check_unchanged(arrays, 0);
  return episodes_from_arrays(arrays.views, [&arrays](std::size_t k) {
    // Giving an array back may run Python code (a finaliser), so the next
    // array is checked only afterwards.
    arrays.arrays[k].reset();
    check_unchanged(arrays, k + 1);
  });
}

PyObject* table_to_array(QTable&& table) {
  const std::uint64_t dims[2] = {table.states, table.actions};
  const bool empty = table.values.empty();
  const std::uint64_t strides[2] = {empty ? 0u : 1u, empty ? 0u : table.states};
  return numpy::to_array(std::move(table.values), 2, dims, strides);
}

PyObject* stack_to_array(TableStack&& stack) {
  const std::uint64_t dims[3] = {stack.depth, stack.states, stack.actions};
  const bool empty = stack.values.empty();
  const std::uint64_t strides[3] = {empty ? 0u : 1u, empty ? 0u : stack.depth,
                                    empty ? 0u : stack.depth * stack.states};
  return numpy::to_array(std::move(stack.values), 3, dims, strides);
}

using Driver = PyObject* (*)(Call& call);

struct Function {
  const char* name;
  const char* doc;  // text signature, read by CPython as __text_signature__
  std::span<const char* const> parameters;
  Driver run;
};

constexpr const char* sequential_parameters[] = {
    "data", "q_shape", "discount_factor", "learning_rate", "max_iterations", "verbose", "quit_threshold"};
constexpr const char* td_parallel_parameters[] = {
    "data",           "q_shape",  "discount_factor", "learning_rate", "max_iterations",
    "boostrap_sample_size", "iter_ql", "verbose", "quit_threshold"};
constexpr const char* q_parallel_parameters[] = {
    "data", "q_shape", "discount_factor", "learning_rate", "max_iterations", "ql_iter", "verbose", "quit_threshold"};

template <UpdateRule rule>
PyObject* run_learn(Call& call) {
  const EpisodeList episodes = build_episodes(call.arrays);
  return table_to_array(call.learner.learn(episodes, rule));
}

template <QTable (Qlearner::*driver)(const EpisodeList&, Rng&) const>
PyObject* run_driver(Call& call) {
  const EpisodeList episodes = build_episodes(call.arrays);
  return table_to_array((call.learner.*driver)(episodes, thread_rng()));
}

PyObject* run_learn_parallel(Call& call) {
  const EpisodeList episodes = build_episodes(call.arrays);
  console::write_line("Q learning forward parallel, config: " + to_string(call.learner) + "\n");
  return stack_to_array(
      call.learner.learn_parallel(episodes, Qlearner::learn_single_episode_forward_Q, call.counts[0]));
}

PyObject* run_td_learn_backward_parallel(Call& call) {
  // The driver takes the episode list over and frees it itself.
  return stack_to_array(call.learner.td_learn_backward_parallel(build_episodes(call.arrays), call.counts[0],
                                                                call.counts[1], thread_rng()));
}

// Registration order, which is also the order of __all__.
const Function functions[] = {
    {"qlearn_forward",
     "qlearn_forward(data, q_shape, discount_factor, learning_rate, max_iterations, verbose, "
     "quit_threshold=None)\n--\n\n",
     sequential_parameters, run_learn<Qlearner::learn_single_episode_forward_Q>},
    {"td_learn_backward",
     "td_learn_backward(data, q_shape, discount_factor, learning_rate, max_iterations, verbose, "
     "quit_threshold=None)\n--\n\n",
     sequential_parameters, run_learn<Qlearner::learn_single_episode_backward_TD>},
    {"expected_sarsa",
     "expected_sarsa(data, q_shape, discount_factor, learning_rate, max_iterations, verbose, "
     "quit_threshold=None)\n--\n\n",
     sequential_parameters, run_learn<Qlearner::learn_single_episode_expected_sarsa>},
    {"td_learn_backward_parallel",
     "td_learn_backward_parallel(data, q_shape, discount_factor, learning_rate, max_iterations, "
     "boostrap_sample_size, iter_ql, verbose, quit_threshold=None)\n--\n\n",
     td_parallel_parameters, run_td_learn_backward_parallel},
    {"qlearn_forward_parallel",
     "qlearn_forward_parallel(data, q_shape, discount_factor, learning_rate, max_iterations, ql_iter, "
     "verbose, quit_threshold=None)\n--\n\n",
     q_parallel_parameters, run_learn_parallel},
    {"fast_learn",
     "fast_learn(data, q_shape, discount_factor, learning_rate, max_iterations, verbose, "
     "quit_threshold=None)\n--\n\n",
     sequential_parameters, run_driver<&Qlearner::fast_learn>},
    {"learn_until_convergence",
     "learn_until_convergence(data, q_shape, discount_factor, learning_rate, max_iterations, verbose, "
     "quit_threshold=None)\n--\n\n",
     sequential_parameters, run_driver<&Qlearner::learn_until_convergence>},
    {"double_q",
     "double_q(data, q_shape, discount_factor, learning_rate, max_iterations, verbose, "
     "quit_threshold=None)\n--\n\n",
     sequential_parameters, run_driver<&Qlearner::double_q>},
};
constexpr std::size_t function_count = std::size(functions);

template <std::size_t index>
PyObject* entry(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
  const Function& function = functions[index];
  std::array<PyObject*, 9> slots{};
  const arguments::Signature signature{function.name, function.parameters, function.parameters.size() - 1};
  if (!arguments::bind(signature, args, kwargs, slots.data())) return nullptr;
  try {
    Call call;
    if (!convert(function.parameters, slots.data(), call)) return nullptr;
    return function.run(call);
  } catch (const TrainingFailure& failure) {
    python::set_training_failure(failure.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    python::report_and_set_training_failure(error.what());
  }
  return nullptr;
}

template <std::size_t... index>
constexpr std::array<PyMethodDef, function_count> method_table(std::index_sequence<index...>) {
  return {PyMethodDef{functions[index].name,
                      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<index>)),
                      METH_VARARGS | METH_KEYWORDS, functions[index].doc}...};
}

// Created once and never freed: function objects point at them.
std::array<PyMethodDef, function_count> methods = method_table(std::make_index_sequence<function_count>());

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "tarnel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<bool> initialised{false};

// Appends the function's name to __all__ (creating the list on first use)
// and sets the module attribute of that name.
bool add_function(PyObject* module, PyObject* function) {
  Ref name(PyObject_GetAttrString(function, "__name__"));
  if (!name) return false;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), function) == 0;
}

}  // namespace

}  // namespace tarnel

PyMODINIT_FUNC PyInit_tarnel(void) {
  using tarnel::python::Ref;
  Ref module(PyModule_Create2(&tarnel::module_definition, 3));
  if (!module) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "an exception was expected but none was set");
    return nullptr;
  }
  // Process-wide state (the NumPy API table, the exception type) is shared
  // by every initialisation, so a second one is refused rather than half-run.
  if (tarnel::initialised.exchange(true)) {
    PyErr_SetString(PyExc_ImportError,
                    "tarnel can be initialised only once per interpreter process");
    return nullptr;
  }
  const char* name = PyModule_GetName(module.get());
  if (name == nullptr) return nullptr;
  for (PyMethodDef& method : tarnel::methods) {
    Ref module_name(PyUnicode_FromString(name));
    if (!module_name) return nullptr;
    Ref function(PyCFunction_NewEx(&method, module.get(), module_name.get()));
    if (!function || !tarnel::add_function(module.get(), function.get())) return nullptr;
  }
  // The failure type is an attribute (kept out of __all__) so that pickle finds
  // it by name: a failure raised in a worker process reaches its caller intact.
  PyObject* failure_type = tarnel::python::training_failure_type();
  if (failure_type == nullptr || PyObject_SetAttrString(module.get(), "TrainingFailure", failure_type) < 0) {
    return nullptr;
  }
  return module.release();
}
