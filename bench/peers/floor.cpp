// The floor: every workload's driver and rule as one bare function, with the
// module's own generator (the per-thread ChaCha12 stream, the same uniform
// pick) and the module's own table sum compiled in line, the same order of
// floating-point operations, and nothing else: no index checks, no rule
// passed as a function, no progress output, one flat array of compact
// transitions. Its time is what the same arithmetic costs on this machine
// without the module's obligations, so tarnel's ratio to it says how much
// those obligations (and any slack) cost.
//
// The CMake target tarnel_floor (preset `bench`), loaded by
// bench/peers/floor.py through ctypes; the drivers take one pointer per
// episode array, read where the arrays lie, as tarnel reads them, plus N + 1
// row offsets, and convert them to their own layout inside the call, so the
// conversion is timed as tarnel's is. W9's drivers take a table's five
// columns instead and convert each episode the first time it is picked,
// with the picks drawn ahead (below).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <thread>
#include <type_traits>
#include <vector>

#include <sys/mman.h>

#include "support/random.h"
#include "support/record_allocator.h"
#include "support/table_sum.cpp"  // in line: the module's sum, the module's order

namespace {

using tarnel::Rng;
using tarnel::table_sum;

// W9's pick-ahead, in iterations before a pick's turn: the pick is drawn and
// its episode's bounds asked for (pick_distance); its bounds are read and
// the first cache lines of its records, or of its columns while it is not
// converted yet, asked for (records_distance); on a large table, the
// entries its transitions write and the rows they read are asked for
// (entries_distance). Each distance leaves the loads of the step before it
// time to arrive.
constexpr std::uint64_t pick_distance = 48;     // D
constexpr std::uint64_t records_distance = 16;  // P
constexpr std::uint64_t entries_distance = 4;   // Q
// The first lines of each stream asked for at records_distance; the
// hardware's own prefetcher follows a longer episode's stream from there.
constexpr std::uint64_t first_lines = 4;
// The transitions of an upcoming episode whose entries are asked for at
// entries_distance; while replaying an episode, the rules ask for those of
// the transition this many ahead, so that every transition's are asked for
// about as early, and no pick asks for more at once than the processor can
// keep in flight (a 100-row episode on 8 actions would be 900 lines).
constexpr std::uint64_t entries_rows = 16;

struct Input {
  const double* const* arrays;  // episode k's rows: arrays[k], C-contiguous (rows, 5)
  const std::int64_t* starts;   // episode k has starts[k + 1] - starts[k] rows
  std::uint64_t episodes;
  std::uint64_t states;
  std::uint64_t actions;
  double gamma;
  double alpha;
  std::uint64_t iterations;
  double quit_threshold;
  double* table;  // states * actions, column-major (workers tables for W4)
  double* trace;  // the printed values, in print order (may be null)
  std::uint64_t trace_capacity;
  const std::uint8_t* seed;  // null: the calling thread's generator
  std::uint64_t workers;
};

constexpr std::uint32_t terminal = 0xffffffffu;
constexpr std::uint64_t check_start = 50000;
constexpr std::uint64_t period = 25000;

// One transition in 16 bytes: the entry it writes (s + a * states), the row
// it reads (the next state for the forward rules, its own state for expected
// SARSA; `terminal` when done) and its reward. Row loops take the workload's
// action count as a compile-time constant (kActions; 0: read at run time).
struct Step {
  double reward;
  std::uint32_t entry;
  std::uint32_t row;
};

// The steps lie where the module keeps its records: sized without being
// zeroed first, and a large array aligned to and advised onto huge pages.
// On plain 4 KiB pages the floor would pay for page faults and TLB misses
// that the module does not, and its time would depend on what the process
// had freed before (a reused heap range keeps its small pages).
struct Episodes {
  std::vector<Step, tarnel::RecordAllocator<Step>> steps;
  std::vector<std::uint32_t> starts;
};

Episodes convert(const Input& in, bool own_row) {
  Episodes e;
  const std::uint64_t n = static_cast<std::uint64_t>(in.starts[in.episodes]);
  e.steps.resize(n);
  Step* out = e.steps.data();
  for (std::uint64_t j = 0; j < in.episodes; ++j) {
    const double* r = in.arrays[j];
    for (std::int64_t i = in.starts[j]; i < in.starts[j + 1]; ++i, r += 5, ++out) {
      const auto s = static_cast<std::uint32_t>(r[0]);
      const auto a = static_cast<std::uint32_t>(r[1]);
      const bool done = r[4] == 1.0;
      *out = {r[2], static_cast<std::uint32_t>(s + a * in.states),
              done      ? terminal
              : own_row ? s
                        : static_cast<std::uint32_t>(r[3])};
    }
  }
  e.starts.assign(in.starts, in.starts + in.episodes + 1);
  return e;
}

inline std::uint32_t pick(Rng& rng, std::uint32_t n) {
  const std::uint32_t z = (n << std::countl_zero(n)) - 1;
  for (;;) {
    const std::uint64_t product = std::uint64_t{rng.next_u32()} * n;
    if (static_cast<std::uint32_t>(product) <= z) return static_cast<std::uint32_t>(product >> 32);
  }
}

// The records of one iteration's episode, [first, second).
using Span = std::pair<const Step*, const Step*>;

// The drivers' picks from the episode arrays' records, one at a time.
struct ListPicks {
  const Episodes& e;
  Rng& rng;

