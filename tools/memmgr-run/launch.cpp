#include "launch.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <string_view>

namespace {

int64_t MonotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// The program's environment: the caller's, with the preload and the companion's settings in
// front. VOQ_MAXIMUM_MEMORY is left out, since the library would take it as a limit the
// companion could then not set.
std::vector<std::string> ChildEnvironment(Options const& options, Preload const& preload,
                                          int channel) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view const name(*entry, std::string_view(*entry).find('='));
    if (name != "LD_PRELOAD" && name != "VOQ_MAXIMUM_MEMORY" && name != MEMMGR_RUN_SETTINGS &&
        name != MEMMGR_RUN_PRELOAD)
      environment.emplace_back(*entry);
  }
  std::string preloads = preload.companion + ":" + preload.library;
  if (char const* const user = std::getenv("LD_PRELOAD")) {
    if (*user != '\0') preloads += std::string(":") + user;
    environment.push_back(std::string(MEMMGR_RUN_PRELOAD "=") + user);
  }
  environment.push_back("LD_PRELOAD=" + preloads);
  environment.push_back(std::string(MEMMGR_RUN_SETTINGS "=") + std::to_string(channel) + " " +
                        std::to_string(options.limit.value_or(-1)) + " " +
                        std::to_string(options.pressure.value_or(-1)) + " " +
                        std::to_string(int64_t{options.intervalMs} * 1000));
  return environment;
}

void Drain(int channel, std::vector<RunRecord>& records) {
  for (;;) {
    RunRecord record;
    ssize_t const received = recv(channel, &record, sizeof record, MSG_DONTWAIT);
    if (received == static_cast<ssize_t>(sizeof record)) {
      records.push_back(record);
    } else if (received <= 0 && errno != EINTR) {
      return;
    }
  }
}

// A descriptor that becomes readable when the child ends; -1 on kernels without pidfd.
int WatchExit(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

bool HasExited(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

}  // namespace

std::optional<std::string> FindPreload(Preload& preload) {
  void* const self = dlopen("liblib_memmgr.so", RTLD_LAZY | RTLD_NOLOAD);
  link_map* map = nullptr;
  if (self == nullptr || dlinfo(self, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr)
    return "cannot tell where liblib_memmgr.so was loaded from";
  char* const real = realpath(map->l_name, nullptr);
  dlclose(self);
  if (real == nullptr) return "cannot resolve the path of liblib_memmgr.so";
  preload.library = real;
  std::free(real);
  preload.companion =
      preload.library.substr(0, preload.library.rfind('/') + 1) + MEMMGR_RUN_COMPANION;
  if (access(preload.companion.c_str(), R_OK) != 0)
    return "the companion " + preload.companion + " is missing";
  // The loader splits LD_PRELOAD at both.
  if ((preload.library + preload.companion).find_first_of(": ") != std::string::npos)
    return "cannot preload from " + preload.library + ": the path holds a space or a colon";
  return std::nullopt;
}

RunOutcome RunUnderBudget(Options const& options, Preload const& preload) {
  RunOutcome run;
  int channel[2], execStatus[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) {
    run.execError = errno;
    return run;
  }
  if (pipe2(execStatus, O_CLOEXEC) != 0) {
    run.execError = errno;
    close(channel[0]);
    close(channel[1]);
    return run;
  }
  std::vector<std::string> const environment = ChildEnvironment(options, preload, channel[1]);
  std::vector<char*> envp;
  for (auto const& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  run.start = MonotonicNow();
  pid_t const pid = fork();
  if (pid == 0) {
    fcntl(channel[1], F_SETFD, 0);  // the one descriptor of ours the program inherits
    execvpe(options.program[0], options.program, envp.data());
    int const error = errno;
    (void)!write(execStatus[1], &error, sizeof error);
    _exit(127);
  }
  int const forkError = errno;
  close(channel[1]);
  close(execStatus[1]);
  // The exec closes the pipe's write end; a failed one sends its errno first.
  int error = pid < 0 ? forkError : 0;
  if (pid > 0) {
    ssize_t got;
    while ((got = read(execStatus[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (got != static_cast<ssize_t>(sizeof error)) error = 0;
  }
  close(execStatus[0]);
  if (error != 0) {
    if (pid > 0) waitpid(pid, nullptr, 0);
    close(channel[0]);
    run.execError = error;
    return run;
  }

  // Like a shell waiting for a command: an interrupt from the terminal is the program's to
  // handle, and its outcome is reported.
  struct sigaction ignore {
  }, previousInt{}, previousQuit{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &previousInt);
  sigaction(SIGQUIT, &ignore, &previousQuit);
  int const exitWatch = WatchExit(pid);
  pollfd watched[2] = {{channel[0], POLLIN, 0}, {exitWatch, POLLIN, 0}};
  for (;;) {
    // Without pidfd the exit is found by looking every 10 ms.
    if (poll(watched, 2, exitWatch >= 0 ? -1 : 10) < 0 && errno != EINTR) break;
    if (watched[0].revents & POLLIN) Drain(channel[0], run.records);
    // Hung up: the program (or whatever inherited the socket) has closed it.
    if (watched[0].revents & (POLLHUP | POLLERR)) watched[0].fd = -1;
    if (exitWatch >= 0 ? (watched[1].revents & POLLIN) != 0 : HasExited(pid)) break;
  }
  run.end = MonotonicNow();
  Drain(channel[0], run.records);
  close(channel[0]);
  if (exitWatch >= 0) close(exitWatch);
  while (wait4(pid, &run.status, 0, &run.usage) < 0 && errno == EINTR) {
  }
  sigaction(SIGINT, &previousInt, nullptr);
  sigaction(SIGQUIT, &previousQuit, nullptr);
  return run;
}
