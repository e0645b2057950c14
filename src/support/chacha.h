// The ChaCha block function, with a 64-bit block counter (word 12 the low
// half) and a 64-bit nonce (words 14 and 15), for any even number of rounds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarnel {

using ChaChaKey = std::array<std::uint32_t, 8>;

// One block from a complete input state (constants, key, counter, nonce):
// the known-answer form.
void chacha_block(const std::array<std::uint32_t, 16>& input, int rounds,
                  std::array<std::uint32_t, 16>& output);

// Blocks per chacha_blocks call.
inline constexpr std::size_t chacha_lanes = 8;

// chacha_lanes consecutive blocks of the stream of `key` with nonce 0,
// starting at block `counter`, in stream order: 16 * chacha_lanes words.
void chacha_blocks(const ChaChaKey& key, std::uint64_t counter, int rounds, std::uint32_t* out);

// Both versions behind chacha_blocks, for the tests that hold them to the
// same words (the AVX2 one only where cpu::has_avx2()).
void chacha_blocks_baseline(const ChaChaKey& key, std::uint64_t counter, int rounds, std::uint32_t* out);
void chacha_blocks_avx2(const ChaChaKey& key, std::uint64_t counter, int rounds, std::uint32_t* out);

}  // namespace tarnel
