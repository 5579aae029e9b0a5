// SPDX-License-Identifier: Apache-2.0
// Which accounted blocks are sampled, the stacks they came from, and the snapshots of live
// bytes per stack at the budget's moments: whenever the total passes the last peak snapshot by
// a margin, at each memory-full event (from the handler the library calls, before anything is
// freed), and at exit (or exec). Sampling is by bytes: each thread counts down an
// exponentially distributed number of bytes, so a block is sampled with probability
// 1 - exp(-size/interval) and stands for size divided by that; a block of the interval or more
// is always sampled and stands for itself. Everything lives in fixed storage:
// the segment shared with the tool and this object's own zero-initialised tables.
#include "sites/site_sampler.h"

#include <dlfcn.h>
#include <link.h>
#include <linux/futex.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memmgr>
#include <string_view>
#include <tuple>
#include <utility>

#include "sites/live_samples.h"
#include "sites/sites_area.h"

extern "C" void memmgr_run_sites_take_settings(void);

namespace sites {
constinit std::atomic<bool> sampling{false};
constinit thread_local ThreadSampler thisThread;
int64_t interval = 1;
int64_t const* accountedTotal;
constinit std::atomic<int64_t> nextPeakSnapshot{0};
constinit LiveSamples live;
constinit std::atomic<int64_t> liveBytes[kSiteStacks]{};
}  // namespace sites

