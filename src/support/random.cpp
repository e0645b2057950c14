// The generator: buffered ChaCha12 blocks with their reseed points, the
// per-thread instances and their reseeding after fork, and the bootstrap
// draw.
#include "support/random.h"

#include <pthread.h>

#include <atomic>
#include <cassert>
#include <mutex>
#include <new>
#include <optional>

namespace tarnel {

namespace {

ChaChaKey key_words(const Seed& seed) {
  ChaChaKey key;
  for (std::size_t i = 0; i < 8; ++i) {
    key[i] = static_cast<std::uint32_t>(seed[4 * i]) | static_cast<std::uint32_t>(seed[4 * i + 1]) << 8 |
             static_cast<std::uint32_t>(seed[4 * i + 2]) << 16 |
             static_cast<std::uint32_t>(seed[4 * i + 3]) << 24;
  }
  return key;
}

// Forks this process has gone through (counted in the child). A generator
// seeded before the last fork reseeds at its next refill, so a child never
// continues a stream its parent also continues.
std::atomic<std::uint64_t> fork_generation{0};

// The per-thread generator. Rng is trivially destructible, so this needs no
// thread-exit hook.
thread_local std::optional<Rng> this_thread_rng;

std::once_flag fork_handler_registered;

}  // namespace

Rng::Rng(const Seed& seed, bool reseed_from_os)
    : key_(key_words(seed)),
      fork_generation_(fork_generation.load(std::memory_order_relaxed)),
      reseed_from_os_(reseed_from_os) {
  if (reseed_from_os) {
    // Forks are counted from the first reseeding generator on; a process
    // without one has nothing to reseed.
    std::call_once(fork_handler_registered, [] {
      if (::pthread_atfork(nullptr, nullptr, &Rng::after_fork_in_child) != 0) throw std::bad_alloc();
    });
  }
}

void Rng::reseed() {
  // os_seed may fail; the state is left as it was, so the next draw comes
  // back here and tries again rather than running past the reseed point.
  const Seed seed = os_seed();
  key_ = key_words(seed);
  counter_ = 0;
  words_since_seed_ = 0;
  fork_generation_ = fork_generation.load(std::memory_order_relaxed);
}

void Rng::refill() {
  if (reseed_from_os_ && (words_since_seed_ == reseed_interval_words ||
                          fork_generation_ != fork_generation.load(std::memory_order_relaxed))) {
    reseed();
  }
  chacha_blocks(key_, counter_, rounds, buffer_.data());
  counter_ += chacha_lanes;
  words_since_seed_ += buffer_words;
  next_ = 0;
}

void Rng::after_fork_in_child() {
  fork_generation.fetch_add(1, std::memory_order_relaxed);
  if (this_thread_rng) this_thread_rng->next_ = buffer_words;
}

Rng& thread_rng() {
  if (!this_thread_rng) [[unlikely]] {
    this_thread_rng.emplace(os_seed(), true);
  }
  return *this_thread_rng;
}

std::uint64_t bootstrap_index(Rng& rng, std::uint64_t n) {
  assert(n > 0);
  // (0 - n) % n is 2^64 mod n computed in 64 bits.
  const std::uint64_t zone = ~std::uint64_t{0} - (std::uint64_t{0} - n) % n;
  for (;;) {
    const unsigned __int128 product = static_cast<unsigned __int128>(rng.next_u64()) * n;
    if (static_cast<std::uint64_t>(product) <= zone) return static_cast<std::uint64_t>(product >> 64);
  }
}

}  // namespace tarnel
