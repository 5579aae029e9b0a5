#include "run/launch.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include "run/program_reader.h"

namespace {

// The page shared with the companion: a System V segment, which the companion attaches by
// its id (so the program inherits no descriptor, and no file size limit stands in the way).
// It is marked for removal at once: it goes when the last process that attached it does.
class SharedPage {
 public:
  ~SharedPage() {
    if (page_ != nullptr) shmdt(page_);
  }
  bool Create() {
    page_ = static_cast<RunPage*>(AttachNewSegment(sizeof(RunPage), id_));
    if (page_ == nullptr) return false;
    if (getrandom(&page_->cookie, sizeof page_->cookie, 0) != sizeof page_->cookie)
      page_->cookie = static_cast<uint64_t>(memmgr_run_now()) ^ (uint64_t(getpid()) << 32);
    return true;
  }
  int Id() const { return id_; }
  RunPage* get() const { return page_; }
  uint32_t State() const {
    return page_ == nullptr ? uint32_t{kRunPageEmpty}
                            : __atomic_load_n(&page_->state, __ATOMIC_ACQUIRE);
  }

 private:
  int id_ = -1;
  RunPage* page_ = nullptr;
};

// The program's environment: the caller's, with the preload and the companion's settings in
// front. VOQ_MAXIMUM_MEMORY is left out, since the library would take it as a limit the
// companion could then not set.
std::vector<std::string> PreloadEnvironment(Options const& options, Preload const& preload,
                                            SharedPage const& page, int sitesId) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view const name(*entry, std::string_view(*entry).find('='));
    if (name != "LD_PRELOAD" && name != "VOQ_MAXIMUM_MEMORY" && name != MEMMGR_RUN_SETTINGS &&
        name != MEMMGR_RUN_PRELOAD && name != MEMMGR_RUN_SITES)
      environment.emplace_back(*entry);
  }
  // The sampler goes first, so that its entry points stand in front of the library's.
  std::string preloads = preload.companion + ":" + preload.library;
  if (sitesId >= 0) {
    preloads = preload.sampler + ":" + preloads;
    environment.push_back(std::string(MEMMGR_RUN_SITES "=") + std::to_string(sitesId));
  }
  if (char const* const user = std::getenv("LD_PRELOAD")) {
    if (*user != '\0') preloads += std::string(":") + user;
    environment.push_back(std::string(MEMMGR_RUN_PRELOAD "=") + user);
  }
  environment.push_back("LD_PRELOAD=" + preloads);
  environment.push_back(std::string(MEMMGR_RUN_SETTINGS "=") + std::to_string(page.Id()) + " " +
                        std::to_string(options.limit.value_or(-1)) + " " +
                        std::to_string(options.pressure.value_or(-1)));
  return environment;
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

int Ticker(int intervalMs) {
  int const fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  timespec const interval{intervalMs / 1000, (intervalMs % 1000) * 1000000L};
  itimerspec const every{interval, interval};
  if (fd >= 0) timerfd_settime(fd, 0, &every, nullptr);
  return fd;
}