  Span next() {
    const std::uint32_t j = pick(rng, static_cast<std::uint32_t>(e.starts.size() - 1));
    return {e.steps.data() + e.starts[j], e.steps.data() + e.starts[j + 1]};
  }
};

// --- W9: a table's columns, converted as picked, picks drawn ahead -------

struct Columns {
  const std::int32_t* state;
  const std::int8_t* action;
  const float* reward;
  const std::int32_t* next_state;
  const std::uint8_t* terminal;  // NumPy's bool: one byte, 0 or 1
};

// A table of at least this many entries is far: its entries are asked for
// ahead (and `learn` sums it in batches, as the module does from there).
constexpr std::uint64_t far_table = 16384;

inline void prefetch_lines(const void* from, std::uint64_t bytes) {
  constexpr std::uint64_t line = 64;
  const auto* p = static_cast<const char*>(from);
  const char* end = p + std::min(bytes, first_lines * line);
  for (; p < end; p += line) __builtin_prefetch(p);
  // The last byte's line, which the loop misses when the span starts late
  // in a line.
  if (bytes > 0) __builtin_prefetch(static_cast<const char*>(from) + std::min(bytes, first_lines * line) - 1);
}

// Asks for the table entry a transition writes and, unless `row` is
// `terminal`, every entry of the row it reads (the table is column-major:
// one line per action).
inline void ask_entries(const double* q, std::uint64_t states, std::uint64_t actions, std::uint32_t entry,
                        std::uint32_t row) {
  __builtin_prefetch(q + entry);
  if (row == terminal) return;
  for (std::uint64_t a = 0; a < actions; ++a) __builtin_prefetch(q + row + a * states);
}

// A table's episodes, each converted from the columns into the floor's
// records the first time a pick names it, and never again in the call: the
// records are appended in the order of first picks, so the memory written
// grows with the episodes converted, and where_[k] says where episode k's
// went (0: not converted yet).
class ConvertedAsPicked {
 public:
  ConvertedAsPicked(const Input& in, const Columns& c)
      : in_(in),
        c_(c),
        rows_(static_cast<std::uint64_t>(in.starts[in.episodes])),
        records_(allocator_.allocate(std::max<std::uint64_t>(rows_, 1))),
        where_(in.episodes, 0) {}
  ConvertedAsPicked(const ConvertedAsPicked&) = delete;
  ConvertedAsPicked& operator=(const ConvertedAsPicked&) = delete;
  ~ConvertedAsPicked() { allocator_.deallocate(records_, std::max<std::uint64_t>(rows_, 1)); }

  std::uint64_t begin(std::uint32_t k) const { return static_cast<std::uint64_t>(in_.starts[k]); }
  std::uint64_t end(std::uint32_t k) const { return static_cast<std::uint64_t>(in_.starts[k + 1]); }
  // Episode k's records, or null while it is not converted.
  const Step* converted(std::uint32_t k) const { return where_[k] == 0 ? nullptr : records_ + where_[k] - 1; }
  const std::uint32_t* where(std::uint32_t k) const { return &where_[k]; }

