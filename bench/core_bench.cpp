// A microbenchmark of the core without Python: where an iteration of the
// sequential drivers spends its time. It times the whole driver and its
// parts separately (the pick alone, the pick and the rule, the table sum
// alone) on episodes shaped like the benchmark workloads, in the compact
// form the drivers train on (built once, outside the timings), so a profile
// (valgrind --tool=callgrind) or a timing can be taken of one part at a time.
//
// The CMake target core_bench of the `bench` preset, from the repository root:
//   cmake --preset bench && cmake --build --preset bench --target core_bench
//   build/bench/core_bench [workload] [part] [repeats] [pages]
//     workload: w1 (16x4, 2000 episodes of 5-40), w2 (500x6, 20000 of 50-150),
//               w3 (5000x20, 2000 of 5-40)
//     part:     all | learn | fast | pick | pick+rule | sum | sarsa | backward | double
//     pages:    huge (the default: the records where the module puts them) |
//               small (the process refuses transparent huge pages, so the
//               records lie on 4 KiB pages, as in a process or on a system
//               without them); it prints how much of the records' mapping
//               lies on huge pages
//   build/bench/core_bench convert [rows per array] [repeats] [rows in all]
//     the conversion alone (the three rows a rule reads), from views of one
//     row-major array of 20 million rows, in ns per row beside one plain
//     read of the same memory
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <sys/prctl.h>

#include "episode/pick.h"
#include "qlearning/qlearner.h"
#include "support/table_sum.h"

using namespace tarnel;

namespace {

struct Shape {
  std::uint64_t states, actions, episodes, shortest, longest, iterations;
};

Shape shape_of(const std::string& name) {
  if (name == "w2") return {500, 6, 20000, 50, 150, 200000};
  if (name == "w3") return {5000, 20, 2000, 5, 40, 20000};
  return {16, 4, 2000, 5, 40, 500000};
}

// Episode arrays of five float64 columns, row-major, as the module gets them.
std::vector<std::vector<double>> make_episodes(const Shape& s) {
  std::mt19937_64 gen(20240611);
  std::uniform_int_distribution<std::uint64_t> state(0, s.states - 1), action(0, s.actions - 1),
      length(s.shortest, s.longest);
  std::normal_distribution<double> reward(0.0, 1.0);
  std::vector<std::vector<double>> arrays(s.episodes);
  for (std::vector<double>& rows : arrays) {
    const std::uint64_t n = length(gen);
    std::uint64_t at = state(gen);
    for (std::uint64_t k = 0; k < n; ++k) {
      const std::uint64_t next = state(gen);
      const auto a = static_cast<double>(action(gen));
      rows.insert(rows.end(), {static_cast<double>(at), a, reward(gen), static_cast<double>(next),
                               k + 1 == n ? 1.0 : 0.0});
      at = next;
    }
  }
  return arrays;
}

std::vector<ArrayView> views_of(const std::vector<std::vector<double>>& arrays) {
  std::vector<ArrayView> views;
  for (const auto& rows : arrays) {
    views.push_back({reinterpret_cast<const std::byte*>(rows.data()), rows.size() / 5, 5, 40, 8});
  }
  return views;
}

template <typename Body>
double best_of(int repeats, Body body) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    body();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

volatile double sink;

// How much of the mapping that holds `p` lies on transparent huge pages, in
// KiB, and the mapping's size (/proc/self/smaps).
std::pair<std::uint64_t, std::uint64_t> huge_kib_at(const void* p) {
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  std::uint64_t size = 0;
  while (std::getline(smaps, line)) {
    unsigned long long from = 0, to = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx ", &from, &to) == 2 && line.find(':') > line.find(' ')) {
      inside = from <= at && at < to;
      size = (to - from) >> 10;
    } else if (inside && line.rfind("AnonHugePages:", 0) == 0) {
      return {std::strtoull(line.c_str() + 14, nullptr, 10), size};
    }
  }
  return {0, 0};
}

}  // namespace

