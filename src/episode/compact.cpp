// Building the compact training form from episode arrays.
#include "episode/compact.h"

#include <algorithm>
#include <memory>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "episode/table.h"
#include "support/console.h"
#include "support/dispatch.h"

namespace tarnel {

namespace {

// Rows converted at a time by the streaming conversion, with one test of
// whether all of them are plain: a block that is not is converted again by
// the exact path, row by row.
constexpr std::uint64_t block_rows = 8;

// The table's dimensions, for the streaming conversion's quick test of an
// index (episode.h): an index that fails it goes to the exact path, which
// decides on it.
struct IndexBounds {
  IndexBound states;
  IndexBound actions;
};

// The index a column reads as, if it lies below `bound`: NaN, zeros and
// negatives read as 0, anything else is truncated. `inside` says whether it
// lies below the bound; when not, the index is unused, and the value
// converted is clamped below 2^63 first, so that the conversion is always
// defined. Without a branch: written plainly, the compiler tests the sign
// with a jump, which index 0 (a quarter of all actions in a four-action
// table) would mispredict; the x86 instructions (SSE2, in every x86-64)
// leave it no choice.
__attribute__((always_inline)) inline std::uint64_t bounded_index(double value, double bound, bool& inside) {
  constexpr double below_2_to_63 = 9223372036854774784.0;  // the largest double below 2^63
#if defined(__SSE2__)
  // maxsd gives its second operand when the first is NaN.
  const __m128d clamped = _mm_max_sd(_mm_set_sd(value), _mm_setzero_pd());
  inside = _mm_comilt_sd(clamped, _mm_set_sd(bound)) != 0;
  return static_cast<std::uint64_t>(_mm_cvttsd_si64(_mm_min_sd(clamped, _mm_set_sd(below_2_to_63))));
#else
  const double clamped = value > 0.0 ? value : 0.0;
  inside = clamped < bound;
  return static_cast<std::uint64_t>(
      static_cast<std::int64_t>(clamped < below_2_to_63 ? clamped : below_2_to_63));
#endif
}

// One row at `p` (five float64 columns, `columns` bytes apart) as its
// record, without branches; whether the rule can replay it as converted.
// When it cannot, or the bounds were unsure, the record is rewritten by the
// exact path.
template <typename Index, RowRead reads, std::int64_t columns>
__attribute__((always_inline)) inline bool stream_row(const std::byte* p, const IndexBounds& bounds,
                                                      CompactTransition<Index>& out) {
  using Record = CompactTransition<Index>;
  static_assert(Record::terminal == static_cast<Index>(~Index{0}));
  bool state_inside, action_inside;
  const std::uint64_t state = bounded_index(element_at(p), bounds.states.quick, state_inside);
  const std::uint64_t action = bounded_index(element_at(p + columns), bounds.actions.quick, action_inside);
  const double reward = element_at(p + 2 * columns);
  const bool done = element_at(p + 4 * columns) == 1.0;
  // All ones, the terminal mark, on a terminal row.
  const Index done_mask = static_cast<Index>(Index{0} - static_cast<Index>(done));
  bool plain = state_inside & action_inside;
  Index row = Record::terminal;
  if constexpr (reads == RowRead::next_state) {
    bool next_inside;
    const std::uint64_t next = bounded_index(element_at(p + 3 * columns), bounds.states.quick, next_inside);
    plain = plain & (done | next_inside);
    row = static_cast<Index>(static_cast<Index>(next) | done_mask);
  } else if constexpr (reads == RowRead::own_state) {
    row = static_cast<Index>(static_cast<Index>(state) | done_mask);
  }
  out = {static_cast<Index>(state + action * bounds.states.extent), row, reward};
  return plain;
}

// A block of `rows` rows from `p` on (`rows` 0: of `count` rows, an
// array's last and shorter block); whether every one of them is plain.
template <typename Index, RowRead reads, std::int64_t columns, std::uint64_t rows>
__attribute__((always_inline)) inline bool stream_block(const std::byte* p, std::int64_t row_stride,
                                                        std::uint64_t count, const IndexBounds& bounds,
                                                        CompactTransition<Index>* out) {
  bool plain = true;
  const std::uint64_t n = rows > 0 ? rows : count;
  for (std::uint64_t k = 0; k < n; ++k, p += row_stride) {
    plain = plain & stream_row<Index, reads, columns>(p, bounds, out[k]);
  }
  return plain;
}

// Rows from..count of the array whose row 0 lies at `data`, converted a
// block at a time into out[from..count); returns the first row of the first
// block that the exact path must convert again, or `count`.
template <typename Index, RowRead reads, std::int64_t columns>
std::uint64_t stream_rows(const std::byte* data, std::int64_t row_stride, std::uint64_t from,
                          std::uint64_t count, const IndexBounds& bounds, CompactTransition<Index>* out) {
  std::uint64_t i = from;
  const std::byte* p = data + static_cast<std::int64_t>(i) * row_stride;
  const std::int64_t block_stride = static_cast<std::int64_t>(block_rows) * row_stride;
  for (; count - i >= block_rows; i += block_rows, p += block_stride) {
    if (!stream_block<Index, reads, columns, block_rows>(p, row_stride, block_rows, bounds, out + i))
      return i;
  }
  if (i < count && !stream_block<Index, reads, columns, 0>(p, row_stride, count - i, bounds, out + i))
    return i;
  return count;
}

// The column strides that rows are streamed at: adjacent columns (an array
// in C order, or the rows of one, in any order and with any step), and a
// table's block of rows, a column after the other.
constexpr std::int64_t adjacent_columns = sizeof(double);
constexpr std::int64_t block_columns = TableSource::column_stride;

}  // namespace

// Writes the records of the rows a reader hands over, a piece at a time.
// `keep(rejected)` keeps a transition the rule rejects and says where in
// the list of rejected transitions it lies.
template <typename Index, typename Keep>
struct RecordWriter {
  using Record = CompactTransition<Index>;

