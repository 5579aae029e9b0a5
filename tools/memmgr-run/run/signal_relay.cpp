// SPDX-License-Identifier: Apache-2.0
#include "run/signal_relay.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "run/spawn.h"

std::string ReadProcFile(std::string const& path) {
  std::ifstream file(path);
  std::string text;
  try {
    text.assign(std::istreambuf_iterator<char>(file), {});
  } catch (std::ios_base::failure const&) {
    text.clear();
  }
  return text;
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
    close(channel_);  // its end of file: it leaves
    if (pid_ > 0) WaitFor(pid_);
  }

  // Forked with every signal already blocked, so that it holds all that are sent to the group
  // from its first instant. Without one, the tool takes every signal it receives as sent to it
  // alone.
  void Start() {
    // Questions and answers go one datagram each way over a socket pair.
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return;
    pid_t const tool = getpid();
    pid_ = fork();
    if (pid_ == 0) Serve(tool, ends[1]);
    close(ends[1]);
    channel_ = ends[0];
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
  [[noreturn]] static void Serve(pid_t tool, int channel) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != tool) _exit(0);
    // Nothing of the tool's stays open in it: no output or pipe waits on the sentinel.
    if (channel > 0) close_range(0, static_cast<unsigned>(channel) - 1, 0);
    close_range(static_cast<unsigned>(channel) + 1, ~0U, 0);
    for (int signal;
         read(channel, &signal, sizeof signal) == static_cast<ssize_t>(sizeof signal);) {
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, signal);
      timespec const now{};
      sigtimedwait(&one, nullptr, &now);
      if (write(channel, "", 1) != 1) break;  // done, taken or not
    }
    _exit(0);
  }

  // The signals pending for the sentinel's whole process, and its state letter.
  uint64_t PendingForGroup(char& state) const {
    std::string const text = ReadProcFile("/proc/" + std::to_string(pid_) + "/status");
    if (size_t const at = text.find("\nState:\t"); at != std::string::npos) state = text[at + 8];
    size_t const at = text.find("\nShdPnd:\t");
    return at != std::string::npos ? std::strtoull(text.c_str() + at + 9, nullptr, 16) : 0;
  }

  // Has the sentinel give up `signal`, and waits for it to have done so. Should it be stopped
  // again meanwhile, it is continued (`continued` then tells the caller to take that SIGCONT
  // back too); this wait never takes long, the check is only for a stop.
  void Ask(int signal, bool& continued) {
    if (send(channel_, &signal, sizeof signal, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof signal))
      return;
    pollfd answer{channel_, POLLIN, 0};
    for (;;) {
      int const ready = poll(&answer, 1, 100);
      if (ready > 0) {
        char done;
        (void)!read(channel_, &done, 1);
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
  int channel_ = -1;
};

namespace {

void Note(std::vector<SignalNote>& notes, int signal, SignalFate fate) {
  for (SignalNote& note : notes)
    if (note.signal == signal && note.fate == fate) {
      ++note.count;
      return;
    }
  notes.push_back({signal, fate, 1});
}

// Whether `sender` is `program` or descends from it, by the parents /proc gives; a process
// gone or reparented is taken as a stranger. A program that signals its parent signals the tool,
// and without the tool the parent would have had that signal, not the program.
bool InProgramTree(pid_t sender, pid_t program) {
  constexpr int kDeepest = 4096;
  for (int depth = 0; depth < kDeepest && sender > 1; ++depth) {
    if (sender == program) return true;
    std::string const text = ReadProcFile("/proc/" + std::to_string(sender) + "/stat");
    // "pid (name) state ppid ...", where the name may hold anything, ')' included.
    size_t const end = text.rfind(')');
    int parent = 0;
    if (end == std::string::npos || std::sscanf(text.c_str() + end + 1, " %*c %d", &parent) != 1)
      return false;
    sender = parent;
  }
  return false;
}

// Has the tool undergo `signal`'s default action, as the program did: raised while blocked, it
// acts the moment it is unblocked. Returns when that did not end the tool (a stop, once the tool
// is continued); the signal is blocked again and its disposition restored. SIGSTOP, which can be
// neither blocked nor handled, acts at once.
void TakeAsDefault(int signal) {
  struct sigaction byDefault {
  }, previous{};
  byDefault.sa_handler = SIG_DFL;
  sigaction(signal, &byDefault, &previous);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  raise(signal);
  sigprocmask(SIG_UNBLOCK, &one, nullptr);
  sigprocmask(SIG_BLOCK, &one, nullptr);
  sigaction(signal, &previous, nullptr);
}

// The program's stops, as SIGCHLD announces them.
void FollowStops(pid_t pid, std::vector<SignalNote>& notes) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WCONTINUED | WNOHANG) == 0 &&
         info.si_pid == pid) {
    if (info.si_code == CLD_STOPPED) {
      // Stopped with the program, as the shell expects of its job. A stop signal other than
      // SIGSTOP is discarded by the kernel in an orphaned process group, where it would not
      // have stopped the program either.
      Note(notes, info.si_status, SignalFate::StoppedWith);
      TakeAsDefault(info.si_status);
    }
    info = {};
  }
}

}  // namespace