// Starts PROGRAM; the pid, or -1 with errno when it could not be run. A file the kernel cannot
// run (no "#!" line) is run by /bin/sh, as execvp and the shells do; posix_spawnp does not.
pid_t Start(Options const& options, ProgramImage const& image,
            std::vector<std::string> const* environment) {
  std::vector<char*> envp;
  if (environment != nullptr) {
    for (auto const& entry : *environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
  }
  char* const* const env = environment != nullptr ? envp.data() : nullptr;
  pid_t const pid = Spawn(options.program, env, SpawnStreams{});
  if (pid >= 0 || errno != ENOEXEC || image.path.empty()) return pid;
  std::vector<char*> script = {const_cast<char*>("/bin/sh"), const_cast<char*>(image.path.c_str())};
  for (char** argument = options.program + 1; *argument != nullptr; ++argument)
    script.push_back(*argument);
  script.push_back(nullptr);
  pid_t const shell = Spawn(script.data(), env, SpawnStreams{});
  if (shell < 0) errno = ENOEXEC;  // the program's own failure is the one to tell
  return shell;
}

// One sample: the resident size, and the figures once the companion has started.
void TakeSample(RunOutcome& run, SharedPage const& page, ProgramReader& reader,
                std::function<void(Sample const&)> const& onSample) {
  if (run.replacedTime != 0) return;  // the image measured is gone; its successor is not ours
  int64_t const now = memmgr_run_now();
  int64_t resident = -1, highWater = -1;
  bool const haveResident = reader.ReadResident(resident, highWater);
  uint32_t const state = page.State();
  std::optional<RunFigures> figures;
  if (state != kRunPageEmpty) {
    run.companionStarted = true;
    RunFigures read{};
    switch (reader.ReadFigures(*page.get(), read)) {
      case ProgramReader::Result::Read:
        figures = read;
        run.lastRead = read;
        run.lastReadTime = now;
        run.peakRead = std::max(run.peakRead, read.peak);
        run.readRefusal = 0;
        break;
      case ProgramReader::Result::Refused:
        run.readRefusal = reader.RefusalError();
        // Mid-exec, the resident size read may already be the next image's.
        if (state == kRunPageReplaced) return;
        break;
      case ProgramReader::Result::Replaced:
        // Read before the figures, the resident size may be the next image's too.
        if (state == kRunPageReplaced) {
          run.replacedTime = page.get()->execTime;
          run.replacement = page.get()->replacement;
        } else {  // an exec the companion did not see: a direct system call
          run.replacedTime = now;
          run.replacement = reader.Executable();
        }
        return;
      case ProgramReader::Result::Gone:
        break;
    }
  }
  if (haveResident) {
    run.highWater = highWater;
    run.highWaterTime = now;
  }
  if (!haveResident && !figures) return;
  onSample({static_cast<double>(now - run.start) / 1e9,
            figures ? std::max<int64_t>(figures->total, 0) : -1, haveResident ? resident : -1});
}

void TakePage(RunOutcome& run, SharedPage const& page) {
  uint32_t const state = page.State();
  if (state == kRunPageEmpty) return;
  run.companionStarted = true;
  RunPage const& shared = *page.get();
  if (state == kRunPageExited || state == kRunPageReplaced) {
    run.exitRecord = shared.last;
    run.defaultMemoryFull = shared.defaultHandler != 0;
  }
  if (state == kRunPageReplaced && !run.replacement) {
    run.replacement =
        std::string(shared.replacement, strnlen(shared.replacement, sizeof shared.replacement));
    run.replacedTime = shared.execTime;
  }
}

// A child of the tool's in its process group that blocks every signal and never runs the
// program: a signal sent to the group stays pending in it (ShdPnd in /proc/PID/status), which
// tells the tool, for a signal it received, whether the program received it too.
class Sentinel {
 public:
  Sentinel() = default;
  Sentinel(Sentinel const&) = delete;
  Sentinel& operator=(Sentinel const&) = delete;
  ~Sentinel() {
    if (pid_ <= 0) return;
    close(requests_);  // its end of file: it leaves
    close(answers_);
    close(status_);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }

  // Forked with every signal already blocked, so that it holds all that are sent to the group
  // from its first instant; false when it could not be (the tool then takes every signal it
  // receives as sent to it alone).
  bool Start() {
    int requests[2], answers[2];
    if (pipe2(requests, O_CLOEXEC) != 0) return false;
    if (pipe2(answers, O_CLOEXEC) != 0) {
      close(requests[0]);
      close(requests[1]);
      return false;
    }
    pid_t const tool = getpid();
    pid_ = fork();
    if (pid_ == 0) Serve(tool, requests[0], answers[1]);
    close(requests[0]);
    close(answers[1]);
    requests_ = requests[1];
    answers_ = answers[0];
    if (pid_ > 0)
      status_ = open(("/proc/" + std::to_string(pid_) + "/status").c_str(), O_RDONLY | O_CLOEXEC);
    if (pid_ > 0 && status_ >= 0) return true;
    close(requests_);
    close(answers_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    return false;
  }

  // Whether `signal`, just received by the tool, was sent to the whole process group; if so
  // the sentinel gives it up, so that the next one is seen afresh.
  bool TakeIfSentToGroup(int signal) {
    if (pid_ <= 0) return false;
    // The kernel signals a group member by member under the task list lock, held for reading;
    // setpgid takes it for writing, so it returns only once a group signal that has reached
    // the tool has reached every member. (The members are also visited newest first, so the
    // sentinel before the tool.) Setting the sentinel's group to the one it has changes
    // nothing else.
    setpgid(pid_, getpgrp());
    char state = 0;
    if ((PendingForGroup(state) & (uint64_t{1} << (signal - 1))) == 0) return false;
    // Stopped by a SIGSTOP meant for it alone, it could not answer: it is continued, and
    // gives up that continue too. A group SIGCONT sent in that instant merges with the tool's,
    // and the program may then see SIGCONT once more than it was sent: harmless to a running
    // process.
    bool continued = false;
    if (state == 'T') continued = kill(pid_, SIGCONT) == 0;
    Ask(signal, continued);
    if (continued) Ask(SIGCONT, continued);
    return true;
  }

 private:
  [[noreturn]] static void Serve(pid_t tool, int requests, int answers) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != tool) _exit(0);
    // Nothing of the tool's stays open in it: no output or pipe waits on the sentinel.
    int const low = std::min(requests, answers), high = std::max(requests, answers);
    if (low > 0) close_range(0, static_cast<unsigned>(low) - 1, 0);
    if (high > low + 1)
      close_range(static_cast<unsigned>(low) + 1, static_cast<unsigned>(high) - 1, 0);
    close_range(static_cast<unsigned>(high) + 1, ~0U, 0);
    for (int signal;
         read(requests, &signal, sizeof signal) == static_cast<ssize_t>(sizeof signal);) {
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, signal);
      timespec const now{};
      char const taken = sigtimedwait(&one, nullptr, &now) == signal ? 1 : 0;
      if (write(answers, &taken, 1) != 1) break;
    }
    _exit(0);
  }

  // The signals pending for the sentinel's whole process, and its state letter.
  uint64_t PendingForGroup(char& state) const {
    char text[4096];
    ssize_t const got = pread(status_, text, sizeof text - 1, 0);
    if (got <= 0) return 0;
    text[got] = '\0';
    if (char const* const line = std::strstr(text, "\nState:\t")) state = line[8];
    char const* const line = std::strstr(text, "\nShdPnd:\t");
    return line != nullptr ? std::strtoull(line + 9, nullptr, 16) : 0;
  }

  // Has the sentinel give up `signal`, and waits for it to have done so. Should it be stopped
  // again meanwhile, it is continued (`continued` then tells the caller to take that SIGCONT
  // back too); this wait never takes long, the check is only for a stop.
  void Ask(int signal, bool& continued) {
    if (write(requests_, &signal, sizeof signal) != static_cast<ssize_t>(sizeof signal)) return;
    pollfd answer{answers_, POLLIN, 0};
    for (;;) {
      int const ready = poll(&answer, 1, 100);
      if (ready > 0) {
        char taken;
        (void)!read(answers_, &taken, 1);
        return;
      }
      char state = 0;
      PendingForGroup(state);
      if (ready < 0 && errno != EINTR) return;
      if (state == 'T' && kill(pid_, SIGCONT) == 0) continued = true;
      if (state == 0 || state == 'Z' || state == 'X') return;  // gone
    }
  }

  pid_t pid_ = -1;
  int requests_ = -1, answers_ = -1, status_ = -1;
};

