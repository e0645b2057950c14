// The random source: the ChaCha block function, the buffered ChaCha12
// generator with its reseed points, the per-thread generators seeded from the
// operating system, and the two index draws built on them.
#include "support/random.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cassert>
#include <cerrno>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "support/failure.h"

namespace tarnel {

namespace {

constexpr std::array<std::uint32_t, 4> sigma = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

// The round functions are forced in line so that the baseline and the AVX2
// copy of the block generator below each get them compiled for their own
// instruction set.
#define TARNEL_ROUND_INLINE __attribute__((always_inline)) inline

// One rotation in place for both a plain word and a vector of words (in place
// so that no vector is passed by value; the shift count is never 0 or 32).
template <typename Word>
TARNEL_ROUND_INLINE void rotate_left(Word& v, int n) {
  v = (v << n) | (v >> (32 - n));
}

template <typename Word>
TARNEL_ROUND_INLINE void quarter_round(Word& a, Word& b, Word& c, Word& d) {
  a += b; d ^= a; rotate_left(d, 16);
  c += d; b ^= c; rotate_left(b, 12);
  a += b; d ^= a; rotate_left(d, 8);
  c += d; b ^= c; rotate_left(b, 7);
}

// The double rounds, written once for a single block (Word = uint32) and for
// several blocks side by side (Word = a vector with one block per lane).
template <typename Word>
TARNEL_ROUND_INLINE void double_rounds(std::array<Word, 16>& x, int rounds) {
  for (int i = 0; i < rounds; i += 2) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
}

constexpr std::size_t lanes = 8;

// Eight consecutive blocks of the stream (nonce 0) starting at block
// `counter`, in stream order. Each vector lane holds one block: one AVX2
// register per state word where the processor has it (about two and a half
// times the throughput), two SSE2 registers otherwise.
using Lanes = std::uint32_t __attribute__((vector_size(4 * lanes)));

TARNEL_ROUND_INLINE void chacha_lanes(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                                      int rounds, std::uint32_t* out) {
  std::array<Lanes, 16> input;
  for (std::size_t i = 0; i < 4; ++i) input[i] = Lanes{} + sigma[i];
  for (std::size_t i = 0; i < 8; ++i) input[4 + i] = Lanes{} + key[i];
  for (std::size_t j = 0; j < lanes; ++j) {
    const std::uint64_t block = counter + j;
    input[12][j] = static_cast<std::uint32_t>(block);
    input[13][j] = static_cast<std::uint32_t>(block >> 32);
  }
  input[14] = Lanes{};
  input[15] = Lanes{};
  std::array<Lanes, 16> x = input;
  double_rounds(x, rounds);
  for (std::size_t i = 0; i < 16; ++i) {
    const Lanes word = x[i] + input[i];
    for (std::size_t j = 0; j < lanes; ++j) out[j * 16 + i] = word[j];
  }
}

using BlocksFunction = void (*)(const std::array<std::uint32_t, 8>&, std::uint64_t, int, std::uint32_t*);

void chacha_blocks_baseline(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, int rounds,
                            std::uint32_t* out) {
  chacha_lanes(key, counter, rounds, out);
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void chacha_blocks_avx2(const std::array<std::uint32_t, 8>& key,
                                                        std::uint64_t counter, int rounds, std::uint32_t* out) {
  chacha_lanes(key, counter, rounds, out);
}

// Chosen on the first refill of the process. A plain pointer rather than an
// ifunc: ifunc resolvers run before the thread sanitizer's runtime is up and
// crash its builds.
BlocksFunction blocks_function() {
  static const BlocksFunction chosen = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? chacha_blocks_avx2 : chacha_blocks_baseline;
  }();
  return chosen;
}
#else
BlocksFunction blocks_function() { return chacha_blocks_baseline; }
#endif

std::array<std::uint32_t, 8> key_words(const Seed& seed) {
  std::array<std::uint32_t, 8> key;
  for (std::size_t i = 0; i < 8; ++i) {
    key[i] = static_cast<std::uint32_t>(seed[4 * i]) | static_cast<std::uint32_t>(seed[4 * i + 1]) << 8 |
             static_cast<std::uint32_t>(seed[4 * i + 2]) << 16 | static_cast<std::uint32_t>(seed[4 * i + 3]) << 24;
  }
  return key;
}

// Fills `out` from getrandom(2); 0 on success, else the errno value.
int read_getrandom(std::uint8_t* out, std::size_t size) {
#ifdef SYS_getrandom
  std::size_t filled = 0;
  while (filled < size) {
    const long got = ::syscall(SYS_getrandom, out + filled, size - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    filled += static_cast<std::size_t>(got);
  }
  return 0;
#else
  (void)out;
  (void)size;
  return ENOSYS;
#endif
}

// Fills `out` from /dev/urandom; 0 on success, else the errno value.
int read_urandom(std::uint8_t* out, std::size_t size) {
  int fd;
  do {
    fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  int error = 0;
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t got = ::read(fd, out + filled, size - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (got == 0) {  // a device that runs dry is no entropy source
      error = EIO;
      break;
    }
    filled += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return error;
}

std::string describe(int error) { return std::system_category().message(error); }

Seed os_seed() {
  Seed seed;
  const int error = read_getrandom(seed.data(), seed.size());
  if (error == 0) return seed;
  // A kernel without the call says ENOSYS; a sandbox that filters it out
  // typically says EPERM. Either way the device is still there to read.
  if (error != ENOSYS && error != EPERM) {
    fail("cannot seed the random generator: getrandom failed: " + describe(error));
  }
  const int fallback_error = read_urandom(seed.data(), seed.size());
  if (fallback_error != 0) {
    fail("cannot seed the random generator: getrandom is unavailable and /dev/urandom failed: " +
         describe(fallback_error));
  }
  return seed;
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

void chacha_block(const std::array<std::uint32_t, 16>& input, int rounds,
                  std::array<std::uint32_t, 16>& output) {
  assert(rounds >= 0 && rounds % 2 == 0);
  std::array<std::uint32_t, 16> x = input;
  double_rounds(x, rounds);
  for (std::size_t i = 0; i < 16; ++i) output[i] = x[i] + input[i];
}

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
  static_assert(buffer_words == lanes * 16);
  if (reseed_from_os_ && (words_since_seed_ == reseed_interval_words ||
                          fork_generation_ != fork_generation.load(std::memory_order_relaxed))) {
    reseed();
  }
  blocks_function()(key_, counter_, rounds, buffer_.data());
  counter_ += lanes;
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