SignalRelay::SignalRelay() : sentinel_(std::make_unique<Sentinel>()) {
  // Every signal the tool can block, so that none ends it: each is read from the signalfd and
  // relayed or not. The C library keeps its own few out of sigfillset; SIGKILL and SIGSTOP
  // cannot be blocked. The program starts with the caller's mask and dispositions (Spawn).
  sigset_t every;
  sigfillset(&every);
  sigprocmask(SIG_BLOCK, &every, nullptr);
  signals_ = signalfd(-1, &every, SFD_CLOEXEC | SFD_NONBLOCK);
  sentinel_->Start();  // forked with everything blocked: it holds the group's signals at once
}

SignalRelay::~SignalRelay() {
  if (signals_ >= 0) close(signals_);
}

void SignalRelay::Take(pid_t pid, std::vector<SignalNote>& notes) {
  pid_t const self = getpid();
  signalfd_siginfo info{};
  // One at a time: the sentinel is asked about each before the next is read.
  while (read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    int const signal = static_cast<int>(info.ssi_signo);
    int const code = info.ssi_code;
    bool const fromProcess = code == SI_USER || code == SI_QUEUE || code == SI_TKILL;
    // A child's change of state, the program's or the sentinel's.
    if (signal == SIGCHLD && !fromProcess) {
      if (pid > 0) FollowStops(pid, notes);
      continue;
    }
    if (fromProcess && static_cast<pid_t>(info.ssi_pid) == self) continue;
    if (pid == 0) {
      Note(notes, signal, SignalFate::AfterEnd);
      continue;
    }
    if (sentinel_->TakeIfSentToGroup(signal)) {
      if (getpgid(pid) != getpgrp())
        Note(notes, signal, SignalFate::GroupLeft);
      else
        Note(notes, signal, code == SI_KERNEL ? SignalFate::FromTerminal : SignalFate::ToGroup);
    } else if (fromProcess && InProgramTree(static_cast<pid_t>(info.ssi_pid), pid)) {
      Note(notes, signal, SignalFate::FromProgram);
    } else if (!fromProcess) {
      Note(notes, signal, SignalFate::ForTool);
    } else {
      // A value sent with sigqueue goes with it.
      if (code == SI_QUEUE) {
        sigval value{};
        value.sival_ptr = reinterpret_cast<void*>(static_cast<uintptr_t>(info.ssi_ptr));
        sigqueue(pid, signal, value);
      } else {
        kill(pid, signal);
      }
      Note(notes, signal, SignalFate::Relayed);
    }
  }
}

void EndAsTheProgramEnded(int waitStatus) {
  if (!WIFSIGNALED(waitStatus)) return;
  int const signal = WTERMSIG(waitStatus);
  std::fflush(nullptr);
  // The program dumped its own core, if any; the tool's would only mislead.
  prctl(PR_SET_DUMPABLE, 0);
  rlimit const none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
  TakeAsDefault(signal);
}