  IndexBounds bounds;
  std::uint64_t actions;
  Keep keep;
  bool episode_has_rejected = false;

  RecordWriter(std::uint64_t states, std::uint64_t actions_, Keep keep_)
      : bounds{IndexBound(states), IndexBound(actions_)}, actions(actions_), keep(std::move(keep_)) {}

  // Row i of the array at `position`, the exact way. The checks are the
  // rule's own: the entry written, then the row read. The backward rule
  // reads only the reward of an episode's last transition, so nothing else
  // of it is checked or kept.
  template <RowRead reads>
  void add(const RecordedRow& recorded, std::uint64_t position, std::uint64_t i, bool last, Record& record) {
    const Transition t = transition_of(recorded);
    const std::uint64_t states = bounds.states.extent;
    Index row = Record::terminal;
    bool valid = t.state < states && t.action < actions;
    if constexpr (reads == RowRead::next_state) {
      if (!t.done) {
        valid = valid && t.next_state < states;
        row = static_cast<Index>(t.next_state);
      }
    } else if constexpr (reads == RowRead::own_state) {
      if (!t.done) row = static_cast<Index>(t.state);
    } else {
      if (last) {
        record = {Index{0}, Record::terminal, t.reward};
        return;
      }
    }
    if (valid) [[likely]] {
      record = {static_cast<Index>(t.state + t.action * states), row, t.reward};
    } else {
      record = {Record::rejected, static_cast<Index>(keep(RejectedTransition{t, position, i, recorded})),
                t.reward};
      episode_has_rejected = true;
    }
  }

  // The first `count` rows of a piece, streamed, with the blocks the
  // streaming test refuses converted again the exact way.
  template <RowRead reads, std::int64_t columns>
  void stream(const ArrayView& view, std::uint64_t position, std::uint64_t first, std::uint64_t count,
              Record* records) {
    std::uint64_t i = 0;
    while ((i = stream_rows<Index, reads, columns>(view.data, view.row_stride, i, count, bounds, records)) <
           count) {
      for (const std::uint64_t end = std::min(i + block_rows, count); i < end; ++i) {
        add<reads>(recorded_row(view, i), position, first + i, false, records[i]);
      }
    }
  }