namespace {

using namespace sites;

SitesArea* area;
mmgr_figure_locations const* figures;
uintptr_t ownStart, ownEnd;  // this object's code: its frames are not the program's
// The unwinder's code: the pipe it asks for is answered here (see the end of this file).
constinit uintptr_t unwinderStart = 0, unwinderEnd = 0;
char programPath[kSiteModulePath];

// Stacks by hash: 0 empty, kStackClaimed while being written, else stack number + 1.
constexpr uint32_t kStackClaimed = UINT32_MAX;
constexpr size_t kStackSlots = 2 * kSiteStacks, kStackProbes = 64;
constinit std::atomic<uint32_t> stackSlots[kStackSlots]{};
uint64_t stackHashes[kSiteStacks];

// One writer per snapshot slot at a time; the module table has its own, since every snapshot
// brings it up to date and one thread doing so is enough.
constinit std::atomic<bool> writingSnapshot[kSnapshotSlots]{};
constinit std::atomic<bool> notingModules{false};
constexpr int64_t kLeastPeakMargin = 64 * 1024;

// The handler the program set, called by the relay after its snapshot. Only the relay sits in
// GTMC_MemoryFull once sampling starts; until then the library's variable is the program's.
constinit std::atomic<MemoryFullHandler> programMemoryFull{nullptr};
constinit std::atomic<bool> relayInstalled{false};

int64_t LoadFigure(void const* at) {
  return std::atomic_ref(*static_cast<int64_t*>(const_cast<void*>(at)))
      .load(std::memory_order_relaxed);
}

template <class T>
std::atomic_ref<T> Shared(T& value) {
  return std::atomic_ref<T>(value);
}

// ---- Where the stacks point: the loaded objects ------------------------------------------

uint64_t seenAdds = UINT64_MAX, seenSubs = UINT64_MAX;

int NoteModule(dl_phdr_info* info, size_t, void* first) {
  if (*static_cast<bool*>(first)) {
    *static_cast<bool*>(first) = false;
    if (info->dlpi_adds == seenAdds && info->dlpi_subs == seenSubs) return 1;
    seenAdds = info->dlpi_adds, seenSubs = info->dlpi_subs;
  }
  uint64_t start = UINT64_MAX, end = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    ElfW(Phdr) const& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    start = std::min<uint64_t>(start, info->dlpi_addr + segment.p_vaddr);
    end = std::max<uint64_t>(end, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
  }
  if (start >= end) return 0;
  char const* const path = *info->dlpi_name != 0 ? info->dlpi_name : programPath;
  uint32_t const known = area->moduleCount;
  for (uint32_t i = 0; i < known; ++i) {
    SiteModule const& module = area->modules[i];
    if (module.start == start && module.bias == info->dlpi_addr &&
        std::strncmp(module.path, path, kSiteModulePath - 1) == 0)
      return 0;
  }
  if (known == kSiteModules) return 1;
  SiteModule& module = area->modules[known];
  module.start = start, module.end = end, module.bias = info->dlpi_addr;
  std::snprintf(module.path, sizeof module.path, "%s", path);
  Shared(area->moduleCount).store(known + 1, std::memory_order_release);
  return 0;
}

// Appends the objects loaded since the last look; the loader's counts tell when nothing
// changed.
void NoteModules() {
  bool first = true;
  dl_iterate_phdr(NoteModule, &first);
}

// ---- Stacks ------------------------------------------------------------------------------

uint64_t HashFrames(uint64_t const* frames, int depth) {
  uint64_t hash = 0xCBF29CE484222325u;
  for (int i = 0; i < depth; ++i) hash = (hash ^ frames[i]) * 0x100000001B3u;
  return hash;
}

// The stack's number, or -1 when the table is full.
int64_t InternStack(uint64_t const* frames, int depth) {
  uint64_t const hash = HashFrames(frames, depth);
  for (size_t probe = 0; probe < kStackProbes; ++probe) {
    std::atomic<uint32_t>& slot = stackSlots[(hash + probe) % kStackSlots];
    uint32_t seen = slot.load(std::memory_order_acquire);
    if (seen == 0) {
      if (!slot.compare_exchange_strong(seen, kStackClaimed, std::memory_order_acquire)) continue;
      // Only the claimant of an empty slot adds a stack, one at a time per slot; the count is
      // raised by compare-exchange so that it never passes the table.
      uint32_t expected = Shared(area->stackCount).load(std::memory_order_relaxed);
      for (;;) {
        if (expected >= kSiteStacks) return -1;  // the slot stays claimed: nothing will fit
        if (Shared(area->stackCount)
                .compare_exchange_weak(expected, expected + 1, std::memory_order_relaxed))
          break;
      }
      SiteStack& stack = area->stacks[expected];
      stack.depth = static_cast<uint32_t>(depth);
      std::memcpy(stack.frames, frames, sizeof(uint64_t) * static_cast<size_t>(depth));
      stackHashes[expected] = hash;
      slot.store(expected + 1, std::memory_order_release);
      return expected;
    }
    if (seen == kStackClaimed) continue;  // being written: at worst the stack appears twice
    SiteStack const& stack = area->stacks[seen - 1];
    if (stackHashes[seen - 1] == hash && stack.depth == static_cast<uint32_t>(depth) &&
        std::memcmp(stack.frames, frames, sizeof(uint64_t) * static_cast<size_t>(depth)) == 0)
      return seen - 1;
  }
  return -1;
}

// The return addresses of the program's frames, innermost first, this object's own left out.
int CaptureStack(uint64_t* frames) {
  void* captured[kSiteFrames + 8];
  int const depth = unw_backtrace(captured, kSiteFrames + 8);
  int skipped = 0;
  while (skipped < depth && reinterpret_cast<uintptr_t>(captured[skipped]) >= ownStart &&
         reinterpret_cast<uintptr_t>(captured[skipped]) < ownEnd)
    ++skipped;
  int const kept = std::min(depth - skipped, int{kSiteFrames});
  for (int i = 0; i < kept; ++i) frames[i] = reinterpret_cast<uintptr_t>(captured[skipped + i]);
  return kept;
}

// ---- Samples and snapshots ---------------------------------------------------------------

void Record(void* block, int64_t weight) {
  uint64_t frames[kSiteFrames];
  int const depth = CaptureStack(frames);
  int64_t const stack = InternStack(frames, depth);
  Shared(area->samples).fetch_add(1, std::memory_order_relaxed);
  if (stack < 0) {
    Shared(area->droppedStacks).fetch_add(1, std::memory_order_relaxed);
    return;
  }
  Withdrawn const sample{.weight = weight, .stack = static_cast<uint32_t>(stack)};
  if (!live.Insert(reinterpret_cast<uintptr_t>(block), sample)) {
    Shared(area->droppedSamples).fetch_add(1, std::memory_order_relaxed);
    return;
  }
  liveBytes[stack].fetch_add(weight, std::memory_order_relaxed);
}

uint64_t NextRandom(ThreadSampler& sampler) {  // xorshift64*
  uint64_t x = sampler.random;
  x ^= x >> 12, x ^= x << 25, x ^= x >> 27;
  sampler.random = x;
  return x * 0x2545F4914F6CDD1Du;
}

int64_t DrawBytesToNextSample(ThreadSampler& sampler) {
  double const uniform = static_cast<double>((NextRandom(sampler) >> 11) + 1) * 0x1p-53;
  return static_cast<int64_t>(-std::log(uniform) * static_cast<double>(interval)) + 1;
}

// Copies the live bytes per stack into `slot`; false when another thread is writing it.
bool TakeSnapshot(int slot, int64_t total) {
  if (writingSnapshot[slot].exchange(true, std::memory_order_acquire)) return false;
  if (!notingModules.exchange(true, std::memory_order_acquire)) {
    NoteModules();
    notingModules.store(false, std::memory_order_release);
  }
  SiteSnapshot& snapshot = area->snapshots[slot];
  Shared(snapshot.taken).store(0, std::memory_order_relaxed);
  uint32_t const stacks = Shared(area->stackCount).load(std::memory_order_acquire);
  for (uint32_t i = 0; i < stacks; ++i)
    snapshot.bytes[i] = liveBytes[i].load(std::memory_order_relaxed);
  snapshot.stackCount = stacks;
  snapshot.total = total;
  snapshot.time = memmgr_run_now();
  Shared(snapshot.taken).store(1, std::memory_order_release);
  writingSnapshot[slot].store(false, std::memory_order_release);
  return true;
}

// The snapshot of one memory-full event, in the next free slot. The library fires the handler
// from one thread at a time, and a claimed slot is its claimant's alone.
void SnapshotMemoryFull() {
  uint32_t claimed = Shared(area->memoryFullCount).load(std::memory_order_relaxed);
  do {
    if (claimed >= kMemoryFullSnapshots) return;
  } while (!Shared(area->memoryFullCount)
                .compare_exchange_weak(claimed, claimed + 1, std::memory_order_relaxed));
  TakeSnapshot(kFirstMemoryFullSnapshot + static_cast<int>(claimed), LoadFigure(figures->total));
}

}  // namespace

