// The causes of a parallel call's failed workers, as notes on its failure.
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "qlearning/worker_group.h"

namespace tarnel {

namespace {

// "0-2, 5, 7-9": the workers in runs of consecutive numbers.
std::string ranges(const std::vector<std::size_t>& workers) {
  std::string text;
  for (std::size_t i = 0; i < workers.size();) {
    std::size_t j = i;
    while (j + 1 < workers.size() && workers[j + 1] == workers[j] + 1) ++j;
    if (!text.empty()) text += ", ";
    text += std::to_string(workers[i]);
    if (j > i) {
      text += '-';
      text += std::to_string(workers[j]);
    }
    i = j + 1;
  }
  return text;
}

}  // namespace

std::string cause_of(const TrainingFailure& failure) {
  std::string cause = failure.what();
  for (const std::string& note : failure.notes()) cause += "; " + note;
  return cause;
}

std::vector<std::string> worker_notes(const std::vector<std::string>& causes) {
  std::vector<std::pair<std::string, std::vector<std::size_t>>> groups;
  for (std::size_t k = 0; k < causes.size(); ++k) {
    if (causes[k].empty()) continue;
    std::size_t g = 0;
    while (g < groups.size() && groups[g].first != causes[k]) ++g;
    if (g == groups.size()) groups.push_back({causes[k], {}});
    groups[g].second.push_back(k);
  }
  std::vector<std::string> notes;
  for (const auto& [cause, workers] : groups) {
    std::string note = workers.size() == 1 ? "worker " : "workers ";
    note += ranges(workers);
    note += " (" + std::to_string(workers.size()) + " of " + std::to_string(causes.size()) + "): ";
    note += cause;
    notes.push_back(std::move(note));
  }
  return notes;
}

}  // namespace tarnel