  // A piece of an episode (source.h), one record per row into `records`.
  // Streamed where the layout allows, a block at a time; a block holding a
  // row the rule rejects (or one the streaming test is unsure of) is
  // converted again row by row the exact way, which marks and keeps its
  // rejected transitions in order.
  template <RowRead reads>
  void add_piece(const RowPiece& piece, Record* records) {
    const ArrayView& view = piece.view;
    const std::uint64_t rows = view.rows;
    const std::uint64_t position = piece.position;
    const std::uint64_t first = piece.first_row;
    // The backward rule's last transition is never checked: only its
    // reward is kept.
    const bool has_last = reads == RowRead::none && piece.ends_episode && rows > 0;
    const std::uint64_t checked = has_last ? rows - 1 : rows;
    if (view.column_stride == adjacent_columns) {
      stream<reads, adjacent_columns>(view, position, first, checked, records);
    } else if (view.column_stride == block_columns) {
      stream<reads, block_columns>(view, position, first, checked, records);
    } else {
      for (std::uint64_t i = 0; i < checked; ++i) {
        add<reads>(recorded_row(view, i), position, first + i, false, records[i]);
      }
    }
    if (has_last) add<reads>(recorded_row(view, checked), position, first + checked, true, records[checked]);
  }

  // Whether the episode ended since the last call holds a rejected record.
  bool take_rejected() { return std::exchange(episode_has_rejected, false); }
};

// A list converted whole: every episode of a source, in order.
template <typename Index>
struct CompactBuilder {
  using Record = CompactTransition<Index>;

  struct KeepInList {
    std::vector<RejectedTransition>* list;
    std::uint64_t operator()(const RejectedTransition& rejected) const {
      list->push_back(rejected);
      return list->size() - 1;
    }
  };

  CompactEpisodes<Index> out;
  // Behind a pointer, so that the writer's view of it survives moves.
  std::unique_ptr<std::vector<RejectedTransition>> rejected =
      std::make_unique<std::vector<RejectedTransition>>();
  RecordWriter<Index, KeepInList> writer;
  std::uint64_t filled = 0;  // records written, of every episode so far

  CompactBuilder(std::uint64_t states, std::uint64_t actions, RowRead reads, std::size_t episodes,
                 std::size_t transitions)
      : writer(states, actions, KeepInList{rejected.get()}) {
    out.states_ = states;
    out.actions_ = actions;
    out.reads_ = reads;
    out.starts_.reserve(episodes + 1);
    // Every row becomes one record, written in place below.
    out.records_.resize(transitions);
  }

  // The episode's last piece closes it.
  template <RowRead reads>
  void add_piece(const RowPiece& piece) {
    writer.template add_piece<reads>(piece, out.records_.data() + filled);
    filled += piece.view.rows;
    if (piece.ends_episode) out.starts_.push_back(filled | (writer.take_rejected() ? rejected_bit : 0));
  }

