// Console formats against literal tables of the hard cases, the learner's text
// form, and whole-line output from concurrent threads.
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include "check.h"
#include "qlearning/qlearner.h"
#include "support/console.h"

namespace {

using tarnel::console::format_number;
using tarnel::console::format_text_float;

double from_bits(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// `head`, then `count` zeros, then `tail`.
std::string with_zeros(std::string_view head, std::size_t count, std::string_view tail = "") {
  std::string out(head);
  out.append(count, '0');
  out.append(tail);
  return out;
}

struct FormatCase {
  double value;
  std::string console;
  std::string text;
};

std::vector<FormatCase> format_cases() {
  const double inf = std::numeric_limits<double>::infinity();
  return {
      {0.0, "0", "0.0"},
      {-0.0, "-0", "-0.0"},
      {1.0, "1", "1.0"},
      {2.0, "2", "2.0"},
      {0.25, "0.25", "0.25"},
      {0.1, "0.1", "0.1"},
      {0.1 + 0.2, "0.30000000000000004", "0.30000000000000004"},
      {1e-7, "0.0000001", "1e-7"},
      {1.5e-5, "0.000015", "1.5e-5"},
      {-1e-5, "-0.00001", "-1e-5"},
      {1e21, with_zeros("1", 21), "1e21"},
      {1e22, with_zeros("1", 22), "1e22"},
      {123.5, "123.5", "123.5"},
      {-0.0004, "-0.0004", "-0.0004"},
      {1e15 + 0.3, "1000000000000000.2", "1000000000000000.2"},
      {123456789012345.0, "123456789012345", "123456789012345.0"},
      {9007199254740992.0, "9007199254740992", "9007199254740992.0"},  // 2^53
      // 2^63: shortest digits, not the exact integer 9223372036854775808.
      {9223372036854775808.0, "9223372036854776000", "9.223372036854776e18"},
      {1.7976931348623157e308, with_zeros("17976931348623157", 292), "1.7976931348623157e308"},
      {-1.7976931348623157e308, with_zeros("-17976931348623157", 292), "-1.7976931348623157e308"},
      {5e-324, with_zeros("0.", 323, "5"), "5e-324"},
      {2.2250738585072014e-308, with_zeros("0.", 307, "22250738585072014"), "2.2250738585072014e-308"},
      // The text form's switch to scientific, on both sides of each bound.
      {1e-4, "0.0001", "0.0001"},
      {std::nextafter(1e-4, 0.0), "0.00009999999999999999", "9.999999999999999e-5"},
      {1e16, with_zeros("1", 16), "1e16"},
      {std::nextafter(1e16, 0.0), "9999999999999998", "9999999999999998.0"},
      {from_bits(0x7ff8000000000000), "NaN", "NaN"},
      {from_bits(0xfff8000000000000), "NaN", "NaN"},  // what 0.0/0.0 gives on x86-64
      {inf, "inf", "inf"},
      {-inf, "-inf", "-inf"},
  };
}

TEST(number_formats_match_the_tables) {
  for (const FormatCase& c : format_cases()) {
    CHECK_EQ(format_number(c.value), c.console);
    CHECK_EQ(format_text_float(c.value), c.text);
  }
}

TEST(append_keeps_what_is_already_there) {
  std::string line = "Iteration: 50000, Qsum: ";
  tarnel::console::append_number(line, 123.5);
  line += ", d: ";
  tarnel::console::append_number(line, -0.0004);
  CHECK_EQ(line, std::string("Iteration: 50000, Qsum: 123.5, d: -0.0004"));
  std::string text = "x=";
  tarnel::console::append_text_float(text, 1e-5);
  CHECK_EQ(text, std::string("x=1e-5"));
}

TEST(learner_text_form) {
  struct Case {
    tarnel::Qlearner learner;
    std::string text;
  };
  const Case cases[] = {
      {{{16, 4}, 0.9, 0.1, 100000, 0.001, true},
       "Qlearner { q_shape: (16, 4), discount_factor: 0.9, learning_rate: 0.1, "
       "max_iterations: 100000, quit_threshold: 0.001, verbose: true }"},
      {{{16, 4}, 1.0, 0.1, 1000, 1e-5, false},
       "Qlearner { q_shape: (16, 4), discount_factor: 1.0, learning_rate: 0.1, "
       "max_iterations: 1000, quit_threshold: 1e-5, verbose: false }"},
      {{{0, 18446744073709551615u},
        -0.0,
        std::nan(""),
        18446744073709551615u,
        -std::numeric_limits<double>::infinity(),
        false},
       "Qlearner { q_shape: (0, 18446744073709551615), discount_factor: -0.0, learning_rate: NaN, "
       "max_iterations: 18446744073709551615, quit_threshold: -inf, verbose: false }"},
  };
  for (const Case& c : cases) CHECK_EQ(tarnel::to_string(c.learner), c.text);
}

// Puts `fd` in place of `target` for the lifetime of the object.
class Redirect {
 public:
  Redirect(int fd, int target) : target_(target), saved_(::dup(target)) { ::dup2(fd, target); }
  ~Redirect() { restore(); }
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, target_);
    ::close(saved_);
    saved_ = -1;
  }
  Redirect(const Redirect&) = delete;
  Redirect& operator=(const Redirect&) = delete;

