// Episodes found in a flat log, as offline data sets keep them: rows that
// carry an episode id (and a step within the episode), or rows with flags
// that end episodes. Decided here is only which rows make up which episode,
// in which order; the boundary gathers the columns accordingly.
#pragma once

#include <cstdint>
#include <vector>

#include "episode/table.h"

namespace tarnel {

// Element k of a column as its bits in the machine's byte order, in the low
// bytes.
std::uint64_t element_bits(const TableColumn& column, std::uint64_t k);

// Element k of an integer column as a key that orders as the values do: a
// signed value offset by 2^63, an unsigned one as it is. Keys of one column
// compare with each other only.
std::uint64_t order_key(const TableColumn& column, std::uint64_t k);

// Whether element k of a column is a set flag: any value but zero (-0 is
// zero, NaN is set), as NumPy reads a value as a truth value.
bool flag_set(const TableColumn& column, std::uint64_t k);

// The rows of a log grouped into episodes by id: episodes in increasing id,
// the rows of each in increasing step (in column order without steps, and
// among equal steps).
struct Grouping {
  // The rows in that order; empty when the columns already stand in it.
  std::vector<std::uint64_t> order;
  std::vector<std::uint64_t> ends;  // of the episodes, over the rows in that order
};

// `steps` may be nullptr. Both columns hold integers and are `rows` long.
Grouping group_by_id(const TableColumn& ids, const TableColumn* steps, std::uint64_t rows);

// The episodes of a log that marks their ends with flags: an episode ends
// after every row whose terminal or timeout flag is set, and after the last
// row.
struct FlagCut {
  // The rows kept, in order; empty when all are.
  std::vector<std::uint64_t> kept;
  std::vector<std::uint64_t> ends;  // of the episodes, over the kept rows
  // Without stored next observations, the row whose observation is each
  // kept row's next state: the following row. A terminal row names itself;
  // its next state is never read, and `unread` lists its position among the
  // kept rows.
  std::vector<std::uint64_t> next_rows;
  std::vector<std::uint64_t> unread;
  std::uint64_t left_out = 0;
};

// `timeouts` may be nullptr. Without stored next observations, the last row
// of an episode that ends without a terminal flag (cut by a timeout, or the
// log's last row) has no next state and is left out, and so is an episode
// left without rows.
FlagCut cut_at_flags(const TableColumn& terminals, const TableColumn* timeouts, std::uint64_t rows,
                     bool next_stored);

}  // namespace tarnel