  CompactEpisodes<Index> finish() && {
    std::shared_ptr<const std::vector<RejectedTransition>> all(std::move(rejected));
    out.origins_.rejected = std::shared_ptr<const RejectedTransition>(all, all->data());
    return std::move(out);
  }
};

std::string location(const RejectedTransition& rejected) {
  const RecordedRow& r = rejected.recorded;
  std::string text = location(rejected.episode, rejected.row) + ": ";
  const std::pair<const char*, double> columns[] = {{"state ", r.state},
                                                    {", action ", r.action},
                                                    {", reward ", r.reward},
                                                    {", next state ", r.next_state},
                                                    {", terminal ", r.terminal}};
  for (const auto& [label, value] : columns) {
    text += label;
    console::append_number(text, value);
  }
  return text;
}

bool fits_32_bits(std::uint64_t states, std::uint64_t actions, std::uint64_t transitions) {
  // The largest value is kept for the marks. Offsets lie below
  // states * actions, rows below states, positions in the rejected list
  // below the number of transitions: all must lie below the mark.
  constexpr std::uint64_t mark = std::numeric_limits<std::uint32_t>::max();
  if (transitions > mark) return false;
  if (actions == 0) return true;    // every transition is rejected
  return states <= mark / actions;  // states * actions <= mark, without overflow
}

std::uint64_t EpisodeOrigins::position(std::size_t k) const {
  if (!sample) return k;
  const auto at = std::lower_bound(empty_positions.begin(), empty_positions.end(),
                                   std::pair<std::size_t, std::uint64_t>{k, 0});
  return at != empty_positions.end() && at->first == k ? at->second : k;
}

template <typename Index>
void CompactEpisodes<Index>::append_copy(const CompactEpisode<Index>& episode) {
  if (episode.records.empty()) origins_.empty_positions.emplace_back(size(), episode.position());
  records_.insert(records_.end(), episode.records.begin(), episode.records.end());
  starts_.push_back(records_.size() | (episode.has_rejected ? rejected_bit : 0));
}

namespace {

// Every row of a table could be rejected, so the store is reserved for
// them all; only the ones kept take memory, on small pages, since they
// are seldom more than a few.
struct KeepInStore {
  ZeroPages<RejectedTransition>* store;
  std::uint64_t* count;
  std::uint64_t operator()(const RejectedTransition& rejected) const {
    (*store)[*count] = rejected;
    return (*count)++;
  }
};

// Records, with their heads, that `picks` picks of the table's episodes
// are expected to need: the distinct episodes they can reach, of the mean
// length and a quarter more, within the allocator's share (zero_pages.h).
std::uint64_t expected_records(const ColumnTable& table, std::uint64_t picks, std::size_t record) {
  const std::uint64_t episodes = table.episodes();
  if (episodes == 0) return 0;
  const std::uint64_t mean = table.transitions() / episodes + 1;
  const std::uint64_t most = allocator_share / record;
  const std::uint64_t reached = std::min(picks, episodes);
  if (reached > most / (mean + mean / 4 + 1)) return most;
  return reached * (mean + mean / 4 + 1);
}

}  // namespace

template <typename Index>
TableEpisodes<Index>::TableEpisodes(const ColumnTable& table, std::uint64_t states, std::uint64_t actions,
                                    RowRead reads, std::uint64_t picks)
    : table_(table),
      states_(states),
      actions_(actions),
      reads_(reads),
      far_(table.transitions() > far_table_rows),
      slots_(table.episodes(), std::min(picks, table.episodes())),
      first_(expected_records(table, picks, sizeof(Record)), true),
      rejected_(std::make_shared<ZeroPages<RejectedTransition>>(table.transitions(), false)),
      block_(TableSource::block_rows * 5) {
  origins_.rejected = std::shared_ptr<const RejectedTransition>(rejected_, rejected_->data());
}

template <typename Index>
void TableEpisodes<Index>::fetch_table_rows(std::size_t k) const {
  const std::uint64_t start = table_.episode_start(k);
  const std::uint64_t length = table_.ends[k] - start;
  if (length == 0) return;
  for (const TableColumn& column : table_.columns) {
    // From the lowest of the episode's elements to the highest, whatever
    // the stride's sign.
    const std::int64_t span = static_cast<std::int64_t>(length - 1) * column.stride;
    const std::byte* low =
        column.data + static_cast<std::int64_t>(start) * column.stride + std::min<std::int64_t>(span, 0);
    prefetch_lines(low, static_cast<std::size_t>(span < 0 ? -span : span) + size_of(column.type), 8);
  }
}

template <typename Index>
auto TableEpisodes<Index>::room(std::uint64_t count) -> Record* {
  if (first_.size() - first_used_ >= count) {
    first_used_ += count;
    return first_.data() + first_used_ - count;
  }
  // A head per episode and the records: room for every episode there is.
  if (rest_.size() == 0) rest_ = ZeroPages<Record>(table_.episodes() + table_.transitions(), true);
  rest_used_ += count;
  return rest_.data() + rest_used_ - count;
}

template <typename Index>
auto TableEpisodes<Index>::convert(std::size_t k) -> Record* {
  const std::uint64_t start = table_.episode_start(k);
  const std::uint64_t rows = table_.ends[k] - start;
  Record* const head = room(rows + 1);
  RecordWriter<Index, KeepInStore> writer(states_, actions_, KeepInStore{rejected_.get(), &rejected_count_});
  Record* out = head + 1;
  with_constant<RowRead::next_state, RowRead::own_state, RowRead::none>(reads_, [&](auto tag) {
    read_episode_rows(table_, k, block_.data(), [&](const RowPiece& piece) {
      writer.template add_piece<decltype(tag)::value>(piece, out);
      out += piece.view.rows;
    });
  });
  const std::uint64_t length = rows | (writer.take_rejected() ? rejected_bit : 0);
  std::memcpy(head, &length, sizeof length);
  ++converted_;
  transitions_ += rows;
  slots_.set(k, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(head)));
  return head;
}

