// The entropy source under injected faults. This executable is linked with
// the system calls os_seed makes (syscall, open, read, close) wrapped (see
// CMakeLists.txt), so each case scripts what getrandom and /dev/urandom do,
// call by call, and checks the seed or the failure report that follows:
// interruptions and short reads are retried and pieced together, a missing
// or filtered getrandom falls back to the device, a device at end of file or
// failing to read fails the call, and the device is closed on every path.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "check.h"
#include "support/entropy.h"
#include "support/failure.h"
#include "support/random.h"

namespace {

// One call's outcome: fail with `error`, or deliver up to `bytes` bytes (0:
// end of file).
struct Step {
  int error = 0;
  std::size_t bytes = 0;
};

Step fails(int error) { return {error, 0}; }
Step delivers(std::size_t bytes) { return {0, bytes}; }

// The script of the current case. The bytes delivered count up from 0x00
// for getrandom and from 0x80 for the device, so a seed shows where each of
// its bytes came from and in which order.
struct Script {
  bool active = false;
  std::deque<Step> getrandom, open, read;  // open: succeeds when empty
  std::uint8_t next_getrandom = 0x00, next_device = 0x80;
  int device = -1;           // the descriptor handed out for /dev/urandom
  bool device_as_0 = false;  // hand it out as descriptor 0 (the caller restores that)
  int opened = 0, closed = 0, getrandom_calls = 0;
  long getrandom_flags = 0;  // or'ed over the calls
};

Script script;

std::size_t deliver(std::uint8_t* out, std::size_t room, std::size_t bytes, std::uint8_t& next) {
  const std::size_t n = bytes < room ? bytes : room;
  for (std::size_t i = 0; i < n; ++i) out[i] = next++;
  return n;
}

}  // namespace

extern "C" {

long __real_syscall(long number, ...);
int __real_open(const char* path, int flags, ...);
ssize_t __real_read(int fd, void* buffer, std::size_t size);
int __real_close(int fd);

long __wrap_syscall(long number, ...) {
  va_list args;
  va_start(args, number);
  long a[6];
  for (long& x : a) x = va_arg(args, long);
  va_end(args);
  if (!script.active || number != SYS_getrandom)
    return __real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
  ++script.getrandom_calls;
  script.getrandom_flags |= a[2];
  if (script.getrandom.empty()) std::abort();  // the case did not expect this call
  const Step step = script.getrandom.front();
  script.getrandom.pop_front();
  if (step.error != 0) {
    errno = step.error;
    return -1;
  }
  auto* out = reinterpret_cast<std::uint8_t*>(a[0]);
  return static_cast<long>(deliver(out, static_cast<std::size_t>(a[1]), step.bytes, script.next_getrandom));
}

int __wrap_open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int mode = va_arg(args, int);
  va_end(args);
  if (!script.active || std::strcmp(path, "/dev/urandom") != 0) return __real_open(path, flags, mode);
  // Opening succeeds unless the case scripts it, or unless the device is
  // already open: a second descriptor would be leaked.
  Step step = delivers(1);
  if (script.device != -1) step = fails(EMFILE);
  if (!script.open.empty()) {
    step = script.open.front();
    script.open.pop_front();
  }
  if (step.error != 0) {
    errno = step.error;
    return -1;
  }
  ++script.opened;
  script.device = __real_open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (script.device_as_0) {
    ::dup2(script.device, 0);
    __real_close(script.device);
    script.device = 0;
  }
  return script.device;
}

ssize_t __wrap_read(int fd, void* buffer, std::size_t size) {
  if (!script.active || fd != script.device) return __real_read(fd, buffer, size);
  if (script.read.empty()) std::abort();
  const Step step = script.read.front();
  script.read.pop_front();
  if (step.error != 0) {
    errno = step.error;
    return -1;
  }
  return static_cast<ssize_t>(
      deliver(static_cast<std::uint8_t*>(buffer), size, step.bytes, script.next_device));
}

int __wrap_close(int fd) {
  if (script.active && fd == script.device) {
    ++script.closed;
    script.device = -1;
  }
  return __real_close(fd);
}

}  // extern "C"