  // Episode k's records, rows [begin, end) of the columns, converted now if
  // they are not yet.
  const Step* records(std::uint32_t k, std::uint64_t begin, std::uint64_t end) {
    if (where_[k] == 0) {
      Step* out = records_ + size_;
      for (std::uint64_t r = begin; r < end; ++r, ++out) {
        const auto s = static_cast<std::uint32_t>(c_.state[r]);
        const auto a = static_cast<std::uint32_t>(c_.action[r]);
        *out = {static_cast<double>(c_.reward[r]), static_cast<std::uint32_t>(s + a * in_.states),
                c_.terminal[r] != 0 ? terminal : static_cast<std::uint32_t>(c_.next_state[r])};
      }
      where_[k] = static_cast<std::uint32_t>(size_ + 1);
      size_ += end - begin;
    }
    return records_ + where_[k] - 1;
  }

  const Columns& columns() const { return c_; }

 private:
  const Input& in_;
  Columns c_;
  std::uint64_t rows_;
  tarnel::RecordAllocator<Step> allocator_;
  Step* records_;
  std::uint64_t size_ = 0;
  // On huge pages, as the records: every pick looks up a random entry.
  std::vector<std::uint32_t, tarnel::RecordAllocator<std::uint32_t>> where_;
};

// The picks of a call on a table, drawn pick_distance iterations ahead in
// the order they are used (the generator's order, so the picks are the ones
// drawn one at a time), each upcoming episode's loads started in steps
// (the constants at the top of this file).
class PicksAhead {
 public:
  PicksAhead(const Input& in, ConvertedAsPicked& e, Rng& rng, bool reads_row)
      : in_(in),
        e_(e),
        rng_(rng),
        n_(static_cast<std::uint32_t>(in.episodes)),
        far_(in.states * in.actions >= far_table),
        reads_row_(reads_row) {
    for (std::uint64_t k = 0; k < pick_distance; ++k) draw(k);
    for (std::uint64_t k = 0; k < records_distance; ++k) bounds(k);
    if (far_) {
      for (std::uint64_t k = 0; k < entries_distance; ++k) entries(k);
    }
  }

  // Whether the table is far, so its entries are asked for ahead.
  bool far() const { return far_; }

  Span next() {
    const std::uint64_t i = next_++;
    const Slot now = ring_[i % pick_distance];
    draw(i + pick_distance);
    bounds(i + records_distance);
    if (far_) entries(i + entries_distance);
    const Step* records = e_.records(now.episode, now.begin, now.end);
    return {records, records + (now.end - now.begin)};
  }

 private:
  struct Slot {
    std::uint32_t episode;
    std::uint64_t begin;
    std::uint64_t end;
  };

  void draw(std::uint64_t k) {
    if (k >= in_.iterations) return;
    const std::uint32_t j = pick(rng_, n_);
    ring_[k % pick_distance].episode = j;
    __builtin_prefetch(in_.starts + j);
    __builtin_prefetch(in_.starts + j + 1);
    __builtin_prefetch(e_.where(j));
  }

  void bounds(std::uint64_t k) {
    if (k >= in_.iterations) return;
    Slot& s = ring_[k % pick_distance];
    s.begin = e_.begin(s.episode);
    s.end = e_.end(s.episode);
    const std::uint64_t n = s.end - s.begin;
    if (const Step* records = e_.converted(s.episode)) {
      prefetch_lines(records, n * sizeof(Step));
      return;
    }
    const Columns& c = e_.columns();
    prefetch_lines(c.state + s.begin, n * sizeof(*c.state));
    prefetch_lines(c.action + s.begin, n * sizeof(*c.action));
    prefetch_lines(c.reward + s.begin, n * sizeof(*c.reward));
    prefetch_lines(c.next_state + s.begin, n * sizeof(*c.next_state));
    prefetch_lines(c.terminal + s.begin, n * sizeof(*c.terminal));
  }