namespace sites {

void RelayMemoryFull(unsigned long requestedSize) {
  // The sampler makes no accounted request, so its own thread is never in here while busy;
  // the check only keeps a signal handler's allocation from nesting into a snapshot.
  ThreadSampler& sampler = thisThread;
  if (sampling.load(std::memory_order_relaxed) && !sampler.busy) {
    int const savedErrno = errno;
    sampler.busy = true;
    SnapshotMemoryFull();
    sampler.busy = false;
    errno = savedErrno;
  }
  if (MemoryFullHandler const handler = programMemoryFull.load(std::memory_order_acquire))
    handler(requestedSize);
}

void AdoptMemoryFullHandler() {
  MemoryFullHandler assigned = std::atomic_ref(GTMC_MemoryFull).load(std::memory_order_relaxed);
  if (assigned == &RelayMemoryFull) return;
  // The handler first, so that the relay, once back in place, calls the new one. A direct
  // assignment does not re-arm the library's handler, and neither does putting the relay back.
  programMemoryFull.store(assigned, std::memory_order_release);
  std::atomic_ref(GTMC_MemoryFull)
      .compare_exchange_strong(assigned, &RelayMemoryFull, std::memory_order_relaxed);
}

MemoryFullHandler SetProgramMemoryFullHandler(
    MemoryFullHandler handler, MemoryFullHandler (*librarySetter)(MemoryFullHandler)) {
  if (!relayInstalled.load(std::memory_order_acquire)) return librarySetter(handler);
  MemoryFullHandler const installed =
      std::atomic_ref(GTMC_MemoryFull).load(std::memory_order_relaxed);
  MemoryFullHandler const previous =
      installed == &RelayMemoryFull ? programMemoryFull.load(std::memory_order_relaxed) : installed;
  // The relay itself comes back when the program re-installs what it read from
  // GTMC_MemoryFull: the handler behind it stays, or the relay would call itself.
  if (handler != &RelayMemoryFull) programMemoryFull.store(handler, std::memory_order_release);
  librarySetter(&RelayMemoryFull);
  return previous;
}

// The countdown reached zero, or the block is at least the interval long.
void SampleDue(void* block, size_t requested) {
  ThreadSampler& sampler = thisThread;
  if (sampler.busy) return;
  sampler.busy = true;
  int const savedErrno = errno;  // the unwinder's failed calls must not show in the program
  auto const size = static_cast<int64_t>(requested);
  auto const usable = static_cast<int64_t>(malloc_usable_size(block));
  if (sampler.random == 0) [[unlikely]] {  // the thread's first allocation
    sampler.random =
        (reinterpret_cast<uintptr_t>(&sampler) ^ static_cast<uint64_t>(memmgr_run_now())) | 1;
    sampler.bytesToNextSample += DrawBytesToNextSample(sampler);
  }
  bool const due = sampler.bytesToNextSample <= 0;
  if (due) sampler.bytesToNextSample = DrawBytesToNextSample(sampler);
  if (size >= interval) {
    Record(block, usable);
  } else if (due) {
    // Taken with probability 1 - exp(-size/interval): it stands for its bytes over that.
    double const taken = -std::expm1(-static_cast<double>(size) / static_cast<double>(interval));
    Record(block, std::llround(static_cast<double>(usable) / taken));
  }
  errno = savedErrno;
  sampler.busy = false;
}

void SnapshotPeak(int64_t total) {
  ThreadSampler& sampler = thisThread;
  if (sampler.busy) return;
  sampler.busy = true;
  if (TakeSnapshot(kPeakSnapshot, total))
    nextPeakSnapshot.store(total + std::max(total / 64, kLeastPeakMargin),
                           std::memory_order_relaxed);
  sampler.busy = false;
}

}  // namespace sites
namespace {

// What is still accounted when the image ends: at exit, or just before an exec replaces it.
void SnapshotAtEnd() {
  if (!sampling.load(std::memory_order_relaxed)) return;
  int const savedErrno = errno;
  thisThread.busy = true;
  // Another thread may be ending the image at the same moment; it does not take long.
  for (int tries = 0; tries < 1 << 20; ++tries)
    if (TakeSnapshot(kExitSnapshot, LoadFigure(figures->total))) break;
  thisThread.busy = false;
  errno = savedErrno;
}

void InChild() { sampling.store(false, std::memory_order_relaxed); }

// The segment id the tool passed in MEMMGR_RUN_SITES, or -1: digits only, within an int.
constinit int settingsSegment = -1;
constinit bool settingsTaken = false;

int ParseSegment(char const* text) {
  int64_t id = 0;
  if (*text == 0) return -1;
  for (; *text != 0; ++text) {
    if (*text < '0' || *text > '9') return -1;
    id = id * 10 + (*text - '0');
    if (id > INT32_MAX) return -1;
  }
  return static_cast<int>(id);
}

// The first image of the measured process claims the area for its process id; a later image
// of the same process (after an exec) finds its own id, anything else stays out.
bool ClaimArea(SitesArea& claimed, pid_t self) {
  int32_t owner = 0;
  return Shared(claimed.owner).compare_exchange_strong(owner, self, std::memory_order_relaxed) ||
         owner == self;
}

// The report is about the last image: an image that starts after an exec drops what the one
// before it left (the exit snapshot it took before the exec included), so stacks, modules and
// snapshots all come from one address space.
void ForgetEarlierImages(SitesArea& fresh) {
  fresh.samples = fresh.droppedSamples = fresh.droppedStacks = 0;
  fresh.stackCount = fresh.moduleCount = fresh.memoryFullCount = 0;
  for (SiteSnapshot& snapshot : fresh.snapshots) snapshot.taken = 0;
}

// The memory-full relay goes in front of whatever handler the library holds now: its default,
// unless an earlier constructor assigned another.
void InstallRelay() {
  programMemoryFull.store(std::atomic_ref(GTMC_MemoryFull).load(std::memory_order_relaxed),
                          std::memory_order_release);
  std::atomic_ref(GTMC_MemoryFull).store(&RelayMemoryFull, std::memory_order_relaxed);
  relayInstalled.store(true, std::memory_order_release);
}

int FindRange(dl_phdr_info* info, size_t, void* range) {
  auto& [start, end] = *static_cast<std::pair<uintptr_t, uintptr_t>*>(range);
  uintptr_t const inside = start;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    ElfW(Phdr) const& segment = info->dlpi_phdr[i];
    uintptr_t const from = info->dlpi_addr + segment.p_vaddr;
    if (segment.p_type == PT_LOAD && inside >= from && inside < from + segment.p_memsz) {
      start = from, end = from + segment.p_memsz;
      return 1;
    }
  }
  return 0;
}

