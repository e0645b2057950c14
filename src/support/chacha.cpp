// The ChaCha block function, one block at a time for the known answers and
// eight side by side for the generator.
#include "support/chacha.h"

#include <cassert>

#include "support/cpu.h"

namespace tarnel {

namespace {

constexpr std::array<std::uint32_t, 4> sigma = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

// The round functions are forced in line so that the baseline and the AVX2
// version of the block generator below each get them compiled for their own
// instruction set.
#define TARNEL_ROUND_INLINE __attribute__((always_inline)) inline

// One rotation in place for both a plain word and a vector of words (in place
// so that no vector is passed by value; the shift count is never 0 or 32).
template <typename Word>
TARNEL_ROUND_INLINE void rotate_left(Word& v, int n) {
  v = (v << n) | (v >> (32 - n));
}

// clang-format off: one line per step of the quarter round, as it is drawn.
template <typename Word>
TARNEL_ROUND_INLINE void quarter_round(Word& a, Word& b, Word& c, Word& d) {
  a += b; d ^= a; rotate_left(d, 16);
  c += d; b ^= c; rotate_left(b, 12);
  a += b; d ^= a; rotate_left(d, 8);
  c += d; b ^= c; rotate_left(b, 7);
}
// clang-format on

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

// Each vector lane holds one block: one AVX2 register per state word where
// the processor has it (about two and a half times the throughput), two SSE2
// registers otherwise.
using Lanes = std::uint32_t __attribute__((vector_size(4 * chacha_lanes)));

TARNEL_ROUND_INLINE void blocks_side_by_side(const ChaChaKey& key, std::uint64_t counter, int rounds,
                                             std::uint32_t* out) {
  std::array<Lanes, 16> input;
  for (std::size_t i = 0; i < 4; ++i) input[i] = Lanes{} + sigma[i];
  for (std::size_t i = 0; i < 8; ++i) input[4 + i] = Lanes{} + key[i];
  for (std::size_t j = 0; j < chacha_lanes; ++j) {
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
    for (std::size_t j = 0; j < chacha_lanes; ++j) out[j * 16 + i] = word[j];
  }
}

}  // namespace

void chacha_blocks_baseline(const ChaChaKey& key, std::uint64_t counter, int rounds, std::uint32_t* out) {
  blocks_side_by_side(key, counter, rounds, out);
}

TARNEL_TARGET_AVX2 void chacha_blocks_avx2(const ChaChaKey& key, std::uint64_t counter, int rounds,
                                           std::uint32_t* out) {
  blocks_side_by_side(key, counter, rounds, out);
}

// Chosen when the library is loaded (support/cpu.h).
const auto blocks_for_this_cpu = cpu::choose(chacha_blocks_baseline, chacha_blocks_avx2);

void chacha_block(const std::array<std::uint32_t, 16>& input, int rounds,
                  std::array<std::uint32_t, 16>& output) {
  assert(rounds >= 0 && rounds % 2 == 0);
  std::array<std::uint32_t, 16> x = input;
  double_rounds(x, rounds);
  for (std::size_t i = 0; i < 16; ++i) output[i] = x[i] + input[i];
}

void chacha_blocks(const ChaChaKey& key, std::uint64_t counter, int rounds, std::uint32_t* out) {
  blocks_for_this_cpu(key, counter, rounds, out);
}

}  // namespace tarnel