void Note(RunOutcome& run, int signal, SignalFate fate) {
  for (SignalNote& note : run.signals)
    if (note.signal == signal && note.fate == fate) {
      ++note.count;
      return;
    }
  run.signals.push_back({signal, fate, 1});
}

// Stops the tool with the signal that stopped the program, as the shell expects of its job;
// returns once the tool is continued. A stop signal other than SIGSTOP is discarded by the
// kernel in an orphaned process group, where it would not have stopped the program either.
void StopWith(int signal) {
  if (signal == SIGSTOP) {
    raise(SIGSTOP);
    return;
  }
  struct sigaction stop {
  }, previous{};
  stop.sa_handler = SIG_DFL;
  sigaction(signal, &stop, &previous);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  raise(signal);  // pending while blocked: it stops the tool the moment it is unblocked
  sigprocmask(SIG_UNBLOCK, &one, nullptr);
  sigprocmask(SIG_BLOCK, &one, nullptr);
  sigaction(signal, &previous, nullptr);
}

// The program's stops, as SIGCHLD announces them.
void FollowStops(pid_t pid, RunOutcome& run) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WCONTINUED | WNOHANG) == 0 &&
         info.si_pid == pid) {
    if (info.si_code == CLD_STOPPED) {
      Note(run, info.si_status, SignalFate::StoppedWith);
      StopWith(info.si_status);
    }
    info = {};
  }
}

// The signals received since the last look. pid 0: the program has been reaped.
void Relay(int signals, pid_t pid, Sentinel& sentinel, RunOutcome& run) {
  pid_t const self = getpid();
  signalfd_siginfo info{};
  // One at a time: the sentinel is asked about each before the next is read.
  while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    int const signal = static_cast<int>(info.ssi_signo);
    int const code = info.ssi_code;
    bool const fromProcess = code == SI_USER || code == SI_QUEUE || code == SI_TKILL;
    // A child's change of state, the program's or the sentinel's.
    if (signal == SIGCHLD && !fromProcess) {
      if (pid > 0) FollowStops(pid, run);
      continue;
    }
    if (fromProcess && static_cast<pid_t>(info.ssi_pid) == self) continue;
    if (pid == 0) {
      Note(run, signal, SignalFate::AfterEnd);
      continue;
    }
    if (sentinel.TakeIfSentToGroup(signal)) {
      Note(run, signal, code == SI_KERNEL ? SignalFate::FromTerminal : SignalFate::ToGroup);
    } else if (!fromProcess) {
      Note(run, signal, SignalFate::ForTool);
    } else {
      // A value sent with sigqueue goes with it.
      if (code == SI_QUEUE) {
        sigval value{};
        value.sival_ptr = reinterpret_cast<void*>(static_cast<uintptr_t>(info.ssi_ptr));
        sigqueue(pid, signal, value);
      } else {
        kill(pid, signal);
      }
      Note(run, signal, SignalFate::Relayed);
    }
  }
}

}  // namespace

