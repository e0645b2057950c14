// The worker group of the parallel drivers: one plain thread per training,
// every one started before the first join, joined in start order, and each
// handing its result over through a slot of its own.
//
// Waiting for every worker is a property of the owner, not of the code paths
// that use it: the destructor joins whatever is still running, so a failed
// join, a refused thread creation or any other exception leaving the driver
// still waits for every started worker before the failure reaches the caller.
#pragma once

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "support/console.h"
#include "support/failure.h"

namespace tarnel {

// A worker's failure in one line: its message, then its notes.
std::string cause_of(const TrainingFailure& failure);

// One note per distinct cause, in the order of the first worker that gave
// it, naming the workers that gave it: "workers 0-7 (8 of 8): <cause>".
// causes[k] is worker k's, empty when worker k did not fail.
std::vector<std::string> worker_notes(const std::vector<std::string>& causes);

// The text of the failure of a whole call when a worker did not deliver its
// table. The worker's own failure was already reported on standard error when
// it happened; this text does not repeat it, but the failure carries each
// failed worker's cause as a note (workers.cpp).
inline constexpr const char* worker_join_failure = "joining a worker thread returned an error";

inline constexpr const char* worker_start_failure = "the operating system refused to start a worker thread";

template <typename Result>
class WorkerGroup {
 public:
  WorkerGroup() = default;
  WorkerGroup(const WorkerGroup&) = delete;
  WorkerGroup& operator=(const WorkerGroup&) = delete;

  ~WorkerGroup() { wait_for_all(); }

  // Starts one worker running `body` (a callable returning Result), which
  // the worker owns from now on. A refused thread creation fails the call;
  // the destructor then waits for the workers already started.
  template <typename Body>
  void start(Body body) {
    // The slot exists before its thread does, and at a fixed address, so a
    // running worker never sees it move when later slots are added.
    workers_.push_back(std::make_unique<Worker>());
    Worker& worker = *workers_.back();
    try {
      worker.thread = std::thread(run<Body>, &worker.slot, std::move(body));
    } catch (const std::system_error&) {
      fail(worker_start_failure);
    }
  }

  // Joins the workers in start order and takes each result out of its slot.
  // At the first worker without a result the failed join is reported at
  // once; the call fails once every worker has finished, carrying the
  // causes of all the workers that failed.
  std::vector<Result> join_in_order() {
    std::vector<Result> results;
    results.reserve(workers_.size());
    for (const auto& worker : workers_) {
      if (worker->thread.joinable()) {
        try {
          worker->thread.join();
        } catch (const std::system_error&) {
          fail(worker_join_failure);
        }
      }
      std::optional<Result> result;
      {
        std::lock_guard<std::mutex> hand_over(worker->slot.lock);
        result.swap(worker->slot.result);
      }
      if (!result) fail_join();
      results.push_back(std::move(*result));
    }
    return results;
  }

 private:
  struct Slot {
    std::mutex lock;
    std::optional<Result> result;  // empty while running, and for good after a failure
    std::string cause;             // why a failed worker delivered no result
  };

  struct Worker {
    Slot slot;
    std::thread thread;
  };

  // The thread's whole body: nothing may escape it, since an exception
  // leaving a thread ends the process. A training failure has reported its
  // own text already; anything else is reported here, or it would never be
  // seen.
  template <typename Body>
  static void run(Slot* slot, Body body) noexcept {
    std::string cause;
    try {
      Result result = body();
      std::lock_guard<std::mutex> hand_over(slot->lock);
      slot->result.emplace(std::move(result));
      return;
    } catch (const TrainingFailure& failure) {
      cause = cause_of(failure);
    } catch (const std::exception& e) {
      cause = std::string("a worker stopped: ") + e.what();
      report(cause);
    } catch (...) {
      cause = "a worker stopped on an unknown error";
      report(cause);
    }
    std::lock_guard<std::mutex> hand_over(slot->lock);
    slot->cause = std::move(cause);
  }

  // The failed join: reported when it is detected, thrown once every worker
  // has finished, with the causes of those that failed.
  [[noreturn]] void fail_join() {
    TrainingFailure failure = make_failure(worker_join_failure);
    wait_for_all();
    std::vector<std::string> causes;
    causes.reserve(workers_.size());
    for (const auto& worker : workers_) {
      std::lock_guard<std::mutex> hand_over(worker->slot.lock);
      causes.push_back(worker->slot.result ? std::string() : worker->slot.cause);
    }
    for (std::string& note : worker_notes(causes)) failure.add_note(std::move(note));
    throw failure;
  }

  static void report(const std::string& message) noexcept {
    try {
      console::report_failure(message);
    } catch (...) {
      // Nothing more can be done for a report that cannot even be written;
      // the empty slot still fails the call.
    }
  }

  // Joins every worker still running, in start order. Joining a started
  // thread from the thread that started it cannot fail unless the process is
  // already broken; std::thread then ends the process, which is the honest
  // outcome, since a worker left running would outlive what it works on.
  void wait_for_all() noexcept {
    for (const auto& worker : workers_) {
      if (worker->thread.joinable()) worker->thread.join();
    }
  }

  std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace tarnel
