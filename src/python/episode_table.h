// `tarnel.EpisodeTable`: episodes kept as five flat columns and the episodes'
// end offsets, a second form of `data` that every function reads in place.
//
// The table holds its columns (so their memory cannot go away while it
// lives) together with the memory each one viewed when the table was built,
// and checks both before every read, as episode arrays are checked; the top
// of python/held_memory.h gives the rules.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

#include "episode/table.h"

namespace tarnel::episode_table {

// The type, created on first use and kept for the process; nullptr with an
// error set when it cannot be created.
PyObject* type();

// Whether `object` is an EpisodeTable (the type must have been created).
bool is_table(PyObject* object);

// The table's episodes as the core reads them. Fails with the training
// failure unless every column still views the memory it viewed when the
// table was built. The columns stay valid while `table` is held and no
// Python code runs.
ColumnTable readable(PyObject* table);

// The table's numbers of episodes and rows, which need no check: the table
// keeps its ends itself.
std::pair<std::uint64_t, std::uint64_t> readable_size(PyObject* table);

}  // namespace tarnel::episode_table
