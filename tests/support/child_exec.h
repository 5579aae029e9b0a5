// Whether a test may start a child process from an executable built for this target: a probe
// program, or a copy of itself (GoogleTest's "threadsafe" death tests). Natively it always
// can. A cross-built test run under a user-mode emulator can only when the kernel hands
// foreign executables to the emulator (binfmt_misc); where it cannot, such a test skips with
// the reason instead of failing or passing without having run:
//
//   TEST(Area, RunsTheProbe) {
//     MEMMGR_SKIP_UNLESS_CHILD_EXEC();
//     ...fork and exec the probe...
//   }
//
// Death tests in GoogleTest's default "fast" style only fork, and need no such check.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace memmgr_test {

inline constexpr char kExecCheckVariable[] = "MEMMGR_TEST_EXEC_CHECK";

// The copy that CanExecChild starts leaves here, before main: it runs no test.
inline bool const execCheckCopy = [] {
  if (std::getenv(kExecCheckVariable) != nullptr) std::_Exit(0);
  return false;
}();

// Starts this executable again and reports whether it ran; the answer is kept.
inline bool CanExecChild() {
  static bool const canExec = [] {
    static_cast<void>(execCheckCopy);
    // Everything the child needs is built before the fork: it may not allocate.
    std::string const marker = std::string(kExecCheckVariable) + "=1";
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
    environment.push_back(const_cast<char*>(marker.c_str()));
    environment.push_back(nullptr);
    char name[] = "exec-check";
    char* arguments[] = {name, nullptr};
    pid_t const pid = fork();
    if (pid == 0) {
      execve("/proc/self/exe", arguments, environment.data());
      _exit(127);
    }
    if (pid < 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }();
  return canExec;
}

}  // namespace memmgr_test

#define MEMMGR_SKIP_UNLESS_CHILD_EXEC()                                                      \
  do {                                                                                       \
    if (!::memmgr_test::CanExecChild())                                                      \
      GTEST_SKIP() << "cannot start a child process from a target executable here: under a " \
                      "user-mode emulator this needs binfmt_misc registration (see "         \
                      "scripts/test_aarch64.sh)";                                            \
  } while (false)