// The loaded segment holding `address`: [start, end), or {0, 0}.
std::pair<uintptr_t, uintptr_t> SegmentOf(void const* address) {
  std::pair<uintptr_t, uintptr_t> range{reinterpret_cast<uintptr_t>(address), 0};
  if (dl_iterate_phdr(FindRange, &range) == 0) range = {0, 0};
  return range;
}

// Runs after the library's initialiser (the library is this object's dependency). The first
// unwinding loads the unwinder; done here, before the program may have confined itself.
__attribute__((constructor)) void Start() {
  memmgr_run_sites_take_settings();
  if (settingsSegment < 0) return;
  void* const attached = shmat(settingsSegment, nullptr, 0);
  if (attached == reinterpret_cast<void*>(-1)) return;
  if (!ClaimArea(*static_cast<SitesArea*>(attached), getpid()) || !live.Reserve()) {
    shmdt(attached);
    return;
  }
  area = static_cast<SitesArea*>(attached);
  ForgetEarlierImages(*area);
  interval = std::max<int64_t>(area->interval, 1);
  figures = mmgr_get_figure_locations();
  accountedTotal = static_cast<int64_t const*>(figures->total);
  ssize_t const length = readlink("/proc/self/exe", programPath, sizeof programPath - 1);
  programPath[std::max<ssize_t>(length, 0)] = 0;
  std::tie(ownStart, ownEnd) = SegmentOf(reinterpret_cast<void const*>(&Start));
  std::tie(unwinderStart, unwinderEnd) = SegmentOf(reinterpret_cast<void const*>(&unw_backtrace));
  // The unwinder initialises on its first call, this one, after its code is known.
  int const savedErrno = errno;
  unw_set_caching_policy(unw_local_addr_space, UNW_CACHE_PER_THREAD);
  void* warmUp[4];
  unw_backtrace(warmUp, 4);
  errno = savedErrno;
  NoteModules();
  InstallRelay();
  pthread_atfork(nullptr, nullptr, InChild);
  sampling.store(true, std::memory_order_release);
}