  // The table's entries the episode's first transitions write, and the
  // rows they read.
  void entries(std::uint64_t k) {
    if (k >= in_.iterations) return;
    const Slot& s = ring_[k % pick_distance];
    const std::uint64_t n = std::min(s.end - s.begin, entries_rows);
    if (const Step* records = e_.converted(s.episode)) {
      for (const Step *t = records, *end = records + n; t != end; ++t) {
        ask_entries(in_.table, in_.states, in_.actions, t->entry, reads_row_ ? t->row : terminal);
      }
      return;
    }
    const Columns& c = e_.columns();
    for (std::uint64_t r = s.begin; r < s.begin + n; ++r) {
      const auto entry = static_cast<std::uint32_t>(c.state[r]) +
                         static_cast<std::uint32_t>(c.action[r]) * static_cast<std::uint32_t>(in_.states);
      const bool row = reads_row_ && c.terminal[r] == 0;
      ask_entries(in_.table, in_.states, in_.actions, entry,
                  row ? static_cast<std::uint32_t>(c.next_state[r]) : terminal);
    }
  }

  const Input& in_;
  ConvertedAsPicked& e_;
  Rng& rng_;
  std::uint32_t n_;
  bool far_;
  bool reads_row_;
  std::uint64_t next_ = 0;
  Slot ring_[pick_distance];
};

struct Trace {
  double* out;
  std::uint64_t capacity;
  std::uint64_t size = 0;
  void put(double x) {
    if (out != nullptr && size < capacity) out[size] = x;
    ++size;
  }
};

template <typename Body>
std::uint64_t with_rng(const Input& in, Body body) {
  if (in.seed != nullptr) {
    tarnel::Seed seed;
    std::memcpy(seed.data(), in.seed, seed.size());
    Rng rng(seed, false);
    return body(rng);
  }
  return body(tarnel::thread_rng());
}

// kAhead (W9, a far table): each transition asks for the entries of the one
// entries_rows later.
template <std::uint64_t kActions, bool kAhead = false>
inline void forward(double* q, std::uint64_t states, std::uint64_t actions, double gamma, double alpha,
                    const Step* begin, const Step* end) {
  const std::uint64_t n = kActions > 0 ? kActions : actions;
  for (const Step* t = begin; t != end; ++t) {
    if constexpr (kAhead) {
      if (end - t > static_cast<std::ptrdiff_t>(entries_rows)) {
        ask_entries(q, states, n, t[entries_rows].entry, t[entries_rows].row);
      }
    }
    const double old = q[t->entry];
    double target = t->reward;
    if (t->row != terminal) {
      double m = std::numeric_limits<double>::lowest();
      const double* x = q + t->row;
      for (std::uint64_t a = 0; a < n; ++a, x += states) m = *x > m ? *x : m;
      target = t->reward + m * gamma;
    }
    q[t->entry] = (target - old) * alpha + old;
  }
}

template <std::uint64_t kActions>
inline void sarsa(double* q, std::uint64_t states, std::uint64_t actions, double gamma, double alpha,
                  const Step* begin, const Step* end) {
  const std::uint64_t n = kActions > 0 ? kActions : actions;
  for (const Step* t = begin; t != end; ++t) {
    const double old = q[t->entry];
    double target = t->reward;
    if (t->row != terminal) {
      double row = 0.0;
      const double* x = q + t->row;
      if (states == 1) {
        row = table_sum(x, n);
      } else {
        for (std::uint64_t a = 0; a < n; ++a, x += states) row += *x;
      }
      target = t->reward + (row / static_cast<double>(n)) * gamma;
    }
    q[t->entry] = (target - old) * alpha + old;
  }
}

template <bool kAhead = false>
inline void backward(double* q, double gamma, double alpha, const Step* begin, const Step* end) {
  const double keep = 1.0 - alpha;
  double g = (end - 1)->reward;
  for (const Step* t = end - 1; t-- != begin;) {
    if constexpr (kAhead) {
      if (t - begin >= static_cast<std::ptrdiff_t>(entries_rows))
        __builtin_prefetch(q + (t - entries_rows)->entry);
    }
    q[t->entry] = alpha * g + q[t->entry] * keep;
    g = g * gamma + t->reward;
  }
}

enum class Rule { forward, backward, sarsa };

template <Rule rule, std::uint64_t kActions, bool kAhead = false>
inline void apply(const Input& in, double* q, const Step* begin, const Step* end) {
  if constexpr (rule == Rule::forward)
    forward<kActions, kAhead>(q, in.states, in.actions, in.gamma, in.alpha, begin, end);
  if constexpr (rule == Rule::sarsa)
    sarsa<kActions>(q, in.states, in.actions, in.gamma, in.alpha, begin, end);
  if constexpr (rule == Rule::backward) backward<kAhead>(q, in.gamma, in.alpha, begin, end);
}

// Runs body(integral_constant<kActions>) for the workloads' action counts.
template <typename Body>
auto with_actions(std::uint64_t actions, Body body) {
  switch (actions) {
    case 4: return body(std::integral_constant<std::uint64_t, 4>{});
    case 6: return body(std::integral_constant<std::uint64_t, 6>{});
    case 8: return body(std::integral_constant<std::uint64_t, 8>{});
    case 20: return body(std::integral_constant<std::uint64_t, 20>{});
    default: return body(std::integral_constant<std::uint64_t, 0>{});
  }
}

template <Rule rule, std::uint64_t kActions, bool kAhead = false, typename Picks>
std::uint64_t learn(const Input& in, Picks& picks, double* q, Trace& trace) {
  const std::uint64_t entries = in.states * in.actions;
  std::memset(q, 0, entries * sizeof(double));
  std::vector<double> history(in.iterations);
  auto check = [&](std::uint64_t i) {
    const double recent = table_sum(history.data() + i - period, period) / static_cast<double>(period);
    const double older = table_sum(history.data() + i - 2 * period, period) / static_cast<double>(period);
    const double d = (recent - older) / older;
    trace.put(static_cast<double>(i));
    trace.put(history[i]);
    trace.put(d);
    return in.quit_threshold > std::abs(d);
  };
  if (entries < 16384) {
    for (std::uint64_t i = 0; i < in.iterations; ++i) {
      const auto [begin, end] = picks.next();
      apply<rule, kActions, kAhead>(in, q, begin, end);
      history[i] = table_sum(q, entries);
      if (i >= check_start && i % period == 0 && check(i)) break;
    }
    return trace.size;
  }
  // A large table: the sums of up to four iterations in one pass (the
  // module's own table_sums), from the entries saved before each iteration;
  // a batch ends at every check.
  struct Saved {
    std::uint32_t entry;
    std::uint32_t version;
    double value;
  };
  std::vector<Saved> saved;
  std::vector<tarnel::TablePatch> patches;
  for (std::uint64_t i = 0; i < in.iterations;) {
    std::uint64_t last = std::min(in.iterations - 1, i + tarnel::table_versions - 1);
    const std::uint64_t next_check = i <= check_start ? check_start : (i + period - 1) / period * period;
    last = std::min(last, next_check);
    std::uint32_t versions = 0;
    saved.clear();
    for (std::uint64_t k = i; k <= last; ++k, ++versions) {
      const auto [begin, end] = picks.next();
      const Step* written_end = rule == Rule::backward && end != begin ? end - 1 : end;
      for (const Step* t = begin; t != written_end; ++t) saved.push_back({t->entry, versions, q[t->entry]});
      apply<rule, kActions, kAhead>(in, q, begin, end);
    }
    std::sort(saved.begin(), saved.end(), [](const Saved& a, const Saved& b) {
      return a.entry != b.entry ? a.entry < b.entry : a.version < b.version;
    });
    patches.clear();
    for (std::size_t x = 0; x < saved.size();) {
      tarnel::TablePatch patch;
      patch.offset = saved[x].entry;
      std::size_t later = x;
      for (std::uint32_t t = 0; t < versions; ++t) {
        while (later < saved.size() && saved[later].entry == saved[x].entry && saved[later].version <= t)
          ++later;
        patch.value[t] = later < saved.size() && saved[later].entry == saved[x].entry ? saved[later].value
                                                                                      : q[saved[x].entry];
      }
      patches.push_back(patch);
      const std::uint32_t entry = saved[x].entry;
      while (x < saved.size() && saved[x].entry == entry) ++x;
    }
    tarnel::table_sums(q, entries, patches, versions, history.data() + i);
    for (std::uint32_t t = 0; t < versions; ++t, ++i) {
      if (i >= check_start && i % period == 0 && check(i)) return trace.size;
    }
  }
  return trace.size;
}

template <std::uint64_t kActions, bool kAhead = false, typename Picks>
std::uint64_t fast_learn(const Input& in, Picks& picks, double* q, Trace& trace) {
  const std::uint64_t entries = in.states * in.actions;
  std::memset(q, 0, entries * sizeof(double));
  double previous = 0.0;
  for (std::uint64_t i = 0; i < in.iterations; ++i) {
    const auto [begin, end] = picks.next();
    forward<kActions, kAhead>(q, in.states, in.actions, in.gamma, in.alpha, begin, end);
    if (i % period != 0) continue;
    const double sum = table_sum(q, entries);
    if (i >= check_start) {
      const double d = (sum - previous) / previous;
      trace.put(static_cast<double>(i));
      trace.put(sum);
      trace.put(d);
      if (in.quit_threshold > std::abs(d)) break;
    }
    previous = sum;
  }
  return trace.size;
}

// One thread per training, `train(table)`; the tables land in a (workers,
// states, actions) column-major stack.
template <typename Train>
std::uint64_t in_parallel(const Input& in, Train train) {
  const std::uint64_t entries = in.states * in.actions;
  const std::uint64_t depth = in.workers;
  std::vector<std::vector<double>> tables(depth, std::vector<double>(entries));
  std::vector<std::thread> threads;
  for (std::uint64_t k = 0; k < depth; ++k) threads.emplace_back([&, k] { train(tables[k].data()); });
  for (auto& t : threads) t.join();
  for (std::uint64_t k = 0; k < depth; ++k) {
    for (std::uint64_t i = 0; i < entries; ++i) in.table[k + depth * i] = tables[k][i];
  }
  return 0;
}

}  // namespace

