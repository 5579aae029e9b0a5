// SPDX-License-Identifier: Apache-2.0
#include "run/launch.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/shm.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memmgr>
#include <string_view>
#include <vector>

#include "preload/preload.h"
#include "report/format.h"
#include "run/signal_relay.h"

namespace {

// The value of "Name:   123 kB" in /proc/<pid>/status, in bytes; -1 when absent.
int64_t StatusKilobytes(std::string_view text, std::string_view name) {
  size_t const at = text.find(name);
  if (at == std::string_view::npos) return -1;
  return std::strtoll(text.data() + at + name.size(), nullptr, 10) * 1024;
}

// Reading the measured program from outside, without running anything in it: its figures
// with process_vm_readv at the addresses the companion left in the shared page, its resident
// size and high-water mark from /proc.
class ProgramReader {
 public:
  explicit ProgramReader(pid_t pid) : pid_(pid), thread_(pid) {}

  // VmRSS and VmHWM in bytes; false when the process has no memory left to report.
  bool ReadResident(int64_t& resident, int64_t& highWater) {
    return ReadStatus(thread_, resident, highWater) ||
           (FollowLiveThread() && ReadStatus(thread_, resident, highWater));
  }

  enum class Result {
    Read,      // `figures` holds them
    Refused,   // the kernel does not let this process read the program: errno tells why
    Replaced,  // the memory is no longer the image the companion started in (an exec)
    Gone       // the program has ended
  };
  // The image to read from now on: where the library's figures and the companion's state are,
  // and the cookie and image number that state must hold to be that image's.
  void Follow(uint64_t figureLocations, uint64_t companionState, uint64_t cookie, uint32_t image) {
    figureLocations_ = figureLocations;
    companionState_ = companionState;
    cookie_ = cookie;
    image_ = image;
    located_ = false;
  }
  Result ReadFigures(RunFigures& figures) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      errno = 0;
      if (located_ || ReadLocations()) {
        uint8_t memoryFull = 0;
        CompanionState companion{};
        iovec local[] = {{&figures.total, 8},
                         {&figures.limit, 8},
                         {&figures.peak, 8},
                         {&figures.collections, 8},
                         {&figures.overallocations, 8},
                         {&figures.memoryFullEvents, 8},
                         {&memoryFull, 1},
                         {&companion, sizeof companion}};
        iovec remote[] = {{const_cast<void*>(locations_.total), 8},
                          {const_cast<void*>(locations_.limit), 8},
                          {const_cast<void*>(locations_.peak), 8},
                          {const_cast<void*>(locations_.collections), 8},
                          {const_cast<void*>(locations_.overallocations), 8},
                          {const_cast<void*>(locations_.memoryFullEvents), 8},
                          {const_cast<void*>(locations_.memoryFull), 1},
                          {reinterpret_cast<void*>(companionState_), sizeof companion}};
        ssize_t const expected = 6 * 8 + 1 + sizeof companion;
        ssize_t const got = process_vm_readv(thread_, local, 8, remote, 8, 0);
        if (got == expected) {
          if (companion.cookie != cookie_ || companion.image != image_) return Result::Replaced;
          figures.peak = std::max(figures.peak, companion.earlierPeak);
          figures.memoryFull = memoryFull != 0;
          figures.pressureTime = companion.pressureTime;
          figures.children = companion.children;
          figures.ownNew = companion.ownNew;
          figures.peakMoment = companion.peakMoment;
          return Result::Read;
        }
        if (got >= 0) return Result::Replaced;  // part of it is no longer mapped
      }
      if (errno == EPERM || errno == EACCES) return Result::Refused;
      if (errno == EFAULT) return Result::Replaced;
      if (errno != ESRCH || !FollowLiveThread()) return Result::Gone;
    }
    return Result::Gone;
  }

  // What /proc/<pid>/exe names now.
  std::string Executable() const {
    std::error_code unread;  // the name stays empty
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid_) + "/exe", unread);
  }

 private:
  bool ReadStatus(pid_t thread, int64_t& resident, int64_t& highWater) const {
    std::string const status = ReadProcFile("/proc/" + std::to_string(pid_) + "/task/" +
                                            std::to_string(thread) + "/status");
    resident = StatusKilobytes(status, "\nVmRSS:");
    highWater = StatusKilobytes(status, "\nVmHWM:");
    return resident >= 0 && highWater >= 0;
  }

  // The main thread may have left while others run on: the reads then go through one of those.
  bool FollowLiveThread() {
    DIR* const tasks = opendir(("/proc/" + std::to_string(pid_) + "/task").c_str());
    if (tasks == nullptr) return false;
    bool found = false;
    while (dirent const* entry = readdir(tasks)) {
      pid_t const tid = static_cast<pid_t>(std::atoi(entry->d_name));
      int64_t resident, highWater;
      if (tid > 0 && ReadStatus(tid, resident, highWater)) {
        thread_ = tid;
        found = true;
        break;
      }
    }
    closedir(tasks);
    return found;
  }

  bool ReadLocations() {
    iovec local{&locations_, sizeof locations_};
    iovec remote{reinterpret_cast<void*>(figureLocations_), sizeof locations_};
    if (process_vm_readv(thread_, &local, 1, &remote, 1, 0) !=
        static_cast<ssize_t>(sizeof locations_))
      return false;
    located_ = locations_.version >= 1 && locations_.size >= sizeof locations_;
    return located_;
  }

  pid_t pid_, thread_;
  bool located_ = false;
  mmgr_figure_locations locations_{};
  uint64_t figureLocations_ = 0, companionState_ = 0, cookie_ = 0;
  uint32_t image_ = 0;
};

