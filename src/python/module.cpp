// The module `tarnel`: its initialisation, the eight entry functions and the
// two that look at the data without training. Each training entry binds and
// converts its arguments, builds the episodes and the learner, runs one
// driver and hands the trained table to NumPy. Each entry runs guarded, so whatever the core throws becomes a
// Python exception in one place (python/errors.h).
#include <Python.h>

#include <array>
#include <atomic>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "episode/data_check.h"
#include "episode/visit_counts.h"
#include "python/arguments.h"
#include "python/episode_table.h"
#include "python/errors.h"
#include "python/held_source.h"
#include "python/numpy_bridge.h"
#include "python/ref.h"
#include "qlearning/qlearner.h"
#include "support/console.h"

namespace tarnel {

namespace {

using arguments::Parameter;
using arguments::Values;
using python::Ref;

CompactEpisodeList build_episodes(arguments::Data& data, QShape q_shape, RowRead reads) {
  python::DataSource source(data);
  return compact_episodes(source, q_shape.first, q_shape.second, reads);
}

// Runs `train` on the call's episodes, of which it picks at most `picks`:
// a table's converted as the training picks them, and episode arrays
// converted at once. So is a table whose episodes the picks can mostly
// reach: converting in the order of the picks reads the columns at random,
// several times slower per row than in their order (and from the disk, for
// columns mapped from files larger than the memory left), which costs more
// than converting the few episodes never picked. And so is a table whose
// conversion as picked the system will not reserve memory for.
template <typename Train>
PyObject* train_on(arguments::Data& data, QShape q_shape, RowRead reads, std::uint64_t picks, Train train) {
  if (data.table && picks < episode_table::readable_size(data.table.get()).first / 2) {
    const ColumnTable table = episode_table::readable(data.table.get());
    std::optional<TableEpisodeList> picked;
    try {
      picked.emplace(table_episodes(table, q_shape.first, q_shape.second, reads, picks));
    } catch (const std::bad_alloc&) {
    }
    if (picked) return train(*picked);
  }
  CompactEpisodeList episodes = build_episodes(data, q_shape, reads);
  return train(episodes);
}

Qlearner learner_of(const Values& values) {
  Qlearner learner;
  learner.q_shape = values.q_shape;
  learner.discount_factor = values.discount_factor;
  learner.learning_rate = values.learning_rate;
  learner.max_iterations = values.max_iterations;
  // Absent, it keeps the record's default.
  learner.quit_threshold = values.quit_threshold.value_or(learner.quit_threshold);
  learner.verbose = values.verbose;
  return learner;
}

// A new array over `values`, of extents `dims`, in column-major order (the
// first index varies fastest), as the core lays out its tables. An empty one
// has strides of 0: it reads no element, and one of its extents may be too
// large for a stride to fit NumPy's index type.
template <typename T, std::size_t nd>
PyObject* column_major_array(std::vector<T>&& values, const std::array<std::uint64_t, nd>& dims) {
  std::array<std::uint64_t, nd> strides{};
  if (!values.empty()) {
    std::uint64_t stride = 1;
    for (std::size_t k = 0; k < nd; ++k) {
      strides[k] = stride;
      stride *= dims[k];
    }
  }
  return numpy::to_array(std::move(values), static_cast<int>(nd), dims.data(), strides.data());
}

PyObject* table_to_array(QTable&& table) {
  return column_major_array(std::move(table.values), std::array{table.states, table.actions});
}

PyObject* stack_to_array(TableStack&& stack) {
  return column_major_array(std::move(stack.values), std::array{stack.depth, stack.states, stack.actions});
}

using Entry = PyObject* (*)(Values& values);

struct Function {
  const char* name;
  std::span<const Parameter> parameters;
  Entry run;
  std::size_t optional = 1;  // how many of the last parameters may be left out
  bool listed = true;        // in __all__
  const char* doc = "";      // after the signature; the eight training functions have none
};

// One table per parameter list: each parameter's name, and where its value
// goes (whose type is the conversion it gets). Every training function
// takes the same first five and last two; the parallel ones count their
// trainings in between.
template <std::size_t n>
constexpr std::array<Parameter, n + 7> training_parameters(std::array<Parameter, n> counts) {
  const Parameter head[] = {
      {"data", &Values::episodes},
      {"q_shape", &Values::q_shape},
      {"discount_factor", &Values::discount_factor},
      {"learning_rate", &Values::learning_rate},
      {"max_iterations", &Values::max_iterations},
  };
  std::array<Parameter, n + 7> all{};
  std::size_t k = 0;
  for (const Parameter& parameter : head) all[k++] = parameter;
  for (const Parameter& parameter : counts) all[k++] = parameter;
  all[k++] = {"verbose", &Values::verbose};
  all[k] = {"quit_threshold", &Values::quit_threshold};
  return all;
}
constexpr auto sequential_parameters = training_parameters<0>({});
constexpr auto td_parallel_parameters = training_parameters<2>(
    {{{"boostrap_sample_size", &Values::sample_size}, {"iter_ql", &Values::trainings}}});
constexpr auto q_parallel_parameters = training_parameters<1>({{{"ql_iter", &Values::trainings}}});
static_assert(std::size(td_parallel_parameters) <= arguments::max_parameters);

template <const RuleDescriptor& rule>
PyObject* run_learn(Values& values) {
  return train_on(values.episodes, values.q_shape, rule.reads, values.max_iterations,
                  [&](auto& episodes) { return table_to_array(learner_of(values).learn<rule>(episodes)); });
}

// The drivers with a rule of their own: all read the next state's row.
enum class Driver { fast_learn, learn_until_convergence, double_q };

template <Driver driver>
PyObject* run_driver(Values& values) {
  return train_on(values.episodes, values.q_shape, RowRead::next_state, values.max_iterations,
                  [&](auto& episodes) {
                    const Qlearner learner = learner_of(values);
                    Rng& rng = thread_rng();
                    if constexpr (driver == Driver::fast_learn) {
                      return table_to_array(learner.fast_learn(episodes, rng));
                    } else if constexpr (driver == Driver::learn_until_convergence) {
                      return table_to_array(learner.learn_until_convergence(episodes, rng));
                    } else {
                      return table_to_array(learner.double_q(episodes, rng));
                    }
                  });
}

// The workers share one list, so a table is converted whole before they
// start.
PyObject* run_learn_parallel(Values& values) {
  constexpr RowRead reads = Qlearner::learn_single_episode_forward_Q.reads;
  const CompactEpisodeList episodes = build_episodes(values.episodes, values.q_shape, reads);
  const Qlearner learner = learner_of(values);
  console::write_line("Q learning forward parallel, config: " + to_string(learner) + "\n");
  return stack_to_array(
      learner.learn_parallel<Qlearner::learn_single_episode_forward_Q>(episodes, values.trainings));
}

PyObject* run_td_learn_backward_parallel(Values& values) {
  // The driver takes the episode list over and frees it itself.
  // Every sample draws its size in episodes.
  const std::uint64_t draws =
      values.trainings == 0 || values.sample_size <= ~std::uint64_t{0} / values.trainings
          ? values.sample_size * values.trainings
          : ~std::uint64_t{0};
  return train_on(values.episodes, values.q_shape, Qlearner::learn_single_episode_backward_TD.reads, draws,
                  [&](auto& episodes) {
                    return stack_to_array(learner_of(values).td_learn_backward_parallel(
                        std::move(episodes), values.sample_size, values.trainings, thread_rng()));
                  });
}

// check_episodes(data, q_shape) and visit_counts(data, q_shape) read the
// data as training reads it, and give it back as it is read, as the training
// functions do.
constexpr Parameter data_parameters[] = {
    {"data", &Values::episodes},
    {"q_shape", &Values::q_shape},
};

// A ValueError with the report (warnings included) when the data has
// problems; else the warnings, any of which a filter may turn into the
// error raised, and None.
PyObject* run_check(Values& values) {
  python::DataSource source(values.episodes);
  const DataCheck check = check_episodes(source, values.q_shape.first, values.q_shape.second);
  if (!check.clean()) {
    python::set_error(PyExc_ValueError, to_string(check));
    return nullptr;
  }
  for (const std::string& text : warnings(check)) {
    if (PyErr_WarnEx(python::data_warning_type(), text.c_str(), 1) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* run_visit_counts(Values& values) {
  python::DataSource source(values.episodes);
  const auto [states, actions] = values.q_shape;
  // Laid out like the tables it is read beside.
  return column_major_array(visit_counts(source, states, actions), std::array{states, actions});
}

constexpr char check_doc[] =
    "Checks episode data before training; returns None when every transition reads as recorded.\n\n"
    "Takes data and q_shape as the training functions do, and refuses a wrong type or dtype with\n"
    "their TypeError. Every problem with the data's content raises ValueError: a state, action or\n"
    "next state that is NaN, negative, infinite, fractional or not below q_shape; a reward that is\n"
    "NaN or infinite; a terminal flag other than 0 or 1; an episode without rows or with fewer\n"
    "than 5 columns; data without episodes. The report counts each kind of problem with its first\n"
    "location and, where one fits, its likely cause, then lists the first ten in data order. The\n"
    "next state is checked only on rows whose flag is not 1.0, the only ones that read it.\n\n"
    "Warns with tarnel.DataWarning about data that reads as recorded but is almost certainly\n"
    "wrong: next states at or above q_shape[0] on terminal rows (states numbered from 1, or\n"
    "shifted), terminal next states that also start recorded transitions (time-limit cuts\n"
    "recorded as terminations), episodes ending in all-zero rows (padding), episodes whose last\n"
    "rows lead to the first state of the episode after them (next states taken from the following\n"
    "row of a log: use EpisodeTable.from_flags), and episodes of one row or rows that do not lead\n"
    "to the state of the row after them (rows out of order: use EpisodeTable.from_ids).";

constexpr char visit_counts_doc[] =
    "The data's support: how many recorded transitions start at each state and action.\n\n"
    "Returns a new (states, actions) uint64 array in Fortran order. State and action are read as\n"
    "training reads them; a row whose state or action reads outside q_shape is not counted.\n"
    "Training never changes the value of a pair the data does not visit, so a greedy policy may\n"
    "prefer such a pair only because its value stayed 0; restrict it to visited actions with\n"
    "np.where(counts > 0, q, -np.inf).argmax(axis=1).";

// Registration order, which is also the order of __all__. check_episodes and
// visit_counts train nothing and stay out of it.
constexpr Function functions[] = {
    {"qlearn_forward", sequential_parameters, run_learn<Qlearner::learn_single_episode_forward_Q>},
    {"td_learn_backward", sequential_parameters, run_learn<Qlearner::learn_single_episode_backward_TD>},
    {"expected_sarsa", sequential_parameters, run_learn<Qlearner::learn_single_episode_expected_sarsa>},
    {"td_learn_backward_parallel", td_parallel_parameters, run_td_learn_backward_parallel},
    {"qlearn_forward_parallel", q_parallel_parameters, run_learn_parallel},
    {"fast_learn", sequential_parameters, run_driver<Driver::fast_learn>},
    {"learn_until_convergence", sequential_parameters, run_driver<Driver::learn_until_convergence>},
    {"double_q", sequential_parameters, run_driver<Driver::double_q>},
    {"check_episodes", data_parameters, run_check, 0, false, check_doc},
    {"visit_counts", data_parameters, run_visit_counts, 0, false, visit_counts_doc},
};
constexpr std::size_t function_count = std::size(functions);

// The text signature of function `index`, which CPython shows as its
// __text_signature__: its name, its parameters with the optional ones
// defaulting to None, and the line that ends a signature, then its doc. Built at compile time from the
// parameter table, so each name is written once, and kept in static storage
// as the method table needs.
template <std::size_t index>
constexpr auto text_signature = [] {
  constexpr const Function& function = functions[index];
  constexpr std::string_view optional = "=None";
  constexpr std::string_view separator = ", ";
  constexpr std::string_view end = ")\n--\n\n";
  constexpr std::size_t length = [&] {
    std::size_t total = std::string_view(function.name).size() + 1 + optional.size() * function.optional +
                        end.size() + std::string_view(function.doc).size();
    for (const Parameter& parameter : function.parameters) total += std::string_view(parameter.name).size();
    return total + separator.size() * (function.parameters.size() - 1);
  }();
  std::array<char, length + 1> text{};  // zero-terminated
  std::size_t at = 0;
  const auto put = [&](std::string_view part) {
    for (const char c : part) text[at++] = c;
  };
  put(function.name);
  put("(");
  for (std::size_t k = 0; k < function.parameters.size(); ++k) {
    if (k > 0) put(separator);
    put(function.parameters[k].name);
    if (k + function.optional >= function.parameters.size()) put(optional);
  }
  put(end);
  put(function.doc);
  return text;
}();

template <std::size_t index>
PyObject* entry(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
  return python::guarded([args, kwargs]() -> PyObject* {
    const Function& function = functions[index];
    const arguments::Signature signature{function.name, function.parameters, function.optional};
    std::array<PyObject*, arguments::max_parameters> slots{};
    if (!arguments::bind(signature, args, kwargs, slots.data())) return nullptr;
    Values values;
    if (!arguments::convert(signature, slots.data(), values)) return nullptr;
    return function.run(values);
  });
}

template <std::size_t... index>
constexpr std::array<PyMethodDef, function_count> method_table(std::index_sequence<index...>) {
  return {PyMethodDef{functions[index].name,
                      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<index>)),
                      METH_VARARGS | METH_KEYWORDS, text_signature<index>.data()}...};
}

// Created once and never freed: function objects point at them.
std::array<PyMethodDef, function_count> methods = method_table(std::make_index_sequence<function_count>());

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "tarnel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<bool> initialised{false};

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
    PyErr_SetString(PyExc_ImportError, "tarnel can be initialised only once per interpreter process");
    return nullptr;
  }
  const char* name = PyModule_GetName(module.get());
  if (name == nullptr) return nullptr;
  Ref all(PyList_New(0));
  if (!all) return nullptr;
  for (std::size_t k = 0; k < tarnel::function_count; ++k) {
    Ref module_name(PyUnicode_FromString(name));
    if (!module_name) return nullptr;
    Ref function(PyCFunction_NewEx(&tarnel::methods[k], module.get(), module_name.get()));
    if (!function || PyObject_SetAttrString(module.get(), tarnel::functions[k].name, function.get()) < 0) {
      return nullptr;
    }
    if (tarnel::functions[k].listed) {
      Ref listed_name(PyUnicode_FromString(tarnel::functions[k].name));
      if (!listed_name || PyList_Append(all.get(), listed_name.get()) < 0) return nullptr;
    }
  }
  if (PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
  // The failure type is an attribute (kept out of __all__) so that pickle finds
  // it by name: a failure raised in a worker process reaches its caller intact.
  PyObject* table_type = tarnel::episode_table::type();
  if (table_type == nullptr || PyObject_SetAttrString(module.get(), "EpisodeTable", table_type) < 0) {
    return nullptr;
  }
  PyObject* failure_type = tarnel::python::training_failure_type();
  if (failure_type == nullptr || PyObject_SetAttrString(module.get(), "TrainingFailure", failure_type) < 0) {
    return nullptr;
  }
  // So is the warning category, for filters that name it.
  PyObject* warning_type = tarnel::python::data_warning_type();
  if (warning_type == nullptr || PyObject_SetAttrString(module.get(), "DataWarning", warning_type) < 0) {
    return nullptr;
  }
  if (PyModule_AddStringConstant(module.get(), "__version__", TARNEL_VERSION) < 0) return nullptr;
  return module.release();
}
