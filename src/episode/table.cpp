// Reading flat columns: one conversion loop per element type and byte
// order, chosen once per column and block, never per element.
#include "episode/table.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>
#include <vector>

#include "support/byte_swap.h"

namespace tarnel {

namespace {

// The unsigned integer of each size, which elements are loaded as (and
// byte-swapped as) before they are read as their own type.
template <std::size_t size>
using Bits =
    std::conditional_t<size == 1, std::uint8_t,
                       std::conditional_t<size == 2, std::uint16_t,
                                          std::conditional_t<size == 4, std::uint32_t, std::uint64_t>>>;

// IEEE half precision, widened exactly: every half is a double, NaNs keep
// their payload and sign.
double half_to_double(std::uint16_t half) {
  const std::uint64_t sign = static_cast<std::uint64_t>(half & 0x8000u) << 48;
  const std::uint32_t exponent = (half >> 10) & 0x1fu;
  std::uint64_t mantissa = half & 0x3ffu;
  std::uint64_t bits = 0;
  if (exponent == 0x1f) {
    bits = sign | 0x7ff0000000000000u | (mantissa << 42);  // infinity or NaN
  } else if (exponent != 0) {
    bits = sign | (static_cast<std::uint64_t>(exponent + 1023 - 15) << 52) | (mantissa << 42);
  } else if (mantissa != 0) {
    // Subnormal: shift the leading one into the implicit bit.
    int shift = 0;
    while ((mantissa & 0x400u) == 0) {
      mantissa <<= 1;
      ++shift;
    }
    bits = sign | (static_cast<std::uint64_t>(1023 - 14 - shift) << 52) | ((mantissa & 0x3ffu) << 42);
  } else {
    bits = sign;  // a signed zero
  }
  return std::bit_cast<double>(bits);
}

template <ElementType type>
struct Element;
#define TARNEL_ELEMENT(name, stored)  \
  template <>                         \
  struct Element<ElementType::name> { \
    using Stored = stored;            \
  };
TARNEL_ELEMENT(boolean, std::uint8_t)
TARNEL_ELEMENT(int8, std::int8_t)
TARNEL_ELEMENT(int16, std::int16_t)
TARNEL_ELEMENT(int32, std::int32_t)
TARNEL_ELEMENT(int64, std::int64_t)
TARNEL_ELEMENT(uint8, std::uint8_t)
TARNEL_ELEMENT(uint16, std::uint16_t)
TARNEL_ELEMENT(uint32, std::uint32_t)
TARNEL_ELEMENT(uint64, std::uint64_t)
TARNEL_ELEMENT(float16, std::uint16_t)
TARNEL_ELEMENT(float32, float)
TARNEL_ELEMENT(float64, double)
#undef TARNEL_ELEMENT

// The element at `p` as float64, the C conversion of its value.
template <ElementType type, bool swapped>
__attribute__((always_inline)) inline double read_element(const std::byte* p) {
  using Stored = typename Element<type>::Stored;
  using U = Bits<sizeof(Stored)>;
  U bits;
  std::memcpy(&bits, p, sizeof bits);
  if constexpr (swapped) bits = byte_swapped(bits);
  if constexpr (type == ElementType::boolean) {
    return bits != 0 ? 1.0 : 0.0;
  } else if constexpr (type == ElementType::float16) {
    return half_to_double(bits);
  } else {
    return static_cast<double>(std::bit_cast<Stored>(bits));
  }
}

// `count` elements from `p` on, `stride` bytes apart, into every `step`-th
// double from `out` on.
using ColumnReader = void (*)(const std::byte* p, std::int64_t stride, std::uint64_t count, double* out);

template <ElementType type, bool swapped, std::uint64_t step>
void read_column(const std::byte* p, std::int64_t stride, std::uint64_t count, double* out) {
  constexpr auto size = static_cast<std::int64_t>(sizeof(typename Element<type>::Stored));
  if (stride == size) {
    // Adjacent elements: a loop the compiler turns into vector conversions.
    for (std::uint64_t k = 0; k < count; ++k) {
      out[step * k] = read_element<type, swapped>(p + static_cast<std::int64_t>(k) * size);
    }
  } else {
    for (std::uint64_t k = 0; k < count; ++k, p += stride) out[step * k] = read_element<type, swapped>(p);
  }
}

template <std::uint64_t step, std::size_t... t>
constexpr auto make_readers(std::index_sequence<t...>) {
  return std::array<std::array<ColumnReader, 2>, sizeof...(t)>{
      {{read_column<static_cast<ElementType>(t), false, step>,
        read_column<static_cast<ElementType>(t), true, step>}...}};
}
// Into rows of five (an episode array), and into a block's columns.
constexpr auto row_readers = make_readers<5>(std::make_index_sequence<12>());
constexpr auto block_readers = make_readers<1>(std::make_index_sequence<12>());

template <typename Readers>
void read_columns(const Readers& readers, const ColumnTable& table, std::uint64_t first, std::uint64_t count,
                  double* out, std::uint64_t column_step) {
  for (std::size_t c = 0; c < table.columns.size(); ++c) {
    const TableColumn& column = table.columns[c];
    const ColumnReader reader = readers[static_cast<std::size_t>(column.type)][column.swapped ? 1 : 0];
    reader(column.data + static_cast<std::int64_t>(first) * column.stride, column.stride, count,
           out + c * column_step);
  }
}

}  // namespace

std::size_t size_of(ElementType type) {
  switch (type) {
    case ElementType::boolean:
    case ElementType::int8:
    case ElementType::uint8: return 1;
    case ElementType::int16:
    case ElementType::uint16:
    case ElementType::float16: return 2;
    case ElementType::int32:
    case ElementType::uint32:
    case ElementType::float32: return 4;
    case ElementType::int64:
    case ElementType::uint64:
    case ElementType::float64: return 8;
  }
  return 8;
}

void read_rows(const ColumnTable& table, std::uint64_t first, std::uint64_t count, double* out) {
  read_columns(row_readers, table, first, count, out, 1);
}

void read_block(const ColumnTable& table, std::uint64_t first, std::uint64_t count, double* block) {
  read_columns(block_readers, table, first, count, block, TableSource::block_rows);
}

void TableSource::read(const std::function<void(const RowPiece&)>& piece) {
  std::vector<double> buffer(block_rows * 5);
  const std::uint64_t episodes = table_.episodes();
  const std::uint64_t last_row = table_.first_row + table_.transitions();
  std::uint64_t k = 0;
  for (std::uint64_t row = table_.first_row; k < episodes;) {
    const std::uint64_t block_end = std::min(row + block_rows, last_row);
    if (block_end > row) read_block(table_, row, block_end - row, buffer.data());
    // Every episode the block ends, then the start of the one it cuts.
    for (; k < episodes; ++k) {
      const std::uint64_t start = table_.episode_start(k);
      const std::uint64_t from = std::max(start, row);
      const bool ends = table_.ends[k] <= block_end;
      const std::uint64_t to = ends ? table_.ends[k] : block_end;
      if (ends || to > from) {
        const ArrayView view{reinterpret_cast<const std::byte*>(buffer.data() + (from - row)), to - from, 5,
                             sizeof(double), column_stride};
        piece({view, k, from - start, ends});
      }
      if (!ends) break;
    }
    row = block_end;
  }
}

}  // namespace tarnel