// The page shared with the companion: a System V segment, which the companion attaches by
// its id (so the program inherits no descriptor, and no file size limit stands in the way).
// It is marked for removal at once: it goes when the last process that attached it does.
struct SharedPage {
  static_assert(sizeof(RunPage) <= 4096, "the page shared with the companion is one page");
  int id = -1;
  uint64_t cookie = 0;  // the tool's own copy: the page's may have been written over
  RunPage* mapped = nullptr;

  ~SharedPage() {
    if (mapped != nullptr) shmdt(mapped);
  }
  bool Create() {
    mapped = static_cast<RunPage*>(AttachNewSegment(sizeof(RunPage), id));
    if (mapped == nullptr) return false;
    if (getrandom(&cookie, sizeof cookie, 0) != sizeof cookie)
      cookie = static_cast<uint64_t>(memmgr_run_now()) ^ (uint64_t(getpid()) << 32);
    mapped->cookie = cookie;
    return true;
  }
  uint32_t State() const {
    return mapped == nullptr ? uint32_t{kRunPageEmpty}
                             : __atomic_load_n(&mapped->state, __ATOMIC_ACQUIRE);
  }
  uint32_t Image() const {
    return mapped == nullptr ? 0 : __atomic_load_n(&mapped->image, __ATOMIC_ACQUIRE);
  }
};

// The program's environment, made from the tool's as the companion makes that of each exec it
// follows (exec_rules.c); `entries` point into the strings.
struct ProgramEnvironment {
  std::string settings, text;
  std::vector<char*> entries;
};

