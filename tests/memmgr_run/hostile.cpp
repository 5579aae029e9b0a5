// SPDX-License-Identifier: Apache-2.0
// Programs that do what real programs do and a measuring tool must survive: each mode is one
// row of the table in run_hostile.cmake, which runs it plainly and under memmgr-run. Every mode
// that ends normally prints how many threads the process has, so that a thread of the tool's
// inside it shows as a difference in the output.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "preload/preload.h"

#ifdef MEMMGR_HOSTILE_OWN_NEW
// An allocator linked into the program: it wins over any preloaded operator new.
void* operator new(size_t size) {
  if (void* const block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
#endif

namespace {

std::vector<std::vector<char>> held;  // blocks kept to the end, so the peak is theirs

void Hold(size_t mebibytes) { held.emplace_back(mebibytes << 20, 'x'); }

int Entries(char const* directory) {
  int count = 0;
  if (DIR* const dir = opendir(directory)) {
    while (dirent const* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

// Raw writes: after a seccomp filter, stdio's first use of a stream may make calls it forbids.
void Say(std::string const& text) { (void)!write(STDOUT_FILENO, text.data(), text.size()); }

// The program's own pressure signal, armed through the first definition of the setter: under
// the tool, its preloaded part's. What it was told, as the library promises it: once.
int pressureCalls = 0;
int64_t pressureTotal = 0, pressureThreshold = 0;
void OnPressure(int64_t total, int64_t threshold) {
  ++pressureCalls;
  pressureTotal = total, pressureThreshold = threshold;
}
using PressureSetter = void (*)(int64_t, void (*)(int64_t, int64_t));
bool confined = false;  // the count needs calls a confined process may not make

// The state letter of the main thread, which stays a zombie once it has left alone.
char LeaderState() {
  char text[512];
  int const fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
  ssize_t const got = fd < 0 ? -1 : read(fd, text, sizeof text - 1);
  if (fd >= 0) close(fd);
  if (got <= 0) return 0;
  text[got] = 0;
  char const* const end = std::strrchr(text, ')');
  return end != nullptr && end[1] == ' ' ? end[2] : 0;
}
int End(int status) {
  if (!confined) Say("threads " + std::to_string(Entries("/proc/self/task")) + "\n");
  return status;
}

// Kills the process on, or fails with EPERM, the calls a measuring tool might make at exit.
bool Confine(unsigned action) {
  sock_filter const filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getpid, 4, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 3, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pread64, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_sendto, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, action),
  };
  sock_fprog const program{static_cast<unsigned short>(std::size(filter)),
                           const_cast<sock_filter*>(filter)};
  // TSYNC fails (with the id of the thread) unless every thread of the process can take it.
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &program) == 0;
}

// What reaches this process and, through fork and exec, its child: preload, settings, files.
int ShowEnvironment(char const* self, bool child) {
  char const* const preload = std::getenv("LD_PRELOAD");
  std::printf("%s: LD_PRELOAD %s, MEMMGR_RUN %s, %d descriptors\n", child ? "child" : "program",
              preload ? preload : "unset", std::getenv("MEMMGR_RUN") ? "set" : "unset",
              Entries("/proc/self/fd") - 1);
  std::fflush(stdout);
  if (child) return 0;
  if (pid_t const pid = fork(); pid == 0) {
    execl(self, self, "env", "child", nullptr);
    _exit(127);
  } else {
    waitpid(pid, nullptr, 0);
  }
  return End(0);
}

// The System V segment mapped into this process, found as the program could find it; empty
// when there is none (the program runs plainly).
std::span<unsigned char> AttachedPage() {
  FILE* const maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) return {};
  char line[512];
  std::span<unsigned char> found;
  while (found.empty() && std::fgets(line, sizeof line, maps) != nullptr) {
    unsigned long start = 0, end = 0;
    if (std::strstr(line, "/SYSV") != nullptr && std::sscanf(line, "%lx-%lx", &start, &end) == 2 &&
        end - start >= sizeof(RunPage))
      found = {reinterpret_cast<unsigned char*>(start), end - start};
  }
  std::fclose(maps);
  return found;
}

int ClonedChild(void*) { return 0; }

// A garbage-collect hook that gives back a reserve, installed when the library is loaded.
std::vector<char> reserve;
int GiveBackReserve(size_t) {
  std::vector<char>().swap(reserve);
  return 0;
}

// Counts the signals a careful wrapper must relay once each, until SIGWINCH says that all were
// sent; then prints the counts. It creates READY once its handlers are in place, and READY.N
// once N signals have come. A minute without the end is a failure (status 9), never a pass.
constexpr int kCounted[] = {SIGINT, SIGQUIT, SIGUSR1, SIGALRM, SIGTERM, SIGCONT};
volatile sig_atomic_t counts[NSIG];
void Count(int signal) { counts[signal] = counts[signal] + 1; }

int CountSignals(std::string const& ready, bool ownGroup) {
  // Gone into a group of its own, as a daemon does, before anyone signals the group it left.
  if (ownGroup) setpgid(0, 0);
  struct sigaction count {};
  count.sa_handler = Count;
  sigset_t counted, others;
  sigemptyset(&counted);
  for (int signal : kCounted) sigaddset(&counted, signal);
  sigaddset(&counted, SIGWINCH);
  for (int signal = 1; signal < NSIG; ++signal)
    if (sigismember(&counted, signal) == 1) sigaction(signal, &count, nullptr);
  sigprocmask(SIG_BLOCK, &counted, &others);  // seen only inside ppoll: no count is missed
  auto const create = [](std::string const& name) {
    close(open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  };
  create(ready);
  int told = 0;
  timespec const second{1, 0};
  for (int waited = 0; counts[SIGWINCH] == 0 && waited < 60;) {
    if (ppoll(nullptr, 0, &second, &others) == 0) ++waited;
    int total = 0;
    for (int signal : kCounted) total += counts[signal];
    while (told < total) create(ready + "." + std::to_string(++told));
  }
  std::string seen;
  for (int signal : kCounted)
    seen += std::string(sigabbrev_np(signal)) + " " + std::to_string(counts[signal]) + " ";
  Say(seen + "\n");
  return End(counts[SIGWINCH] != 0 ? 0 : 9);
}

}  // namespace

int main(int argc, char** argv) {
  std::string const mode = argc > 1 ? argv[1] : "";
  if (mode == "env") return ShowEnvironment(argv[0], argc > 2);
  Hold(4);
  if (mode == "fork") {  // the child's 64 MiB are not the program's
    if (pid_t const pid = fork(); pid == 0) {
      std::vector<char> child(64 << 20, 'y');
      // Read back through a volatile, page by page: a compiler may drop a block that is only
      // written, and the child's pages must really be resident.
      char const volatile* const pages = child.data();
      bool whole = true;
      for (size_t at = 0; at < child.size(); at += 4096) whole &= pages[at] == 'y';
      _exit(whole ? 0 : 1);
    } else {
      waitpid(pid, nullptr, 0);
    }
  } else if (mode == "exec") {
    std::fflush(stdout);
    execl("/bin/sh", "sh", "-c", "exit 7", nullptr);
  } else if (mode == "closefds") {  // descriptors it did not open are its own to reuse
    Hold(26);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    int const null = open("/dev/null", O_RDWR);
    for (int fd = 3; fd < 64; ++fd) dup2(null, fd);
  } else if (mode == "seccomp-kill" || mode == "seccomp-errno") {
    bool const kill = mode == "seccomp-kill";
    End(0);
    confined = true;
    if (!Confine(kill ? SECCOMP_RET_KILL_PROCESS : SECCOMP_RET_ERRNO | EPERM)) return End(3);
    Say(kill || (open("/proc/self/status", O_RDONLY) < 0 && errno == EPERM) ? "confined\n"
                                                                            : "not confined\n");
  } else if (mode == "setuid") {  // every thread must drop, or none is safe
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return End(3);
    Say(std::string("uid ") + (getuid() == 0 ? "0" : "dropped") + "\n");
    Hold(4);
  } else if (mode == "unshare") {  // refused to a process with more than one thread
    Say(unshare(CLONE_NEWUSER) == 0 ? "unshared\n" : std::string(strerror(errno)) + "\n");
  } else if (mode == "sysexit") {  // the main thread leaves; the process goes on without it
    std::thread([] {
      // On once the main thread has gone (a zombie while the others run); a minute without
      // that is a failure, never a pass.
      for (int tries = 0; LeaderState() != 'Z'; ++tries) {
        if (tries > 60'000'000) std::exit(End(9));
        sched_yield();
      }
      Hold(2);
      std::exit(End(5));
    }).detach();
    syscall(SYS_exit, 0);
  } else if (mode == "signal") {  // dies at once, before any reading of the tool's
    raise(SIGTERM);
  } else if (mode == "badalloc") {
    try {
      size_t volatile huge = size_t{1} << 62;
      held.emplace_back(huge);
    } catch (std::bad_alloc const&) {
      Say("caught bad_alloc\n");
    }
  } else if (mode == "nondumpable" && argc > 2) {  // unreadable once READY exists, to SIGUSR1
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, nullptr);
    prctl(PR_SET_DUMPABLE, 0);
    close(open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    timespec const minute{60, 0};
    if (sigtimedwait(&usr1, nullptr, &minute) != SIGUSR1) return End(9);
  } else if (mode == "children") {  // one of every way to start a process, each waited for
    char* const argv[] = {const_cast<char*>("true"), nullptr};
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    pid = vfork();
    if (pid == 0) {
      execv("/bin/true", argv);
      _exit(127);
    }
    waitpid(pid, nullptr, 0);
    if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) == 0)
      waitpid(pid, nullptr, 0);
    (void)!std::system("true");
    static char stack[64 << 10];
    waitpid(clone(ClonedChild, stack + sizeof stack, SIGCHLD, nullptr), nullptr, 0);
  } else if (mode == "scribble") {  // over the whole page the tool shares with the companion
    Hold(4);
    std::span<unsigned char> const mapped = AttachedPage();
    std::string const how = argc > 2 ? argv[2] : "";
    if (!mapped.empty()) {
      std::memset(mapped.data(), 0xff, mapped.size());
      auto* const page = reinterpret_cast<RunPage*>(mapped.data());
      if (how == "forge") {  // a record of an exec in which nothing holds
        auto* const names = reinterpret_cast<unsigned char*>(page->steps);
        std::memset(names, 'A', mapped.size() - static_cast<size_t>(names - mapped.data()));
        page->last.peak = 1 << 20;
        __atomic_store_n(&page->state, uint32_t{kRunPageReplaced}, __ATOMIC_RELEASE);
      }
      // Ended without exit handlers, the companion cannot write its record over it.
      if (!how.empty()) {
        std::fflush(stdout);
        _exit(End(0));
      }
    }
    Hold(4);
  } else if (mode == "gc-frees") {  // over a 16 MiB limit until the hook frees the reserve
    reserve.assign(8 << 20, 'r');
    if (void* const hook = dlsym(RTLD_DEFAULT, "GTMC_GarbageCollect"))
      *static_cast<int (**)(size_t)>(hook) = GiveBackReserve;
    Hold(8);
  } else if (mode == "streams") {  // which standard streams it was given, and what it opens
    std::string view;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
      view += std::to_string(fd) + (fcntl(fd, F_GETFD) < 0 ? " closed, " : " open, ");
    int const told = fcntl(STDOUT_FILENO, F_GETFD) >= 0 ? STDOUT_FILENO : STDERR_FILENO;
    int const next = open("/dev/null", O_RDONLY);  // on the lowest number free
    view += "opens " + std::to_string(next) + ", " + std::to_string(Entries("/proc/self/fd") - 1) +
            " descriptors\n";
    (void)!write(told, view.data(), view.size());
  } else if (mode == "spike" && argc > 2) {  // a peak of microseconds, a while before its end
    std::string const ending = argv[2];
    auto* const arm =
        reinterpret_cast<PressureSetter>(dlsym(RTLD_DEFAULT, "GTMC_SetMemoryPressureCallback"));
    // With its own signal, armed between two spikes alike: below the highest total so far, only
    // the arming itself can answer the second.
    bool const own = ending == "own-pressure" && arm != nullptr;
    for (int round = own ? 0 : 1; round < 2; ++round) {
      if (round == 1 && own) arm(8 << 20, OnPressure);
      char* volatile const spike = new char[16 << 20];
      spike[0] = 's';
      delete[] spike;
    }
    auto const spiked = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::chrono::duration<double> const after = std::chrono::steady_clock::now() - spiked;
    Say("after the spike: " + std::to_string(after.count()) + " s\n");
    if (ending == "own-pressure")
      Say("own pressure: " + std::to_string(pressureCalls) + " calls, threshold " +
          std::to_string(pressureThreshold) + ", total " + std::to_string(pressureTotal) + "\n");
    // Without an exit record: the tool has only its readings to tell the spike by.
    if (ending == "killed") raise(SIGKILL);
  } else if (mode == "brief") {  // over within milliseconds: its peak is at its end
    Hold(24);
  } else if (mode == "signals" && argc > 2) {  // counts what reaches it
    return CountSignals(argv[2], argc > 3 && std::string(argv[3]) == "own-group");
  } else if (mode == "dispositions") {  // what the program starts with: nothing of the tool's
    std::string status(4096, '\0');
    int const fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    status.resize(
        static_cast<size_t>(std::max<ssize_t>(read(fd, status.data(), status.size()), 0)));
    close(fd);
    for (char const* field : {"\nSigBlk:", "\nSigIgn:"})
      if (size_t const at = status.find(field); at != std::string::npos)
        Say(status.substr(at + 1, status.find('\n', at + 1) - at));
  } else if (mode == "selfstop") {  // stops itself; the shell must see the job stop
    raise(SIGSTOP);
    Say("continued\n");
  } else if (mode == "sleep") {
    sleep(10);
  }
  return End(0);
}