extern "C" {

std::uint64_t floor_qlearn_forward(const Input* in) {
  const Episodes e = convert(*in, false);
  Trace trace{in->trace, in->trace_capacity};
  return with_rng(*in, [&](Rng& rng) {
    ListPicks picks{e, rng};
    return with_actions(in->actions,
                        [&](auto a) { return learn<Rule::forward, a()>(*in, picks, in->table, trace); });
  });
}

std::uint64_t floor_td_learn_backward(const Input* in) {
  const Episodes e = convert(*in, false);
  Trace trace{in->trace, in->trace_capacity};
  return with_rng(*in, [&](Rng& rng) {
    ListPicks picks{e, rng};
    return learn<Rule::backward, 0>(*in, picks, in->table, trace);
  });
}

std::uint64_t floor_expected_sarsa(const Input* in) {
  const Episodes e = convert(*in, true);
  Trace trace{in->trace, in->trace_capacity};
  return with_rng(*in, [&](Rng& rng) {
    ListPicks picks{e, rng};
    return with_actions(in->actions,
                        [&](auto a) { return learn<Rule::sarsa, a()>(*in, picks, in->table, trace); });
  });
}

std::uint64_t floor_fast_learn(const Input* in) {
  const Episodes e = convert(*in, false);
  Trace trace{in->trace, in->trace_capacity};
  return with_rng(*in, [&](Rng& rng) {
    ListPicks picks{e, rng};
    return with_actions(in->actions, [&](auto a) { return fast_learn<a()>(*in, picks, in->table, trace); });
  });
}

std::uint64_t floor_learn_until_convergence(const Input* in) {
  const Episodes e = convert(*in, false);
  Trace trace{in->trace, in->trace_capacity};
  return with_rng(*in, [&](Rng& rng) {
    return with_actions(in->actions, [&](auto a) {
      double* q = in->table;
      const std::uint64_t entries = in->states * in->actions;
      std::memset(q, 0, entries * sizeof(double));
      std::vector<double> previous(entries, 0.0);
      const auto n = static_cast<std::uint32_t>(in->episodes);
      for (std::uint64_t i = 0; i < in->iterations; ++i) {
        const std::uint32_t j = pick(rng, n);
        // The table one update earlier is read only at a checkpoint.
        const bool checkpoint = i % period == 0;
        if (checkpoint) std::memcpy(previous.data(), q, entries * sizeof(double));
        forward<a()>(q, in->states, in->actions, in->gamma, in->alpha, e.steps.data() + e.starts[j],
                     e.steps.data() + e.starts[j + 1]);
        if (!checkpoint) continue;
        double total = 0.0;
        bool same = true;
        for (std::uint64_t k = 0; k < entries; ++k) {
          const double diff = std::abs(q[k] - previous[k]);
          total += diff;
          same = same && diff <= 1e-8;
        }
        const double p = table_sum(previous.data(), entries);
        trace.put(static_cast<double>(i));
        trace.put(total / (static_cast<double>(in->states) * static_cast<double>(in->actions)));
        trace.put(p);
        trace.put(table_sum(q, entries) - p);
        if (same) break;
      }
      return trace.size;
    });
  });
}

std::uint64_t floor_double_q(const Input* in) {
  const Episodes e = convert(*in, false);
  Trace trace{in->trace, in->trace_capacity};
  return with_rng(*in, [&](Rng& rng) {
    return with_actions(in->actions, [&](auto a) {
      const std::uint64_t actions = a() > 0 ? a() : in->actions;
      const std::uint64_t entries = in->states * in->actions;
      const std::uint64_t states = in->states;
      double* q1 = in->table;
      std::memset(q1, 0, entries * sizeof(double));
      std::vector<double> second(entries, 0.0);
      double* q2 = second.data();
      const auto n = static_cast<std::uint32_t>(in->episodes);
      for (std::uint64_t i = 0; i < in->iterations; ++i) {
        const std::uint32_t j = pick(rng, n);
        const Step* end = e.steps.data() + e.starts[j + 1];
        for (const Step* t = e.steps.data() + e.starts[j]; t != end; ++t) {
          const bool first = (rng.next_u32() >> 31) == 0;
          double* u = first ? q1 : q2;
          const double* v = first ? q2 : q1;
          const double old = u[t->entry];
          double target = t->reward;
          if (t->row != terminal) {
            const double* row = u + t->row;
            std::uint64_t best = 0;
            for (std::uint64_t c = 1; c < actions; ++c) {
              if (row[c * states] > row[best * states]) best = c;
            }
            target = t->reward + v[t->row + best * states] * in->gamma;
          }
          u[t->entry] = (target - old) * in->alpha + old;
        }
        if (i % period == 0) {
          trace.put(static_cast<double>(i));
          trace.put(table_sum(q1, entries));
          trace.put(table_sum(q2, entries));
        }
      }
      for (std::uint64_t k = 0; k < entries; ++k) q1[k] = (q1[k] + q2[k]) / 2.0;
      return trace.size;
    });
  });
}

// W4: one thread per training, each with its own thread's generator.
std::uint64_t floor_qlearn_forward_parallel(const Input* in) {
  const Episodes e = convert(*in, false);
  return in_parallel(*in, [&](double* q) {
    Trace none{nullptr, 0};
    ListPicks picks{e, tarnel::thread_rng()};
    with_actions(in->actions, [&](auto a) { return learn<Rule::forward, a()>(*in, picks, q, none); });
  });
}

// W9: the same drivers on a table's columns (`columns`; in->starts holds the
// n + 1 row offsets of its episodes, in->arrays is unused), converted as
// picked, with the picks drawn ahead.
std::uint64_t floor_fast_learn_columns(const Input* in, const Columns* columns) {
  ConvertedAsPicked e(*in, *columns);
  Trace trace{in->trace, in->trace_capacity};
  return with_rng(*in, [&](Rng& rng) {
    PicksAhead picks(*in, e, rng, true);
    return with_actions(in->actions, [&](auto a) {
      return picks.far() ? fast_learn<a(), true>(*in, picks, in->table, trace)
                         : fast_learn<a(), false>(*in, picks, in->table, trace);
    });
  });
}

std::uint64_t floor_td_learn_backward_columns(const Input* in, const Columns* columns) {
  ConvertedAsPicked e(*in, *columns);
  Trace trace{in->trace, in->trace_capacity};
  return with_rng(*in, [&](Rng& rng) {
    PicksAhead picks(*in, e, rng, false);
    return picks.far() ? learn<Rule::backward, 0, true>(*in, picks, in->table, trace)
                       : learn<Rule::backward, 0, false>(*in, picks, in->table, trace);
  });
}

// Each worker converts the episodes it picks into records of its own: the
// workers share nothing but the columns.
std::uint64_t floor_qlearn_forward_parallel_columns(const Input* in, const Columns* columns) {
  return in_parallel(*in, [&](double* q) {
    Input own = *in;
    own.table = q;  // the table whose entries its picks ask for
    ConvertedAsPicked e(own, *columns);
    PicksAhead picks(own, e, tarnel::thread_rng(), true);
    Trace none{nullptr, 0};
    with_actions(in->actions, [&](auto a) {
      return picks.far() ? learn<Rule::forward, a(), true>(own, picks, q, none)
                         : learn<Rule::forward, a(), false>(own, picks, q, none);
    });
  });
}

// Fixed work whose time says how fast the host runs this core now: one
// dependent chain of floating-point operations, the same on every call,
// touching no memory (bench/timing.py times it beside every round).
double floor_reference(std::uint64_t iterations) {
  double x = 1.0;
  for (std::uint64_t i = 0; i < iterations; ++i) x = x * 1.0000001 + 1e-9;
  return x;
}

// How much parallel throughput the machine gives right now: the same
// dependent chain of floating-point work on `threads` threads at once. With
// two free cores, two threads take as long as one.
double floor_spin(std::uint64_t threads, std::uint64_t iterations) {
  std::vector<double> out(threads);
  std::vector<std::thread> pool;
  for (std::uint64_t k = 0; k < threads; ++k) {
    pool.emplace_back([&out, k, iterations] { out[k] = floor_reference(iterations); });
  }
  for (auto& t : pool) t.join();
  double total = 0.0;
  for (const double x : out) total += x;
  return total;
}

// W5: the conversion alone, from one pointer per C-contiguous (rows, 5)
// array into one flat array of transitions, as fast as this file knows how:
// no checks, no branches (the terminal mark is a mask, the indexes plain
// truncations), the array sized once, left uninitialised and advised onto
// huge pages as the module's is, and every record written once in place.
std::uint64_t floor_convert(const double* const* arrays, const std::uint64_t* rows, std::uint64_t count,
                            std::uint64_t states) {
  std::uint64_t total = 0;
  for (std::uint64_t k = 0; k < count; ++k) total += rows[k];
  constexpr std::size_t huge_page = std::size_t{2} << 20;
  const std::size_t bytes = std::max<std::size_t>(total * sizeof(Step), 1);
  auto* steps = static_cast<Step*>(::operator new(bytes, std::align_val_t{huge_page}));
  madvise(steps, (bytes + huge_page - 1) / huge_page * huge_page, MADV_HUGEPAGE);
  std::vector<std::uint64_t> starts(count + 1);
  const auto s32 = static_cast<std::uint32_t>(states);
  Step* out = steps;
  for (std::uint64_t k = 0; k < count; ++k) {
    const double* r = arrays[k];
    for (std::uint64_t i = 0; i < rows[k]; ++i, r += 5, ++out) {
      const auto s = static_cast<std::uint32_t>(static_cast<std::int64_t>(r[0]));
      const auto a = static_cast<std::uint32_t>(static_cast<std::int64_t>(r[1]));
      const auto next = static_cast<std::uint32_t>(static_cast<std::int64_t>(r[3]));
      const std::uint32_t done_mask = 0u - static_cast<std::uint32_t>(r[4] == 1.0);
      *out = {r[2], s + a * s32, next | done_mask};
    }
    starts[k + 1] = static_cast<std::uint64_t>(out - steps);
  }
  // The records are never read: keep their stores.
  asm volatile("" : : "r"(steps) : "memory");
  ::operator delete(steps, std::align_val_t{huge_page});
  return total + starts[count];
}

}  // extern "C"