std::optional<std::string> FindPreload(Preload& preload, bool withSampler) {
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
  preload.sampler =
      preload.library.substr(0, preload.library.rfind('/') + 1) + MEMMGR_RUN_SITE_SAMPLER;
  if (access(preload.companion.c_str(), R_OK) != 0)
    return "the companion " + preload.companion + " is missing";
  if (withSampler && access(preload.sampler.c_str(), R_OK) != 0)
    return "the site sampler " + preload.sampler + " is missing";
  // The loader splits LD_PRELOAD at both.
  if ((preload.library + preload.companion + preload.sampler).find_first_of(": ") !=
      std::string::npos)
    return "cannot preload from " + preload.library + ": the path holds a space or a colon";
  return std::nullopt;
}

void* AttachNewSegment(size_t bytes, int& id) {
  id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (id < 0) return nullptr;
  void* const at = shmat(id, nullptr, 0);
  int const error = errno;
  shmctl(id, IPC_RMID, nullptr);
  errno = error;
  return at == reinterpret_cast<void*>(-1) ? nullptr : at;
}

RunOutcome RunUnderBudget(Options const& options, Preload const& preload, ProgramImage const& image,
                          int sitesSegment, std::function<void(Sample const&)> const& onSample) {
  RunOutcome run;
  run.image = image.kind;
  SharedPage page;
  std::optional<std::vector<std::string>> environment;
  // Without a page to share (System V IPC turned off), the program runs plainly.
  if (image.kind == ImageKind::Preloadable && !page.Create()) run.pageError = errno;
  if (image.kind == ImageKind::Preloadable && run.pageError == 0)
    environment = PreloadEnvironment(options, preload, page, sitesSegment);

  // Every signal the tool can block is blocked before the program and the sentinel exist, so
  // that none is lost and none ends the tool: each is read from the signalfd and relayed or
  // not. The C library keeps its own few out of sigfillset; SIGKILL and SIGSTOP cannot be
  // blocked. The program starts with the caller's mask and dispositions (Spawn).
  sigset_t every;
  sigfillset(&every);
  sigprocmask(SIG_BLOCK, &every, nullptr);
  int const signals = signalfd(-1, &every, SFD_CLOEXEC | SFD_NONBLOCK);
  Sentinel sentinel;
  sentinel.Start();

  run.start = memmgr_run_now();
  pid_t const pid = Start(options, image, environment ? &*environment : nullptr);
  if (pid < 0) {
    run.execError = errno;
    close(signals);
    return run;
  }

  ProgramReader reader(pid);
  int const exitWatch = WatchExit(pid);
  int const ticker = Ticker(options.intervalMs);
  TakeSample(run, page, reader, onSample);
  pollfd watched[] = {{exitWatch, POLLIN, 0}, {signals, POLLIN, 0}, {ticker, POLLIN, 0}};
  for (;;) {
    // Without pidfd the exit is found by looking every 10 ms.
    if (poll(watched, std::size(watched), exitWatch >= 0 ? -1 : 10) < 0 && errno != EINTR) break;
    if (watched[1].revents & POLLIN) Relay(signals, pid, sentinel, run);
    // However many ticks were missed (the tool was stopped), one sample.
    uint64_t ticks;
    if ((watched[2].revents & POLLIN) && read(ticker, &ticks, sizeof ticks) > 0)
      TakeSample(run, page, reader, onSample);
    if (exitWatch >= 0 ? (watched[0].revents & POLLIN) != 0 : HasExited(pid)) break;
  }
  run.end = memmgr_run_now();
  while (wait4(pid, &run.status, 0, &run.usage) < 0 && errno == EINTR) {
  }
  Relay(signals, 0, sentinel, run);  // those that came with the end are noted
  for (int fd : {exitWatch, ticker, signals})
    if (fd >= 0) close(fd);
  TakePage(run, page);
  return run;
}

void EndAsTheProgramEnded(int waitStatus) {
  if (!WIFSIGNALED(waitStatus)) return;
  int const signal = WTERMSIG(waitStatus);
  std::fflush(nullptr);
  // The program dumped its own core, if any; the tool's would only mislead.
  prctl(PR_SET_DUMPABLE, 0);
  rlimit const none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
  struct sigaction end {};
  end.sa_handler = SIG_DFL;
  sigaction(signal, &end, nullptr);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  raise(signal);
  sigprocmask(SIG_UNBLOCK, &one, nullptr);
}
