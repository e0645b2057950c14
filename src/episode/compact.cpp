// Building the compact training form, from episode arrays or plain episodes.
#include "episode/compact.h"

#include <utility>

namespace tarnel {

template <typename Index>
struct CompactBuilder {
  using Record = CompactTransition<Index>;

  std::uint64_t states;
  std::uint64_t actions;
  RowRead reads;
  CompactEpisodes<Index> out;
  std::vector<Transition> rejected;

  // The checks are the rules' own, in their order: the entry written, then
  // the row read. The backward rule reads only the reward of an episode's
  // last transition, so nothing else of it is checked or kept.
  void add(const Transition& t, bool last) {
    Index row = Record::terminal;
    bool valid = t.state < states && t.action < actions;
    switch (reads) {
      case RowRead::next_state:
        if (!t.done) {
          valid = valid && t.next_state < states;
          row = static_cast<Index>(t.next_state);
        }
        break;
      case RowRead::own_state:
        if (!t.done) row = static_cast<Index>(t.state);
        break;
      case RowRead::none:
        if (last) {
          out.records_.push_back({Index{0}, Record::terminal, t.reward});
          return;
        }
        break;
    }
    if (valid) [[likely]] {
      out.records_.push_back({static_cast<Index>(t.state + t.action * states), row, t.reward});
    } else {
      out.records_.push_back({Record::rejected, static_cast<Index>(rejected.size()), t.reward});
      rejected.push_back(t);
    }
  }

  void end_episode() { out.starts_.push_back(out.records_.size()); }

  CompactEpisodes<Index> finish() && {
    out.rejected_ = std::make_shared<const std::vector<Transition>>(std::move(rejected));
    return std::move(out);
  }
};

bool fits_32_bits(std::uint64_t states, std::uint64_t actions, std::uint64_t transitions) {
  // The largest value is kept for the marks, and every offset, row and
  // position in the rejected list must lie below it.
  constexpr std::uint64_t mark = std::numeric_limits<std::uint32_t>::max();
  if (transitions >= mark || states >= mark) return false;
  return actions == 0 || states < mark / actions;
}

template <typename Index>
void CompactEpisodes<Index>::reserve(std::size_t episodes, std::size_t transitions) {
  starts_.reserve(episodes + 1);
  records_.reserve(transitions);
}

template <typename Index>
void CompactEpisodes<Index>::append_copy(const CompactEpisodes& from, std::size_t k) {
  const auto episode = from[k];
  records_.insert(records_.end(), episode.begin(), episode.end());
  starts_.push_back(records_.size());
  rejected_ = from.rejected_;
}

template <typename Index>
CompactEpisodes<Index> compact_episodes(std::span<const ArrayView> views, std::uint64_t states,
                                        std::uint64_t actions, RowRead reads,
                                        const std::function<void(std::size_t)>& built) {
  std::uint64_t transitions = 0;
  for (const ArrayView& view : views) transitions += view.rows;
  CompactBuilder<Index> builder{states, actions, reads, {}, {}};
  builder.out.reserve(views.size(), transitions);
  for (std::size_t k = 0; k < views.size(); ++k) {
    const ArrayView& view = views[k];
    if (view.rows > 0) check_columns(view);
    for (std::uint64_t i = 0; i < view.rows; ++i) builder.add(transition_at(view, i), i + 1 == view.rows);
    builder.end_episode();
    if (built) built(k);
  }
  return std::move(builder).finish();
}

template <typename Index>
CompactEpisodes<Index> compact_episodes(const EpisodeList& episodes, std::uint64_t states,
                                        std::uint64_t actions, RowRead reads) {
  std::uint64_t transitions = 0;
  for (const Episode& episode : episodes) transitions += episode.transitions.size();
  CompactBuilder<Index> builder{states, actions, reads, {}, {}};
  builder.out.reserve(episodes.size(), transitions);
  for (const Episode& episode : episodes) {
    const std::size_t n = episode.transitions.size();
    for (std::size_t i = 0; i < n; ++i) builder.add(episode.transitions[i], i + 1 == n);
    builder.end_episode();
  }
  return std::move(builder).finish();
}

template class CompactEpisodes<std::uint32_t>;
template class CompactEpisodes<std::uint64_t>;
template CompactEpisodes<std::uint32_t> compact_episodes(std::span<const ArrayView>, std::uint64_t,
                                                         std::uint64_t, RowRead,
                                                         const std::function<void(std::size_t)>&);
template CompactEpisodes<std::uint64_t> compact_episodes(std::span<const ArrayView>, std::uint64_t,
                                                         std::uint64_t, RowRead,
                                                         const std::function<void(std::size_t)>&);
template CompactEpisodes<std::uint32_t> compact_episodes(const EpisodeList&, std::uint64_t, std::uint64_t,
                                                         RowRead);
template CompactEpisodes<std::uint64_t> compact_episodes(const EpisodeList&, std::uint64_t, std::uint64_t,
                                                         RowRead);

}  // namespace tarnel
