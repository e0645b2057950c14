// The entropy source and its fallback. Both readers retry on EINTR and report
// any other error as its errno value, so os_seed alone decides which errors
// move on to the fallback and which fail the call.
#include "support/entropy.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <system_error>

#include "support/failure.h"

namespace tarnel {

namespace {

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

}  // namespace

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

}  // namespace tarnel