 private:
  int target_;
  int saved_;
};

std::string read_all(int fd) {
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return data;
    data.append(buffer, static_cast<std::size_t>(n));
  }
}

// Line i of worker k: "k i " then a run of one letter, some runs longer than
// a pipe's atomic write size so the kernel may split them.
std::string worker_line(int k, int i) {
  const std::size_t length = static_cast<std::size_t>((i * 7919 + k * 104729) % 9000);
  return std::to_string(k) + " " + std::to_string(i) + " " +
         std::string(length, static_cast<char>('a' + (k + i) % 26)) + "\n";
}

TEST(concurrent_lines_stay_whole) {
  constexpr int workers = 4;
  constexpr int lines = 1500;
  int fds[2];
  CHECK(::pipe(fds) == 0);
  std::string received;
  {
    Redirect stdout_to_pipe(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
    std::thread reader([&] { received = read_all(fds[0]); });
    std::vector<std::thread> writers;
    for (int k = 0; k < workers; ++k) {
      writers.emplace_back([k] {
        for (int i = 0; i < lines; ++i) tarnel::console::write_line(worker_line(k, i));
      });
    }
    for (std::thread& t : writers) t.join();
    // Restoring fd 1 drops the last write end, so the reader sees the end.
    stdout_to_pipe.restore();
    reader.join();
  }
  ::close(fds[0]);

  // Every line is one worker's line, whole, and each worker's lines come in
  // its own order.
  int next[workers] = {};
  std::size_t start = 0;
  bool all_whole = true;
  while (start < received.size()) {
    const std::size_t end = received.find('\n', start);
    if (end == std::string::npos) {
      all_whole = false;
      break;
    }
    const std::string line = received.substr(start, end + 1 - start);
    const int k = line[0] - '0';
    if (k < 0 || k >= workers || next[k] >= lines || line != worker_line(k, next[k])) {
      all_whole = false;
      break;
    }
    ++next[k];
    start = end + 1;
  }
  CHECK(all_whole);
  for (int k = 0; k < workers; ++k) CHECK_EQ(next[k], lines);
}

TEST(lines_longer_than_the_pipe_survive_a_nonblocking_descriptor) {
  // On a non-blocking pipe a line larger than the pipe's buffer is taken in
  // pieces and the rest is refused until the reader catches up; the line must
  // still arrive whole.
  int fds[2];
  CHECK(::pipe(fds) == 0);
  ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  std::string sent;
  std::string received;
  {
    Redirect stdout_to_pipe(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
    std::thread reader([&] { received = read_all(fds[0]); });
    for (int i = 0; i < 6; ++i) {
      const std::string line = std::string(300000, static_cast<char>('a' + i)) + "\n";
      tarnel::console::write_line(line);
      sent += line;
    }
    stdout_to_pipe.restore();
    reader.join();
  }
  ::close(fds[0]);
  CHECK(received == sent);
  CHECK_EQ(received.size(), sent.size());
}

bool sigpipe_pending() {
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE) == 1;
}

TEST(output_errors_are_ignored) {
  // SIGPIPE keeps its default action here: a write to a pipe whose reader has
  // gone must neither kill the process nor leave the signal behind.
  std::signal(SIGPIPE, SIG_DFL);
  int fds[2];
  CHECK(::pipe(fds) == 0);
  ::close(fds[0]);
  {
    Redirect stdout_to_pipe(fds[1], STDOUT_FILENO);
    Redirect stderr_to_pipe(fds[1], STDERR_FILENO);
    tarnel::console::write_line("nobody reads this\n");
    tarnel::console::report_failure("nor this");
  }
  ::close(fds[1]);
  CHECK(!sigpipe_pending());

  // A closed descriptor.
  {
    Redirect stdout_closed(STDOUT_FILENO, STDOUT_FILENO);
    ::close(STDOUT_FILENO);
    tarnel::console::write_line("lost\n");
  }
}

// A SIGPIPE sent to a thread while its write is blocked belongs to whoever
// sent it: the write succeeds in the end, so nothing of the signal is the
// write's to take back, and it must arrive once the write unblocks it. Run in
// a child, whose signal handling the test may change; exit code 0 means it
// arrived (else the step that failed).
volatile std::sig_atomic_t sigpipes_seen = 0;

// Whether thread `tid` of this process is inside write(2) (system call 1 on
// x86-64; elsewhere the caller just waits).
bool blocked_in_write(pid_t tid) {
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[32] = {};
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  return n > 2 && std::string_view(text, 2) == "1 ";
}

int sigpipe_sent_during_a_blocked_write_child() {
  struct sigaction action{};
  action.sa_handler = [](int) { sigpipes_seen = sigpipes_seen + 1; };
  if (::sigaction(SIGPIPE, &action, nullptr) != 0) return 1;
  int fds[2];
  if (::pipe(fds) != 0) return 1;
  // Fill the pipe, so the next write blocks until the test reads.
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  const std::string chunk(4096, 'f');
  std::size_t filled = 0;
  for (ssize_t n; (n = ::write(fds[1], chunk.data(), chunk.size())) > 0;)
    filled += static_cast<std::size_t>(n);
  ::fcntl(fds[1], F_SETFL, 0);
  Redirect stdout_to_pipe(fds[1], STDOUT_FILENO);
  std::atomic<pid_t> writer_tid{0};
  const std::string line(1000, 'w');
  std::thread writer([&] {
    writer_tid = ::gettid();
    tarnel::console::write_line(line);
  });
  while (writer_tid == 0) std::this_thread::yield();
  bool seen_blocked = false;
  for (int wait = 0; wait < 1000 && !seen_blocked; ++wait) {
    seen_blocked = blocked_in_write(writer_tid);
    if (!seen_blocked) ::usleep(10000);
  }
  ::pthread_kill(writer.native_handle(), SIGPIPE);
  ::usleep(50000);
  if (seen_blocked && sigpipes_seen != 0) return 2;  // delivered although the write had it blocked
  std::string drained;
  char buffer[65536];
  while (drained.size() < filled + line.size()) {
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) return 3;
    drained.append(buffer, static_cast<std::size_t>(n));
  }
  writer.join();
  if (drained.substr(filled) != line) return 4;
  return sigpipes_seen == 1 ? 0 : 5;
}

TEST(a_sigpipe_sent_during_a_blocked_write_stays_pending) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(sigpipe_sent_during_a_blocked_write_child());
  int status = 0;
  CHECK_EQ(::waitpid(child, &status, 0), child);
  CHECK(WIFEXITED(status));
  CHECK_EQ(WEXITSTATUS(status), 0);  // else the step that failed
}

TEST(failure_report_goes_to_stderr) {
  int fds[2];
  CHECK(::pipe(fds) == 0);
  {
    Redirect stderr_to_pipe(fds[1], STDERR_FILENO);
    tarnel::console::report_failure("index 7 is outside the Q table");
  }
  ::close(fds[1]);
  CHECK_EQ(read_all(fds[0]), std::string("tarnel: index 7 is outside the Q table\n"));
  ::close(fds[0]);
}

}  // namespace

CHECK_MAIN
