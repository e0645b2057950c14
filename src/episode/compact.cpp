// Building the compact training form from episode arrays.
#include "episode/compact.h"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "support/console.h"

namespace tarnel {

template <typename Index>
struct CompactBuilder {
  using Record = CompactTransition<Index>;

  CompactEpisodes<Index> out;
  std::vector<RejectedTransition> rejected;
  bool episode_has_rejected = false;

  CompactBuilder(std::uint64_t states, std::uint64_t actions, RowRead reads, std::size_t episodes,
                 std::size_t transitions) {
    out.states_ = states;
    out.actions_ = actions;
    out.reads_ = reads;
    out.starts_.reserve(episodes + 1);
    out.records_.reserve(transitions);
  }

  // Row i of the array at `position`. The checks are the rule's own: the
  // entry written, then the row read. The backward rule reads only the
  // reward of an episode's last transition, so nothing else of it is
  // checked or kept.
  template <RowRead reads>
  void add(const RecordedRow& recorded, std::uint64_t position, std::uint64_t i, bool last) {
    const Transition t = transition_of(recorded);
    const std::uint64_t states = out.states_;
    Index row = Record::terminal;
    bool valid = t.state < states && t.action < out.actions_;
    if constexpr (reads == RowRead::next_state) {
      if (!t.done) {
        valid = valid && t.next_state < states;
        row = static_cast<Index>(t.next_state);
      }
    } else if constexpr (reads == RowRead::own_state) {
      if (!t.done) row = static_cast<Index>(t.state);
    } else {
      if (last) {
        out.records_.push_back({Index{0}, Record::terminal, t.reward});
        return;
      }
    }
    if (valid) [[likely]] {
      out.records_.push_back({static_cast<Index>(t.state + t.action * states), row, t.reward});
    } else {
      out.records_.push_back({Record::rejected, static_cast<Index>(rejected.size()), t.reward});
      rejected.push_back({t, position, i, recorded});
      episode_has_rejected = true;
    }
  }

  void end_episode() {
    out.starts_.push_back(out.records_.size() | (episode_has_rejected ? out.rejected_bit : 0));
    episode_has_rejected = false;
  }

  CompactEpisodes<Index> finish() && {
    out.rejected_ = std::make_shared<const std::vector<RejectedTransition>>(std::move(rejected));
    return std::move(out);
  }
};

namespace {

// Runs body(tag) with `reads` as a compile-time value (tag::value),
// so the builder's loop does not ask which rule it builds for at every row.
template <typename Body>
void with_row_read(RowRead reads, Body body) {
  switch (reads) {
    case RowRead::next_state: return body(std::integral_constant<RowRead, RowRead::next_state>{});
    case RowRead::own_state: return body(std::integral_constant<RowRead, RowRead::own_state>{});
    case RowRead::none: return body(std::integral_constant<RowRead, RowRead::none>{});
  }
}

std::uint64_t rows_in(std::span<const ArrayView> views) {
  std::uint64_t transitions = 0;
  for (const ArrayView& view : views) transitions += view.rows;
  return transitions;
}

}  // namespace

std::string location(const RejectedTransition& rejected) {
  const RecordedRow& r = rejected.recorded;
  std::string text =
      "episode " + std::to_string(rejected.episode) + " of data, row " + std::to_string(rejected.row) + ": ";
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

template <typename Index>
std::uint64_t CompactEpisodes<Index>::position(std::size_t k) const {
  if (!sample_) return k;
  const auto at = std::lower_bound(empty_positions_.begin(), empty_positions_.end(),
                                   std::pair<std::size_t, std::uint64_t>{k, 0});
  return at != empty_positions_.end() && at->first == k ? at->second : k;
}

template <typename Index>
CompactEpisodes<Index> CompactEpisodes<Index>::sharing(const CompactEpisodes& from, std::size_t episodes,
                                                       std::size_t transitions) {
  CompactEpisodes list;
  list.starts_.reserve(episodes + 1);
  list.records_.reserve(transitions);
  list.rejected_ = from.rejected_;
  list.sample_ = true;
  list.states_ = from.states_;
  list.actions_ = from.actions_;
  list.reads_ = from.reads_;
  return list;
}

template <typename Index>
void CompactEpisodes<Index>::append_copy(const CompactEpisodes& from, std::size_t k) {
  const CompactEpisode<Index> episode = from[k];
  if (episode.records.empty()) empty_positions_.emplace_back(size(), from.position(k));
  records_.insert(records_.end(), episode.records.begin(), episode.records.end());
  starts_.push_back(records_.size() | (episode.has_rejected ? rejected_bit : 0));
}

template <typename Index>
CompactEpisodes<Index> compact_episodes_as(std::span<const ArrayView> views, std::uint64_t states,
                                           std::uint64_t actions, RowRead reads,
                                           const std::function<void(std::size_t)>& built) {
  CompactBuilder<Index> builder(states, actions, reads, views.size(), rows_in(views));
  with_row_read(reads, [&](auto tag) {
    for (std::size_t k = 0; k < views.size(); ++k) {
      const ArrayView& view = views[k];
      check_columns(view, k);
      for (std::uint64_t i = 0; i < view.rows; ++i) {
        builder.template add<decltype(tag)::value>(recorded_row(view, i), k, i, i + 1 == view.rows);
      }
      builder.end_episode();
      if (built) built(k);
    }
  });
  return std::move(builder).finish();
}

CompactEpisodeList compact_episodes(std::span<const ArrayView> views, std::uint64_t states,
                                    std::uint64_t actions, RowRead reads,
                                    const std::function<void(std::size_t)>& built) {
  if (fits_32_bits(states, actions, rows_in(views))) {
    return compact_episodes_as<std::uint32_t>(views, states, actions, reads, built);
  }
  return compact_episodes_as<std::uint64_t>(views, states, actions, reads, built);
}

template class CompactEpisodes<std::uint32_t>;
template class CompactEpisodes<std::uint64_t>;
template CompactEpisodes<std::uint32_t> compact_episodes_as(std::span<const ArrayView>, std::uint64_t,
                                                            std::uint64_t, RowRead,
                                                            const std::function<void(std::size_t)>&);
template CompactEpisodes<std::uint64_t> compact_episodes_as(std::span<const ArrayView>, std::uint64_t,
                                                            std::uint64_t, RowRead,
                                                            const std::function<void(std::size_t)>&);

}  // namespace tarnel
