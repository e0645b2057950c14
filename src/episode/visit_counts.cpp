// Counting the transitions that start at each pair of the table.
#include "episode/visit_counts.h"

#include "support/table_size.h"

namespace tarnel {

std::vector<std::uint64_t> visit_counts(EpisodeSource& source, std::uint64_t states, std::uint64_t actions) {
  check_table_size(states, actions);
  std::vector<std::uint64_t> counts(states * actions);
  source.read([&](const RowPiece& piece) {
    const ArrayView& view = piece.view;
    check_columns(view, piece.position);
    const std::int64_t c = view.column_stride;
    for (std::uint64_t i = 0; i < view.rows; ++i) {
      const std::byte* row = view.data + static_cast<std::int64_t>(i) * view.row_stride;
      const std::uint64_t s = saturating_index(element_at(row));
      const std::uint64_t a = saturating_index(element_at(row + c));
      if (s < states && a < actions) [[likely]]
        ++counts[s + a * states];
    }
  });
  return counts;
}

}  // namespace tarnel