__attribute__((destructor)) void Finish() { SnapshotAtEnd(); }

}  // namespace

#define EXPORTED extern "C" __attribute__((visibility("default")))

// Reads MEMMGR_RUN_SITES from the environment as the process received it, with a scan of its
// own (a shell's getenv is not yet working when the preloaded objects start). The companion
// calls it before it removes the tool's variables, since the loader may start the companion
// first; this object's constructor calls it too. The first call counts.
EXPORTED void memmgr_run_sites_take_settings(void) {
  if (settingsTaken) return;
  settingsTaken = true;
  constexpr std::string_view kPrefix = MEMMGR_RUN_SITES "=";
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
    if (std::strncmp(*entry, kPrefix.data(), kPrefix.size()) == 0)
      settingsSegment = ParseSegment(*entry + kPrefix.size());
}

// The companion calls this just before an exec (it owns the exec wrappers).
EXPORTED void memmgr_run_sites_at_end(void) { SnapshotAtEnd(); }

// The memory-full handler as the program set it, which GTMC_MemoryFull no longer shows once
// the relay is in place: the companion tells from it whether the library's default ended the
// program.
EXPORTED MemoryFullHandler memmgr_run_sites_memory_full_handler(void) {
  MemoryFullHandler const installed =
      std::atomic_ref(GTMC_MemoryFull).load(std::memory_order_relaxed);
  return installed == &RelayMemoryFull ? programMemoryFull.load(std::memory_order_acquire)
                                       : installed;
}

// ---- The unwinder's descriptors -----------------------------------------------------------
//
// libunwind (1.6 on Debian 12) opens a pipe when it initialises and keeps it for good: before
// it reads a word through a frame, it checks that the memory is readable by reading the pipe
// empty and writing one byte of that memory into it (mincore only tells that a page is
// mapped). It does so on ordinary stacks, not only on frames it has to guess, so without a
// working check no stack is unwound at all. The two descriptors would be the program's to see
// and to lose: closed by the program, their numbers go to files it opens next, and libunwind
// would then read from and write into those, or open a new pipe in the middle of a request.
// Closing them after initialising is therefore no cure either. So the pipe the unwinder asks
// for is no pipe: it gets two numbers that can never be descriptors, reading the one answers
// "empty", and writing a byte to the other checks that the byte is readable with a futex
// operation that reads the word holding it and does nothing else (a compare-and-requeue that
// wakes and moves no waiter): EFAULT when it cannot be read, and no descriptor. Unlike
// process_vm_readv, futex is allowed by every seccomp profile that lets a program run threads,
// and qemu's user mode implements it. Only calls made from the unwinder's own code with those
// numbers are answered here; every other call goes on to the C library unchanged.

