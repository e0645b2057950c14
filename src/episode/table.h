// Episodes kept as flat columns, the way logs, replay buffers and data sets
// store them: one column per transition field, one element per transition,
// each of its own numeric type and stride, and the end offsets of the
// episodes. The rows are read where they lie and converted to float64 a
// block at a time, each column by a loop made for its type.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "episode/source.h"

namespace tarnel {

// The element types a column may hold, each read as float64 the way a C
// conversion (and so NumPy's astype) reads it.
enum class ElementType : std::uint8_t {
  boolean,
  int8,
  int16,
  int32,
  int64,
  uint8,
  uint16,
  uint32,
  uint64,
  float16,
  float32,
  float64,
};

std::size_t size_of(ElementType type);

// One column: element k is the value at byte offset k * stride from `data`,
// of `type`, in the machine's byte order unless `swapped`. Elements need not
// be aligned.
struct TableColumn {
  const std::byte* data = nullptr;
  std::int64_t stride = 0;
  ElementType type = ElementType::float64;
  bool swapped = false;
};

// The five columns of the transitions (state, action, reward, next state,
// terminal flag), `rows` long, and the episodes: episode k of the table is
// rows ends[k - 1] .. ends[k] (from row 0 for the first), for `ends`
// non-decreasing and ending at `rows`. A slice of a table is the same
// columns with a shorter `ends`, and `first_row` where its first episode
// starts.
struct ColumnTable {
  std::array<TableColumn, 5> columns;
  std::span<const std::uint64_t> ends;
  std::uint64_t first_row = 0;

  std::uint64_t episodes() const { return ends.size(); }
  std::uint64_t episode_start(std::uint64_t k) const { return k == 0 ? first_row : ends[k - 1]; }
  std::uint64_t transitions() const { return ends.empty() ? 0 : ends.back() - first_row; }
};

// Rows `first` .. `first + count` of the table's columns as float64, five to
// a row, into `out` (C order).
void read_rows(const ColumnTable& table, std::uint64_t first, std::uint64_t count, double* out);

// Rows `first` .. `first` + `count` (at most TableSource::block_rows) of the
// table's columns as float64, into a block laid out as TableSource's is.
void read_block(const ColumnTable& table, std::uint64_t first, std::uint64_t count, double* block);

// The table's episodes as pieces: a block of rows at a time, converted into a
// buffer of the source's own and handed over episode by episode.
class TableSource final : public EpisodeSource {
 public:
  explicit TableSource(const ColumnTable& table) : table_(table) {}

  std::uint64_t episodes() const override { return table_.episodes(); }
  std::uint64_t transitions() const override { return table_.transitions(); }
  void read(const std::function<void(const RowPiece&)>& piece) override;

  // Rows converted at a time: 10 KiB of float64 values, which stay in the
  // first-level cache while the readers take them. The block is kept a
  // column after the other, so that each column converts in one
  // contiguous loop: value j of row i at byte i * 8 + j * column_stride.
  static constexpr std::uint64_t block_rows = 256;
  static constexpr std::int64_t column_stride = block_rows * sizeof(double);

 private:
  ColumnTable table_;
};

// Episode k of the table alone, as pieces of at most block_rows rows, each
// converted into `block` (room for a block) and handed to `piece`.
template <typename Piece>
void read_episode_rows(const ColumnTable& table, std::uint64_t k, double* block, Piece&& piece) {
  const std::uint64_t start = table.episode_start(k);
  const std::uint64_t end = table.ends[k];
  std::uint64_t row = start;
  do {
    const std::uint64_t count = std::min(end - row, TableSource::block_rows);
    if (count > 0) read_block(table, row, count, block);
    const ArrayView view{reinterpret_cast<const std::byte*>(block), count, 5, sizeof(double),
                         TableSource::column_stride};
    row += count;
    piece(RowPiece{view, k, row - count - start, row == end});
  } while (row < end);
}

}  // namespace tarnel