TableEpisodeList table_episodes(const ColumnTable& table, std::uint64_t states, std::uint64_t actions,
                                RowRead reads, std::uint64_t picks) {
  if (fits_32_bits(states, actions, table.transitions())) {
    return TableEpisodeList(std::in_place_index<0>, table, states, actions, reads, picks);
  }
  return TableEpisodeList(std::in_place_index<1>, table, states, actions, reads, picks);
}

template <typename Index>
CompactEpisodes<Index> compact_episodes_as(EpisodeSource& source, std::uint64_t states, std::uint64_t actions,
                                           RowRead reads) {
  CompactBuilder<Index> builder(states, actions, reads, source.episodes(), source.transitions());
  // The rule's row as a constant, so the loop does not ask which rule it
  // builds for at every row.
  with_constant<RowRead::next_state, RowRead::own_state, RowRead::none>(reads, [&](auto tag) {
    source.read([&](const RowPiece& piece) {
      check_columns(piece.view, piece.position);
      builder.template add_piece<decltype(tag)::value>(piece);
    });
  });
  return std::move(builder).finish();
}

CompactEpisodeList compact_episodes(EpisodeSource& source, std::uint64_t states, std::uint64_t actions,
                                    RowRead reads) {
  if (fits_32_bits(states, actions, source.transitions())) {
    return compact_episodes_as<std::uint32_t>(source, states, actions, reads);
  }
  return compact_episodes_as<std::uint64_t>(source, states, actions, reads);
}

template <typename Index>
CompactEpisodes<Index> compact_episodes_as(std::span<const ArrayView> views, std::uint64_t states,
                                           std::uint64_t actions, RowRead reads,
                                           const std::function<void(std::size_t)>& built) {
  ViewSource source(views, built);
  return compact_episodes_as<Index>(source, states, actions, reads);
}

CompactEpisodeList compact_episodes(std::span<const ArrayView> views, std::uint64_t states,
                                    std::uint64_t actions, RowRead reads,
                                    const std::function<void(std::size_t)>& built) {
  ViewSource source(views, built);
  return compact_episodes(source, states, actions, reads);
}

template class CompactEpisodes<std::uint32_t>;
template class CompactEpisodes<std::uint64_t>;
template class TableEpisodes<std::uint32_t>;
template class TableEpisodes<std::uint64_t>;
template CompactEpisodes<std::uint32_t> compact_episodes_as(std::span<const ArrayView>, std::uint64_t,
                                                            std::uint64_t, RowRead,
                                                            const std::function<void(std::size_t)>&);
template CompactEpisodes<std::uint64_t> compact_episodes_as(std::span<const ArrayView>, std::uint64_t,
                                                            std::uint64_t, RowRead,
                                                            const std::function<void(std::size_t)>&);
template CompactEpisodes<std::uint32_t> compact_episodes_as(EpisodeSource&, std::uint64_t, std::uint64_t,
                                                            RowRead);
template CompactEpisodes<std::uint64_t> compact_episodes_as(EpisodeSource&, std::uint64_t, std::uint64_t,
                                                            RowRead);

}  // namespace tarnel
