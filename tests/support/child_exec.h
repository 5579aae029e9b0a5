// Whether a test may start a child process from an executable built for this target (a probe
// program, or a copy of itself for GoogleTest's "threadsafe" death tests). Natively it always
// can; under a user-mode emulator only when the kernel hands foreign executables to it
// (binfmt_misc). Where it cannot, MEMMGR_SKIP_UNLESS_CHILD_EXEC() at the start of a test skips
// it with the reason. Death tests in the default "fast" style only fork and need no check.
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
    if (pid == 0) execve("/proc/self/exe", arguments, environment.data()), _exit(127);
    int status = 0;
    pid_t waited = -1;
    while (pid > 0 && (waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    return pid > 0 && waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
