// Console output and the two float renderings. Both renderings start from the
// shortest round-trip digits that std::to_chars gives in scientific form and
// lay them out by hand, so no locale, stream or exponent heuristic of the C
// library can change what a progress line or the learner's text form shows.
#include "support/console.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstddef>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace tarnel::console {
namespace {

// The shortest digits of a finite, non-negative double: value = 0.d1d2...dn
// shifted so that d1 sits at 10^exponent. 0 is the single digit "0" at 10^0.
struct Digits {
  char digits[24];  // at most 17 significant digits for a double
  int count = 0;
  int exponent = 0;
};

Digits shortest_digits(double magnitude) {
  // "d.ddde-XXX" is at most 1 + 1 + 16 + 1 + 1 + 3 = 23 characters.
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
  Digits d;
  const char* p = buffer;
  for (; p != result.ptr && *p != 'e'; ++p) {
    if (*p != '.') d.digits[d.count++] = *p;
  }
  // p is at 'e'; the exponent has an explicit sign and at least two digits.
  ++p;
  const bool negative = *p == '-';
  ++p;
  int exponent = 0;
  for (; p != result.ptr; ++p) exponent = exponent * 10 + (*p - '0');
  d.exponent = negative ? -exponent : exponent;
  return d;
}

// Handles the sign, NaN and the infinities common to both renderings; returns
// false when nothing is left to write, otherwise leaves the magnitude.
bool append_sign_or_special(std::string& out, double value, double& magnitude) {
  if (std::isnan(value)) {
    // Whatever its sign bit: 0.0/0.0 yields a NaN with the sign bit set on
    // x86-64, and "-NaN" would be noise in a progress line.
    out += "NaN";
    return false;
  }
  if (std::signbit(value)) out += '-';
  if (std::isinf(value)) {
    out += "inf";
    return false;
  }
  magnitude = std::fabs(value);
  return true;
}

// Lays the digits out as a plain decimal; returns whether a point was written.
bool append_plain(std::string& out, const Digits& d) {
  const int integral = d.exponent + 1;  // digits before the point
  if (integral <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-integral), '0');
    out.append(d.digits, static_cast<std::size_t>(d.count));
    return true;
  }
  if (integral >= d.count) {
    out.append(d.digits, static_cast<std::size_t>(d.count));
    out.append(static_cast<std::size_t>(integral - d.count), '0');
    return false;
  }
  out.append(d.digits, static_cast<std::size_t>(integral));
  out += '.';
  out.append(d.digits + integral, static_cast<std::size_t>(d.count - integral));
  return true;
}

// One lock for both descriptors, so a failure report never lands inside a
// progress line when standard error and standard output share a terminal.
std::mutex output_lock;

// Writes all of `text` to `fd`. Output must never fail training: a closed
// descriptor or a reader that went away loses the text and nothing else. With
// SIGPIPE at its default action a write to a broken pipe would kill the whole
// process, so the signal is blocked on this thread for the write and a SIGPIPE
// the write raised is taken back off the thread before unblocking. A
// descriptor some other process left non-blocking gets waited on rather than
// losing the rest of the line.
void write_all(int fd, std::string_view text) {
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  sigset_t previous;
  const bool masked = pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous) == 0;
  bool was_pending = false;
  if (masked) {
    sigset_t pending;
    if (sigpending(&pending) == 0) was_pending = sigismember(&pending, SIGPIPE) == 1;
  }

  bool broken_pipe = false;
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, p, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd ready{fd, POLLOUT, 0};
        if (::poll(&ready, 1, -1) >= 0 || errno == EINTR) continue;
      }
      broken_pipe = errno == EPIPE;
      break;
    }
    p += written;
    left -= static_cast<std::size_t>(written);
  }

  if (masked) {
    if (broken_pipe && !was_pending) {
      const timespec no_wait{};
      while (sigtimedwait(&pipe_signal, nullptr, &no_wait) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
}

}  // namespace

void append_number(std::string& out, double value) {
  double magnitude = 0.0;
  if (!append_sign_or_special(out, value, magnitude)) return;
  append_plain(out, shortest_digits(magnitude));
}

std::string format_number(double value) {
  std::string out;
  append_number(out, value);
  return out;
}

void append_text_float(std::string& out, double value) {
  double magnitude = 0.0;
  if (!append_sign_or_special(out, value, magnitude)) return;
  const Digits d = shortest_digits(magnitude);
  if (magnitude >= 1e16 || (magnitude != 0.0 && magnitude < 1e-4)) {
    out += d.digits[0];
    if (d.count > 1) {
      out += '.';
      out.append(d.digits + 1, static_cast<std::size_t>(d.count - 1));
    }
    out += 'e';
    char exponent[8];
    const auto result = std::to_chars(exponent, exponent + sizeof exponent, d.exponent);
    out.append(exponent, result.ptr);
    return;
  }
  if (!append_plain(out, d)) out += ".0";
}

std::string format_text_float(double value) {
  std::string out;
  append_text_float(out, value);
  return out;
}

void write_line(std::string_view line) {
  const std::lock_guard<std::mutex> hold(output_lock);
  write_all(STDOUT_FILENO, line);
}

void report_failure(std::string_view message) {
  std::string line;
  line.reserve(message.size() + 9);
  line += "tarnel: ";
  line += message;
  line += '\n';
  const std::lock_guard<std::mutex> hold(output_lock);
  write_all(STDERR_FILENO, line);
}

}  // namespace tarnel::console
