// A minimal test harness for the core's C++ tests: TEST cases registered at
// static-initialisation time, CHECK macros that record failures and go on,
// and a main that runs the cases and exits non-zero on any failure.
//
// A test executable runs every case (as CTest does), or only those named on
// its command line, a case being selected by its exact name or by any part
// of it; --list prints the selected cases' names instead of running them:
//
//   build/cpp/tests/cpp/test_drivers fast_learn_checkpoints
//   build/cpp/tests/cpp/test_drivers checkpoints double_q
//   build/cpp/tests/cpp/test_drivers --list
//
// A name that selects no case is an error (exit status 2), so a mistyped
// name never passes as an empty run.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

namespace check {

struct Case {
  const char* name;
  std::function<void()> body;
};

inline std::vector<Case>& cases() {
  static std::vector<Case> all;
  return all;
}

inline int& failures() {
  static int count = 0;
  return count;
}

struct Register {
  Register(const char* name, std::function<void()> body) { cases().push_back({name, std::move(body)}); }
};

template <typename T>
std::string show(const T& value) {
  std::ostringstream out;
  if constexpr (std::is_same_v<T, double>) {
    out.precision(17);
  }
  out << value;
  return out.str();
}

inline void report(const char* file, int line, const std::string& what) {
  ++failures();
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
}

// Bitwise equality of doubles, so NaN == NaN and -0.0 != 0.0.
inline bool same_bits(double a, double b) {
  std::uint64_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

// Runs `body` with file descriptor `fd` redirected to a temporary file and
// returns what it wrote there, as a reader of the descriptor would see it
// (the module writes its lines and failure reports straight to the
// descriptors, not through stdio). The descriptor is restored however `body`
// ends.
inline std::string captured(int fd, const std::function<void()>& body) {
  std::fflush(stdout);
  std::fflush(stderr);
  char path[] = "/tmp/tarnel-test-XXXXXX";
  const int file = mkstemp(path);
  if (file < 0) std::abort();
  unlink(path);
  struct Redirect {
    int fd;
    int saved;
    Redirect(int f, int target) : fd(target), saved(dup(target)) { dup2(f, target); }
    ~Redirect() {
      dup2(saved, fd);
      close(saved);
    }
  };
  {
    const Redirect redirect(file, fd);
    body();
  }
  std::string out;
  lseek(file, 0, SEEK_SET);
  char buffer[4096];
  ssize_t n;
  while ((n = read(file, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  close(file);
  return out;
}

// What `body` wrote on standard output.
inline std::string captured_output(const std::function<void()>& body) { return captured(1, body); }

// What `body` wrote on standard error: the failure reports a test provokes,
// which it checks rather than leaves in the test log.
inline std::string captured_error(const std::function<void()>& body) { return captured(2, body); }

}  // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)
#define TEST(name)                                                         \
  static void name();                                                      \
  static const check::Register CHECK_CONCAT(register_, name)(#name, name); \
  static void name()

#define CHECK(cond)                                        \
  do {                                                     \
    if (!(cond)) check::report(__FILE__, __LINE__, #cond); \
  } while (0)

#define CHECK_EQ(a, b)                                                                                  \
  do {                                                                                                  \
    const auto& check_a = (a);                                                                          \
    const auto& check_b = (b);                                                                          \
    if (!(check_a == check_b))                                                                          \
      check::report(                                                                                    \
          __FILE__, __LINE__,                                                                           \
          std::string(#a " == " #b " (") + check::show(check_a) + " vs " + check::show(check_b) + ")"); \
  } while (0)

#define CHECK_BITS(a, b)                                                                    \
  do {                                                                                      \
    const double check_a = (a);                                                             \
    const double check_b = (b);                                                             \
    if (!check::same_bits(check_a, check_b))                                                \
      check::report(__FILE__, __LINE__,                                                     \
                    std::string(#a " bitwise== " #b " (") + check::show(check_a) + " vs " + \
                        check::show(check_b) + ")");                                        \
  } while (0)

// Runs `statement` and checks that it throws `Exception`.
#define CHECK_THROWS(Exception, statement)                                                       \
  do {                                                                                           \
    bool check_threw = false;                                                                    \
    try {                                                                                        \
      statement;                                                                                 \
    } catch (const Exception&) {                                                                 \
      check_threw = true;                                                                        \
    }                                                                                            \
    if (!check_threw) check::report(__FILE__, __LINE__, "expected " #Exception ": " #statement); \
  } while (0)

// Runs the selected cases with their standard error captured: the failure
// reports a case provokes on purpose (the module writes them the moment a
// failure happens, "tarnel: ..." lines) stay out of the log of a passing
// run, and a failing case's whole standard error, its check failures
// included, is replayed before its FAIL line. A case that crashes takes its
// captured output with it: CHECK_SHOW_STDERR=1 in the environment leaves
// standard error alone. Cases check the reports they expect with
// captured_error. `file` and `line` place the report of a case that throws
// at the test's CHECK_MAIN.
namespace check {

inline bool selects(const std::vector<std::string>& names, const char* name) {
  if (names.empty()) return true;
  for (const std::string& wanted : names) {
    if (std::strstr(name, wanted.c_str()) != nullptr) return true;
  }
  return false;
}

inline int run(int argc, char** argv, const char* file, int line) {
  bool list = false;
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--list") {
      list = true;
    } else if (argument.size() > 1 && argument[0] == '-') {
      std::fprintf(stderr, "%s: unknown option %s (usage: %s [--list] [NAME...])\n", argv[0], argv[i],
                   argv[0]);
      return 2;
    } else {
      names.push_back(argument);
    }
  }
  for (const std::string& wanted : names) {
    bool found = false;
    for (const Case& c : cases()) found = found || selects({wanted}, c.name);
    if (!found) {
      std::fprintf(stderr, "%s: no case matches '%s'\n", argv[0], wanted.c_str());
      return 2;
    }
  }
  for (const Case& c : cases()) {
    if (!selects(names, c.name)) continue;
    if (list) {
      std::printf("%s\n", c.name);
      continue;
    }
    const int before = failures();
    const auto body = [&] {
      try {
        c.body();
      } catch (const std::exception& e) {
        report(file, line, std::string(c.name) + " threw: " + e.what());
      }
    };
    std::string err;
    if (std::getenv("CHECK_SHOW_STDERR")) {
      body();
    } else {
      err = captured_error(body);
    }
    const bool passed = failures() == before;
    if (!passed) std::fputs(err.c_str(), stderr);
    std::fprintf(stderr, "%s %s\n", passed ? "ok  " : "FAIL", c.name);
  }
  return failures() == 0 ? 0 : 1;
}

}  // namespace check

#define CHECK_MAIN \
  int main(int argc, char** argv) { return check::run(argc, argv, __FILE__, __LINE__); }