// The conversion of `total` rows in views of `length` rows each, for a
// 500 x 6 table; every index inside it, one row in ten terminal.
int convert_bench(std::uint64_t length, int repeats, std::uint64_t total) {
  std::vector<double> rows(total * 5);
  std::mt19937_64 gen(20240611);
  for (std::uint64_t i = 0; i < total; ++i) {
    double* r = &rows[i * 5];
    r[0] = static_cast<double>(gen() % 500);
    r[1] = static_cast<double>(gen() % 6);
    r[2] = static_cast<double>(gen() % 2001) / 8.0 - 125.0;
    r[3] = static_cast<double>(gen() % 500);
    r[4] = gen() % 10 == 0 ? 1.0 : 0.0;
  }
  std::vector<ArrayView> views;
  for (std::uint64_t i = 0; i < total; i += length) {
    views.push_back(
        {reinterpret_cast<const std::byte*>(&rows[i * 5]), std::min(length, total - i), 5, 40, 8});
  }
  const double n = static_cast<double>(total);
  const double read = best_of(repeats, [&] {
    double a = 0.0, b = 0.0, c = 0.0, d = 0.0;
    for (std::size_t k = 0; k + 4 <= rows.size(); k += 4) {
      a += rows[k];
      b += rows[k + 1];
      c += rows[k + 2];
      d += rows[k + 3];
    }
    sink = a + b + c + d;
  });
  std::printf("read      %8.2f ns/row (one pass over the rows, the bandwidth anchor)\n", read / n * 1e9);
  const std::pair<const char*, RowRead> rules[] = {
      {"next", RowRead::next_state}, {"own", RowRead::own_state}, {"none", RowRead::none}};
  for (const auto& [name, reads] : rules) {
    const double seconds = best_of(repeats, [&] {
      sink = static_cast<double>(compact_episodes_as<std::uint32_t>(views, 500, 6, reads).transition_count());
    });
    std::printf("convert   %-5s %8.2f ns/row, %8.3f us per array of %llu rows\n", name, seconds / n * 1e9,
                seconds / static_cast<double>(views.size()) * 1e6, static_cast<unsigned long long>(length));
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "convert") {
    const std::uint64_t length = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
    const int repeats = argc > 3 ? std::atoi(argv[3]) : 5;
    return convert_bench(length, repeats, argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 20'000'000);
  }
  const std::string workload = argc > 1 ? argv[1] : "w1";
  const std::string part = argc > 2 ? argv[2] : "all";
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 5;
  const bool small_pages = argc > 4 && std::string(argv[4]) == "small";
  // Set before anything is allocated: the process then never gets a huge
  // page, whatever it advises.
  if (small_pages && prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0) {
    std::perror("prctl(PR_SET_THP_DISABLE)");
    return 1;
  }
  const Shape s = shape_of(workload);
  const std::vector<std::vector<double>> arrays = make_episodes(s);
  const std::vector<ArrayView> views = views_of(arrays);
  Qlearner learner;
  learner.q_shape = {s.states, s.actions};
  const CompactEpisodeList episodes = compact_episodes(views, s.states, s.actions, RowRead::next_state);
  const CompactEpisodeList own_rows = compact_episodes(views, s.states, s.actions, RowRead::own_state);
  const CompactEpisodeList no_rows = compact_episodes(views, s.states, s.actions, RowRead::none);
  const auto& narrow = std::get<CompactEpisodes<std::uint32_t>>(episodes);
  const auto [huge, mapped] = huge_kib_at(narrow[0].records.data());
  std::printf(
      "%-10s records: %.1f MiB, %llu of the %llu KiB mapped around them on huge pages (%s pages asked)\n",
      workload.c_str(),
      static_cast<double>(narrow.transition_count() * sizeof(narrow[0].records[0])) / (1 << 20),
      static_cast<unsigned long long>(huge), static_cast<unsigned long long>(mapped),
      small_pages ? "small" : "huge");
  learner.discount_factor = 0.9;
  learner.learning_rate = 0.1;
  learner.max_iterations = s.iterations;
  learner.quit_threshold = 0.0;
  Rng& rng = thread_rng();
  const double n = static_cast<double>(s.iterations);
  auto report = [&](const char* what, double seconds) {
    std::printf("%-10s %-10s %9.2f ms  %8.2f ns/iteration\n", workload.c_str(), what, seconds * 1e3,
                seconds / n * 1e9);
  };
  const bool all = part == "all";
  if (all || part == "learn") {
    report("learn", best_of(repeats, [&] {
             sink = learner.learn<Qlearner::learn_single_episode_forward_Q>(episodes, rng).values[0];
           }));
  }
  if (all || part == "fast") {
    report("fast", best_of(repeats, [&] { sink = learner.fast_learn(episodes, rng).values[0]; }));
  }
  if (all || part == "pick") {
    report("pick", best_of(repeats, [&] {
             std::uint64_t total = 0;
             for (std::uint64_t i = 0; i < s.iterations; ++i) {
               total += pick_episode(narrow, rng).records.size();
             }
             sink = static_cast<double>(total);
           }));
  }
  if (all || part == "pick+rule") {
    report("pick+rule", best_of(repeats, [&] {
             QTable q = zero_q_table(learner.q_shape);
             for (std::uint64_t i = 0; i < s.iterations; ++i) {
               forward_Q_pass(learner, q, pick_episode(narrow, rng));
             }
             sink = q.values[0];
           }));
  }
  if (all || part == "sum") {
    QTable q = zero_q_table(learner.q_shape);
    for (std::size_t k = 0; k < q.values.size(); ++k) q.values[k] = 1.0 / static_cast<double>(k + 1);
    report("sum", best_of(repeats, [&] {
             double total = 0.0;
             for (std::uint64_t i = 0; i < s.iterations; ++i) {
               q.values[i % q.values.size()] += 1e-9;  // the table changes between sums
               total += table_sum(q.values.data(), q.values.size());
             }
             sink = total;
           }));
  }
  if (all || part == "sarsa") {
    report("sarsa", best_of(repeats, [&] {
             sink = learner.learn<Qlearner::learn_single_episode_expected_sarsa>(own_rows, rng).values[0];
           }));
  }
  if (all || part == "backward") {
    report("backward", best_of(repeats, [&] {
             sink = learner.learn<Qlearner::learn_single_episode_backward_TD>(no_rows, rng).values[0];
           }));
  }
  if (all || part == "double") {
    report("double", best_of(repeats, [&] { sink = learner.double_q(episodes, rng).values[0]; }));
  }
  return 0;
}
