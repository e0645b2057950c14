// The random source: a ChaCha stream generator with 12 rounds, one per
// thread, seeded from the operating system's entropy source and reseeded after
// every 65536 bytes of output and in a child process after fork. Callers cannot
// seed the per-thread generator; tests construct a seeded Rng directly. The
// index draws of the drivers are built on it.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "support/chacha.h"
#include "support/entropy.h"

namespace tarnel {

class Rng {
 public:
  static constexpr int rounds = 12;
  static constexpr std::uint64_t reseed_interval_bytes = 65536;

  // A generator over the ChaCha12 stream of `seed` (nonce 0, counter 0).
  // With `reseed_from_os` false it never reseeds (known-answer tests).
  explicit Rng(const Seed& seed, bool reseed_from_os = false);

  // Next 32-bit word of the stream.
  std::uint32_t next_u32();
  // Two consecutive words, the first as the low half.
  std::uint64_t next_u64();
  // Words that can be drawn before the next reseed, the only draw that can
  // fail: the words left from the last refill and those of the refills
  // before the reseed point. (A fork makes only the child's generator
  // reseed, and the child does not run the thread that forked.)
  std::uint64_t words_before_reseed() const {
    const std::uint64_t left = buffer_words - next_;
    if (!reseed_from_os_) return ~std::uint64_t{0};
    return left + (reseed_interval_words - words_since_seed_);
  }

 private:
  // Words per refill: eight blocks computed side by side. 16384 words (the
  // reseed interval) is a whole number of refills, so a reseed always falls
  // exactly on a refill boundary.
  static constexpr std::uint32_t buffer_words = 16 * chacha_lanes;
  static constexpr std::uint64_t reseed_interval_words = reseed_interval_bytes / 4;
  static_assert(reseed_interval_words % buffer_words == 0);

  void refill();
  void reseed();
  // The fork handler run in the child: the forking thread's generator must not
  // hand out another buffered word, since the parent holds the same ones.
  static void after_fork_in_child();

  std::array<std::uint32_t, buffer_words> buffer_{};
  std::uint32_t next_ = buffer_words;  // index of the next unused buffered word
  ChaChaKey key_{};
  std::uint64_t counter_ = 0;           // next block to compute
  std::uint64_t words_since_seed_ = 0;  // words handed to the buffer since the key was set
  std::uint64_t fork_generation_ = 0;   // forks seen by this process when last seeded
  bool reseed_from_os_ = false;
};

// The fast path stays in line and free of atomics: it only reads the buffer.
// Everything else (the next blocks, the reseed points, a fork) is decided in
// refill(), which fails with TrainingFailure when a reseeding generator cannot
// get a fresh key; the draw after that tries again.
inline std::uint32_t Rng::next_u32() {
  if (next_ >= buffer_words) [[unlikely]] {
    refill();
  }
  return buffer_[next_++];
}

inline std::uint64_t Rng::next_u64() {
  const std::uint64_t low = next_u32();
  return low | (static_cast<std::uint64_t>(next_u32()) << 32);
}

// The calling thread's generator, created (and seeded from the entropy
// source) on first use. Fails with TrainingFailure when the entropy source
// fails.
Rng& thread_rng();

// Uniform index in [0, n): for n < 2^32 a 32-bit draw v, the 64-bit product
// v*n, accepted when its low 32 bits are <= z = (n << clz32(n)) - 1, result
// the high 32 bits; for larger n the same with 64-bit draws and a 128-bit
// product. Precondition: n > 0. In line: every iteration of every driver
// picks an episode with it.
inline std::uint64_t uniform_index(Rng& rng, std::uint64_t n) {
  if (n < (std::uint64_t{1} << 32)) [[likely]] {
    const auto n32 = static_cast<std::uint32_t>(n);
    const std::uint32_t z = (n32 << std::countl_zero(n32)) - 1;
    for (;;) {
      const std::uint64_t product = std::uint64_t{rng.next_u32()} * n32;
      if (static_cast<std::uint32_t>(product) <= z) return product >> 32;
    }
  }
  const std::uint64_t z = (n << std::countl_zero(n)) - 1;
  for (;;) {
    const unsigned __int128 product = static_cast<unsigned __int128>(rng.next_u64()) * n;
    if (static_cast<std::uint64_t>(product) <= z) return static_cast<std::uint64_t>(product >> 64);
  }
}

// uniform_index from the words before the next reseed alone: the index,
// or n when they ran out before a draw was accepted. The draws it makes are consumed
// either way, and a call of uniform_index completes an unfinished one:
// each try is independent of the ones before it, so the words consumed and
// the index are those of one uniform_index. A driver drawing picks ahead
// draws them so, and leaves a draw that would refill (and might fail) to
// its turn.
inline std::uint64_t unfailing_uniform_index(Rng& rng, std::uint64_t n) {
  if (n < (std::uint64_t{1} << 32)) [[likely]] {
    const auto n32 = static_cast<std::uint32_t>(n);
    const std::uint32_t z = (n32 << std::countl_zero(n32)) - 1;
    while (rng.words_before_reseed() > 0) {
      const std::uint64_t product = std::uint64_t{rng.next_u32()} * n32;
      if (static_cast<std::uint32_t>(product) <= z) return product >> 32;
    }
    return n;
  }
  const std::uint64_t z = (n << std::countl_zero(n)) - 1;
  while (rng.words_before_reseed() > 1) {
    const unsigned __int128 product = static_cast<unsigned __int128>(rng.next_u64()) * n;
    if (static_cast<std::uint64_t>(product) <= z) return static_cast<std::uint64_t>(product >> 64);
  }
  return n;
}

// Bootstrap index in [0, n) by the zone method: zone = (2^64-1) - (2^64 mod n);
// a 64-bit draw v is accepted when the low half of v*n (128-bit) is <= zone;
// result the high half. Precondition: n > 0.
//
// Both methods give every index the same chance, but they reject different
// draws for the same n, so neither can stand in for the other: each keeps
// the stream of draws its driver has always consumed, which decides every
// later draw. The pick's threshold needs no division, which matters for a
// draw made every iteration; the zone costs one division, paid once per
// sampled episode.
std::uint64_t bootstrap_index(Rng& rng, std::uint64_t n);

}  // namespace tarnel