namespace {

constexpr int kUnwinderReadEnd = -2, kUnwinderWriteEnd = -3;  // never a descriptor

bool FromUnwinder(void const* returnAddress) {
  auto const caller = reinterpret_cast<uintptr_t>(returnAddress);
  return caller >= unwinderStart && caller < unwinderEnd;
}

template <class Function>
Function* Next(char const* name) {
  return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

using SyscallFunction = long(long, ...);
SyscallFunction* NextSyscall() {
  static auto* const next = Next<SyscallFunction>("syscall");
  return next;
}

// What a one-byte write of `address` into a pipe would answer: 1 when readable, else -1 with
// EFAULT. The futex word is the aligned one holding the byte, on the same page. With no waiter
// to wake or requeue, the operation only compares: 0 when the word equals the expected 0,
// EAGAIN when not, EFAULT when it cannot be read.
ssize_t CheckReadable(void const* address) {
  constinit static uint32_t unrelatedWord = 0;  // the requeue's target: never waited on
  auto const word = reinterpret_cast<uintptr_t>(address) & ~uintptr_t{3};
  constexpr long kWake = 0, kRequeue = 0, kExpected = 0;
  long const result = NextSyscall()(SYS_futex, word, long{FUTEX_CMP_REQUEUE_PRIVATE}, kWake,
                                    kRequeue, &unrelatedWord, kExpected);
  if (result >= 0 || errno == EAGAIN) return 1;
  errno = EFAULT;
  return -1;
}

}  // namespace

EXPORTED int pipe2(int descriptors[2], int flags) {
  static auto* const next = Next<int(int*, int)>("pipe2");
  if (!FromUnwinder(__builtin_return_address(0))) return next(descriptors, flags);
  descriptors[0] = kUnwinderReadEnd, descriptors[1] = kUnwinderWriteEnd;
  return 0;
}

EXPORTED int pipe(int descriptors[2]) {  // an unwinder built without pipe2
  static auto* const next = Next<int(int*)>("pipe");
  if (!FromUnwinder(__builtin_return_address(0))) return next(descriptors);
  descriptors[0] = kUnwinderReadEnd, descriptors[1] = kUnwinderWriteEnd;
  return 0;
}

EXPORTED ssize_t read(int descriptor, void* buffer, size_t size) {
  static auto* const next = Next<ssize_t(int, void*, size_t)>("read");
  if (descriptor != kUnwinderReadEnd || !FromUnwinder(__builtin_return_address(0))) [[likely]]
    return next(descriptor, buffer, size);
  errno = EAGAIN;
  return -1;
}

EXPORTED ssize_t write(int descriptor, void const* buffer, size_t size) {
  static auto* const next = Next<ssize_t(int, void const*, size_t)>("write");
  if (descriptor != kUnwinderWriteEnd || !FromUnwinder(__builtin_return_address(0))) [[likely]]
    return next(descriptor, buffer, size);
  return CheckReadable(buffer);
}

// On x86_64 the unwinder writes through syscall(SYS_write, ...). Six arguments are passed on
// whatever the call, as the C library's syscall itself takes six from the registers and stack
// of any caller.
EXPORTED long syscall(long number, ...) {
  SyscallFunction* const next = NextSyscall();
  va_list list;
  va_start(list, number);
  long arguments[6];
  for (long& argument : arguments) argument = va_arg(list, long);
  va_end(list);
  // A descriptor is an int: only the low half of its register is defined.
  if (number == SYS_write && static_cast<int>(arguments[0]) == kUnwinderWriteEnd &&
      FromUnwinder(__builtin_return_address(0))) [[unlikely]]
    return CheckReadable(reinterpret_cast<void const*>(arguments[1]));
  return next(number, arguments[0], arguments[1], arguments[2], arguments[3], arguments[4],
              arguments[5]);
}