void MakeEnvironment(ProgramEnvironment& made, Options const& options, Preload const& preload,
                     int pageId, int sitesId) {
  // In front of the library, so that the library's setters the preload defines are found first.
  std::string const preloads = preload.preload + ":" + preload.library;
  made.settings = std::string(MEMMGR_RUN_SETTINGS "=") + std::to_string(pageId) + " " +
                  std::to_string(options.limit.value_or(-1)) + " " +
                  std::to_string(options.pressure.value_or(-1)) + " " + std::to_string(sitesId) +
                  " " + std::to_string(getpid()) + " " + preloads;
  size_t count = 0;
  while (environ[count] != nullptr) ++count;
  made.entries.resize(count + 4);
  made.text.resize(
      memmgr_run_measured_environment(environ, preloads.c_str(), nullptr, nullptr, nullptr));
  memmgr_run_measured_environment(environ, preloads.c_str(), made.settings.data(),
                                  made.entries.data(), made.text.data());
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
pid_t Start(Options const& options, ProgramImage const& image, char* const* environment) {
  pid_t const pid = Spawn(options.program, environment, SpawnStreams{});
  if (pid >= 0 || errno != ENOEXEC || image.path.empty()) return pid;
  std::vector<char*> script = {const_cast<char*>("/bin/sh"), const_cast<char*>(image.path.c_str())};
  for (char** argument = options.program + 1; *argument != nullptr; ++argument)
    script.push_back(*argument);
  script.push_back(nullptr);
  pid_t const shell = Spawn(script.data(), environment, SpawnStreams{});
  if (shell < 0) errno = ENOEXEC;  // the program's own failure is the one to tell
  return shell;
}

// Figures as the program left them, in memory it can write: counts not below zero, flags 0 or
// 1, a time within the run so far.
RunFigures Sane(RunFigures figures, int64_t start, int64_t now) {
  for (int64_t* count : {&figures.peak, &figures.limit, &figures.collections,
                         &figures.overallocations, &figures.memoryFullEvents, &figures.children})
    *count = std::max<int64_t>(*count, 0);
  if (figures.pressureTime != 0)
    figures.pressureTime = std::clamp(figures.pressureTime, start, now);
  figures.memoryFull = figures.memoryFull != 0;
  figures.ownNew = figures.ownNew != 0;
  PeakMoment const& moment = figures.peakMoment;
  if (moment.time < start || moment.time > now || moment.total < 0 ||
      moment.check != memmgr_run_peak_check(moment.time, moment.total))
    figures.peakMoment = {};
  return figures;
}

// A moment the companion noted since the last one told, as a sample of its own: a peak
// between two readings is on the timeline too.
std::optional<Sample> NewMoment(RunOutcome& run) {
  PeakMoment const& moment = run.image.peakMoment;
  if (moment.time == 0 || moment.time <= run.image.momentTold) return std::nullopt;
  run.image.momentTold = moment.time;
  return Sample{static_cast<double>(moment.time - run.start) / 1e9, moment.total, -1};
}

// A file name the companion left in the page: up to its terminator or the end of its field.
std::string StepName(char const (&field)[kRunStepChars]) {
  return Printable(std::string(field, strnlen(field, sizeof field)));
}

std::string LastStep(RunPage const& page) {
  uint32_t const execs = page.execs;
  return execs == 0 ? std::string()
                    : StepName(page.steps[std::min<uint32_t>(execs, kRunChainSteps) - 1]);
}

// A new image has started under the companion (PROGRAM, or an image the measured process
// exec'd): from now on the figures read are its own, from the addresses it gave.
void FollowImage(RunOutcome& run, SharedPage const& page, ProgramReader& reader, uint32_t state) {
  if (state != kRunPageEmpty) run.companionStarted = true;
  uint32_t const image = page.Image();
  if (state != kRunPageStarted || image == run.image.number) return;
  RunPage const& shared = *page.mapped;
  reader.Follow(__atomic_load_n(&shared.figureLocations, __ATOMIC_RELAXED),
                __atomic_load_n(&shared.companionState, __ATOMIC_RELAXED), page.cookie, image);
  run.image = {.number = image};
}

// One sample: the resident size, and the figures once the companion has started.
void TakeSample(RunOutcome& run, SharedPage const& page, ProgramReader& reader,
                std::function<void(Sample const&)> const& onSample) {
  uint32_t const state = page.State();
  FollowImage(run, page, reader, state);
  // The image measured is gone, and what replaced it is not (or not yet) measured.
  if (run.image.replacedTime != 0) return;
  int64_t const now = memmgr_run_now();
  int64_t resident = -1, highWater = -1;
  bool const haveResident = reader.ReadResident(resident, highWater);
  std::optional<RunFigures> figures;
  if (run.image.number != 0) {
    RunFigures read{};
    switch (reader.ReadFigures(read)) {
      case ProgramReader::Result::Read:
        figures = Sane(read, run.start, now);
        run.image.Read(*figures, now);
        run.readRefusal = 0;
        break;
      case ProgramReader::Result::Refused:
        run.readRefusal = errno;
        // Mid-exec, the resident size read may already be the next image's.
        if (state == kRunPageReplaced) return;
        break;
      case ProgramReader::Result::Replaced:
        // Read before the figures, the resident size may be the next image's too.
        if (state == kRunPageReplaced) {
          run.image.replacedTime = std::clamp<int64_t>(page.mapped->execTime, run.start, now);
          run.image.replacement = LastStep(*page.mapped);
        } else {  // an exec the companion did not see: a direct system call
          run.image.replacedTime = now;
          run.image.replacement = reader.Executable();
        }
        return;
      case ProgramReader::Result::Gone:
        break;
    }
  }
  if (haveResident) {
    run.image.highWater = highWater;
    run.image.highWaterTime = now;
  }
  if (!haveResident && !figures) return;
  // Sane() keeps only moments up to `now`: one noted since waits for the next reading.
  if (std::optional<Sample> const moment = NewMoment(run)) onSample(*moment);
  onSample({static_cast<double>(now - run.start) / 1e9,
            figures ? std::max<int64_t>(figures->total, 0) : -1, haveResident ? resident : -1});
}

void TakePage(RunOutcome& run, SharedPage const& page) {
  uint32_t const state = page.State();
  if (state == kRunPageEmpty) return;
  run.companionStarted = true;
  if (state > kRunPageReplaced) {
    run.pageOverwritten = true;
    return;
  }
  RunPage const& shared = *page.mapped;
  // Images the tool never read: what it read is not the last one's.
  if (uint32_t const image = page.Image(); image != run.image.number) run.image = {.number = image};
  run.execs = shared.execs;
  for (uint32_t i = 0; i < std::min<uint32_t>(run.execs, kRunChainSteps); ++i)
    run.chain.push_back(StepName(shared.steps[i]));
  if (state == kRunPageStarted) {
    // The companion's own reading (at start, or at an exec that failed) counts when it is newer
    // than the tool's last: a program that ended at once still has a true one.
    // A time outside the run is no record: the page as the tool made it, or written over.
    int64_t const recorded = shared.lastTime;
    bool const inRun = recorded >= run.start && recorded <= run.end;
    if (inRun && (!run.image.lastRead || recorded > run.image.lastReadTime))
      run.image.Read(Sane(shared.last, run.start, run.end), recorded);
  } else {
    run.exitRecord = Sane(shared.last, run.start, run.end);
    run.defaultMemoryFull = shared.defaultHandler != 0;
    run.image.Note(run.exitRecord->peakMoment);
  }
  if (state == kRunPageReplaced) {
    run.image.replacement = LastStep(shared);
    run.image.replacedTime = std::clamp<int64_t>(shared.execTime, run.start, run.end);
    run.unfollowed = shared.unfollowed;
  } else if (state == kRunPageExited) {
    run.image.replacement.reset();  // the image read ran its exit handlers: it was not replaced
    run.image.replacedTime = 0;
  } else if (run.image.replacement) {  // an exec the companion did not see, noticed at a sample
    run.chain.push_back(*run.image.replacement);
    ++run.execs;
  }
}

}  // namespace