namespace {

// What os_seed did under a script: its seed, or its failure with the report
// it wrote on standard error.
struct Outcome {
  tarnel::Seed seed{};
  bool failed = false;
  std::string message, err;
};

Outcome seed_under(Script s) {
  script = std::move(s);
  script.active = true;
  Outcome outcome;
  outcome.err = check::captured_error([&] {
    try {
      outcome.seed = tarnel::os_seed();
    } catch (const tarnel::TrainingFailure& failure) {
      outcome.failed = true;
      outcome.message = failure.what();
    }
  });
  script.active = false;
  return outcome;
}

// 32 bytes counting up from `first`.
tarnel::Seed counting(std::uint8_t first) {
  tarnel::Seed seed;
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(first + i);
  return seed;
}

void check_failure(const Outcome& outcome, const std::string& message) {
  CHECK(outcome.failed);
  CHECK_EQ(outcome.message, message);
  CHECK_EQ(outcome.err, "tarnel: " + message + "\n");
}

const std::string getrandom_failed = "cannot seed the random generator: getrandom failed: ";
const std::string device_failed =
    "cannot seed the random generator: getrandom is unavailable and /dev/urandom failed: ";

TEST(getrandom_retries_interruptions_and_pieces_short_reads_together) {
  Script s;
  s.getrandom = {fails(EINTR), delivers(5), fails(EINTR), delivers(20), delivers(100)};
  const Outcome outcome = seed_under(s);
  CHECK(!outcome.failed);
  CHECK(outcome.seed == counting(0x00));
  CHECK_EQ(script.getrandom_calls, 5);
  // No flags: the call waits for the kernel's pool to be ready rather than
  // failing early in boot (GRND_NONBLOCK) or drawing from the other pool.
  CHECK_EQ(script.getrandom_flags, 0);
  CHECK_EQ(script.opened, 0);  // the device is not touched
  CHECK_EQ(outcome.err, std::string());
}

TEST(a_missing_or_filtered_getrandom_falls_back_to_the_device) {
  for (int error : {ENOSYS, EPERM}) {
    std::fprintf(stderr, "  getrandom: %s\n", std::strerror(error));
    Script s;
    s.getrandom = {fails(error)};
    s.read = {delivers(32)};
    const Outcome outcome = seed_under(s);
    CHECK(!outcome.failed);
    CHECK(outcome.seed == counting(0x80));
    CHECK_EQ(script.getrandom_calls, 1);
    CHECK_EQ(script.opened, 1);
    CHECK_EQ(script.closed, 1);
    CHECK_EQ(outcome.err, std::string());
  }
}

// Bytes getrandom delivered before failing are overwritten by the device's.
TEST(a_getrandom_failing_part_way_falls_back_for_the_whole_seed) {
  Script s;
  s.getrandom = {delivers(7), fails(ENOSYS)};
  s.read = {delivers(32)};
  const Outcome outcome = seed_under(s);
  CHECK(!outcome.failed);
  CHECK(outcome.seed == counting(0x80));
}

TEST(other_getrandom_errors_fail_without_the_device) {
  for (int error : {EFAULT, EINVAL, EAGAIN}) {
    Script s;
    s.getrandom = {fails(error)};
    const Outcome outcome = seed_under(s);
    check_failure(outcome, getrandom_failed + std::strerror(error));
    CHECK_EQ(script.opened, 0);
  }
}

TEST(the_device_retries_interruptions_and_pieces_short_reads_together) {
  Script s;
  s.getrandom = {fails(ENOSYS)};
  s.open = {fails(EINTR), fails(EINTR), delivers(1)};
  s.read = {delivers(3), fails(EINTR), delivers(1), delivers(27), delivers(50)};
  const Outcome outcome = seed_under(s);
  CHECK(!outcome.failed);
  CHECK(outcome.seed == counting(0x80));
  CHECK(script.open.empty());
  CHECK(script.read.empty());
  CHECK_EQ(script.opened, 1);
  CHECK_EQ(script.closed, 1);
  CHECK_EQ(outcome.err, std::string());
}

// In a process whose standard input is closed the device opens as
// descriptor 0, which is a descriptor like any other, even with errno still
// saying EINTR from the attempt before.
TEST(a_device_opened_as_descriptor_0_is_read) {
  const int saved_stdin = ::dup(0);
  Script s;
  s.getrandom = {fails(ENOSYS)};
  s.open = {fails(EINTR)};
  s.read = {delivers(32)};
  s.device_as_0 = true;
  const Outcome outcome = seed_under(s);
  ::dup2(saved_stdin, 0);
  ::close(saved_stdin);
  CHECK(!outcome.failed);
  CHECK(outcome.seed == counting(0x80));
  CHECK_EQ(script.opened, 1);
  CHECK_EQ(script.closed, 1);
}

TEST(a_device_that_cannot_be_opened_fails_the_call) {
  Script s;
  s.getrandom = {fails(EPERM)};
  s.open = {fails(EACCES)};
  check_failure(seed_under(s), device_failed + std::strerror(EACCES));
  CHECK_EQ(script.opened, 0);
}

// A device at end of file, at once or part way, is no entropy source.
TEST(a_device_at_end_of_file_fails_the_call_and_is_closed) {
  for (std::size_t before : {0u, 12u}) {
    Script s;
    s.getrandom = {fails(ENOSYS)};
    s.read = {delivers(before), delivers(0)};
    if (before == 0) s.read.pop_front();
    check_failure(seed_under(s), device_failed + std::strerror(EIO));
    CHECK(script.read.empty());
    CHECK_EQ(script.closed, 1);
  }
}

TEST(a_device_read_error_fails_the_call_and_is_closed) {
  for (int error : {EIO, EBADF, EAGAIN}) {
    Script s;
    s.getrandom = {fails(ENOSYS)};
    s.read = {delivers(4), fails(error)};
    check_failure(seed_under(s), device_failed + std::strerror(error));
    CHECK(script.read.empty());
    CHECK_EQ(script.closed, 1);
  }
}

// With the entropy scripted, a reseeding generator's words after the reseed
// point are known: those of a generator seeded with the fresh bytes, from
// its first block on.
TEST(a_reseed_starts_the_fresh_key_stream_from_its_first_block) {
  tarnel::Rng reseeding(counting(0x40), true), fresh(counting(0x00), false);
  for (std::uint64_t i = 0; i < tarnel::Rng::reseed_interval_bytes / 4; ++i) reseeding.next_u32();
  Script s;
  s.getrandom = {delivers(32)};
  script = std::move(s);
  script.active = true;
  std::vector<std::uint32_t> after(300), expected(300);
  for (auto& w : after) w = reseeding.next_u32();
  script.active = false;
  for (auto& w : expected) w = fresh.next_u32();
  CHECK_EQ(script.getrandom_calls, 1);
  CHECK(after == expected);
}

// Without faults the real sources deliver, and two seeds differ.
TEST(the_real_sources_deliver) { CHECK(tarnel::os_seed() != tarnel::os_seed()); }

}  // namespace

CHECK_MAIN
