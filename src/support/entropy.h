// The operating system's entropy source, which seeds every per-thread
// generator: the getrandom system call, or /dev/urandom where the call is
// missing or filtered out.
#pragma once

#include <array>
#include <cstdint>

namespace tarnel {

using Seed = std::array<std::uint8_t, 32>;

// 32 fresh bytes. Fails with TrainingFailure, naming the cause, when neither
// source delivers them.
Seed os_seed();

}  // namespace tarnel