ProgramImage InspectProgram(char const* program) {
  ProgramImage image;
  char found[kExecPathRoom];
  image.path = memmgr_run_find_program(program, std::getenv("PATH"), found) ? found : program;
  image.kind = memmgr_run_exec_target(AT_FDCWD, image.path.c_str(), &image.sanitizer);
  return image;
}

void ImageReading::Read(RunFigures const& figures, int64_t time) {
  lastRead = figures;
  lastReadTime = time;
  peakRead = std::max(peakRead, figures.peak);
  Note(figures.peakMoment);
}

void ImageReading::Note(PeakMoment const& moment) {
  if (moment.time != 0 && (peakMoment.time == 0 || moment.total > peakMoment.total))
    peakMoment = moment;
}

std::optional<std::string> FindPreload(Preload& preload) {
  // The tool is linked with the library: asked by its SONAME, the loader names the copy the
  // tool runs with, which is the one to preload (by its real path, links resolved).
  void* const self = dlopen(MEMMGR_RUN_LIBRARY, RTLD_LAZY | RTLD_NOLOAD);
  link_map* map = nullptr;
  if (self == nullptr || dlinfo(self, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr)
    return "cannot tell where " MEMMGR_RUN_LIBRARY " was loaded from";
  std::error_code unresolved;
  preload.library = std::filesystem::canonical(map->l_name, unresolved);
  dlclose(self);
  if (unresolved) return "cannot resolve the path of " MEMMGR_RUN_LIBRARY;
  preload.preload =
      preload.library.substr(0, preload.library.rfind('/') + 1) + MEMMGR_RUN_PRELOADED;
  if (access(preload.preload.c_str(), R_OK) != 0)
    return "the preloaded part " + preload.preload + " is missing";
  // The loader splits LD_PRELOAD at both.
  if ((preload.library + preload.preload).find_first_of(": ") != std::string::npos)
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
  run.programKind = image.kind;
  SharedPage page;
  std::optional<ProgramEnvironment> environment;
  // Without a page to share (System V IPC turned off), the program runs plainly.
  if (image.kind == kRunExecFollowed && !page.Create()) run.pageError = errno;
  if (image.kind == kRunExecFollowed && run.pageError == 0)
    MakeEnvironment(environment.emplace(), options, preload, page.id, sitesSegment);

  // Before the program exists, so that no signal is lost and none ends the tool.
  SignalRelay relay;

  run.start = memmgr_run_now();
  pid_t const pid = Start(options, image, environment ? environment->entries.data() : nullptr);
  if (pid < 0) {
    run.execError = errno;
    return run;
  }
  // The program was exec'd from an image of the tool's (a copy, or the tool's own memory), which
  // the kernel's high-water mark for it counts too: no more than the tool's own high-water mark,
  // which only grows, read now that the exec is done.
  if (int64_t toolResident;
      !ProgramReader(getpid()).ReadResident(toolResident, run.launcherResident))
    run.launcherResident = -1;

  ProgramReader reader(pid);
  int const ticker = Ticker(options.intervalMs);
  TakeSample(run, page, reader, onSample);
  // The program's end comes as a SIGCHLD, which the relay reads as it reads every signal.
  pollfd watched[] = {{relay.Descriptor(), POLLIN, 0}, {ticker, POLLIN, 0}};
  for (;;) {
    if (poll(watched, std::size(watched), -1) < 0 && errno != EINTR) break;
    // A relayed signal may end the program at once: what it had accounted is read first.
    if (watched[0].revents & POLLIN) {
      TakeSample(run, page, reader, onSample);
      relay.Take(pid, run.signals);
    }
    // However many ticks were missed (the tool was stopped), one sample.
    uint64_t ticks;
    if ((watched[1].revents & POLLIN) && read(ticker, &ticks, sizeof ticks) > 0)
      TakeSample(run, page, reader, onSample);
    if (HasExited(pid)) break;
  }
  run.end = memmgr_run_now();
  while (wait4(pid, &run.status, 0, &run.usage) < 0 && errno == EINTR) {
  }
  relay.Take(0, run.signals);  // those that came with the end are noted
  if (ticker >= 0) close(ticker);
  TakePage(run, page);
  if (std::optional<Sample> const moment = NewMoment(run)) onSample(*moment);
  // The end as a sample, however short the run: the total the companion left after the exit
  // handlers. The resident size went with the memory, before anyone could read it.
  int64_t const accounted =
      run.exitRecord && !run.image.replacement ? std::max<int64_t>(run.exitRecord->total, 0) : -1;
  onSample({static_cast<double>(run.end - run.start) / 1e9, accounted, -1});
  return run;
}
