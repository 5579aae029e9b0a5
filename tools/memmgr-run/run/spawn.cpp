// SPDX-License-Identifier: Apache-2.0
#include "run/spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>

namespace {

sigset_t inheritedMask;
sigset_t inheritedIgnored;  // the dispositions were SIG_IGN; all others SIG_DFL at exec

// The C library keeps two signals for itself (32 and 33): its sigaction and sigaddset refuse
// them, and its posix_spawn leaves them ignored in the new program unless they are in the set of
// signals to default. So they are looked at through the kernel, and their bits set directly.
bool IgnoredNow(int signal) {
  struct {
    void (*handler)(int);
    unsigned long rest[8];  // flags, restorer and mask, whatever this machine's layout
  } action{};
  return syscall(SYS_rt_sigaction, signal, nullptr, &action, sizeof(uint64_t)) == 0 &&
         action.handler == SIG_IGN;
}

constexpr int kBitsPerWord = 8 * sizeof(unsigned long);

void Add(sigset_t& set, int signal) {
  set.__val[(signal - 1) / kBitsPerWord] |= 1UL << ((signal - 1) % kBitsPerWord);
}

bool Has(sigset_t const& set, int signal) {
  return (set.__val[(signal - 1) / kBitsPerWord] >> ((signal - 1) % kBitsPerWord)) & 1;
}

// Sets an attribute, keeping the first error.
void Keep(int& error, int result) {
  if (error == 0) error = result;
}

}  // namespace

void SaveInheritedSignals() {
  sigprocmask(SIG_SETMASK, nullptr, &inheritedMask);
  sigemptyset(&inheritedIgnored);
  for (int signal = 1; signal < NSIG; ++signal)
    if (IgnoredNow(signal)) Add(inheritedIgnored, signal);
  std::signal(SIGCHLD, SIG_DFL);
}

pid_t Spawn(char* const argv[], char* const environment[], SpawnStreams const& streams) {
  // A process starts with each signal either ignored or at its default: those the caller did
  // not ignore go back to the default; those it ignored the tool ignores too at this moment
  // (exec keeps an ignored signal ignored), but for SIGCHLD, set back around the call.
  sigset_t toDefault;
  sigemptyset(&toDefault);
  for (int signal = 1; signal < NSIG; ++signal)
    if (!Has(inheritedIgnored, signal)) Add(toDefault, signal);
  // The attributes only fill in their structure: the C library's setters cannot fail.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setsigmask(&attributes, &inheritedMask);
  posix_spawnattr_setsigdefault(&attributes, &toDefault);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int error = 0;
  if (streams.nullStreams) {
    Keep(error, posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDWR, 0));
    Keep(error, posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO));
    Keep(error, posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDERR_FILENO));
  } else {
    // dup2 onto itself clears close-on-exec, which the tool's own descriptors all carry.
    if (streams.input >= 0)
      Keep(error, posix_spawn_file_actions_adddup2(&actions, streams.input, STDIN_FILENO));
    if (streams.output >= 0)
      Keep(error, posix_spawn_file_actions_adddup2(&actions, streams.output, STDOUT_FILENO));
  }
  bool const ignoreChildren = Has(inheritedIgnored, SIGCHLD);
  pid_t pid = -1;
  if (error == 0) {
    if (ignoreChildren) std::signal(SIGCHLD, SIG_IGN);
    error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv,
                         environment != nullptr ? environment : environ);
    if (ignoreChildren) std::signal(SIGCHLD, SIG_DFL);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  errno = error;
  return error == 0 ? pid : -1;
}

int WaitFor(pid_t pid) {
  int status = 0;
  pid_t got;
  while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  return got == pid ? status : -1;
}
