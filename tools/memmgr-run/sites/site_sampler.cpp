// Which accounted blocks are sampled, the stacks they came from, and the snapshots of live
// bytes per stack at the budget's moments: whenever the total passes the last peak snapshot by
// a margin, just before a memory-full event, and at exit (or exec). Sampling is by bytes: each
// thread counts down an exponentially distributed number of bytes, so a block is sampled with
// probability 1 - exp(-size/interval) and stands for size divided by that; a block of the
// interval or more is always sampled and stands for itself. Everything lives in fixed storage:
// the segment shared with the tool and this object's own zero-initialised tables.
#include "sites/site_sampler.h"

#include <dlfcn.h>
#include <link.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memmgr>

#include "sites/live_samples.h"
#include "sites/sites_area.h"

namespace sites {
constinit std::atomic<bool> sampling{false};
constinit thread_local ThreadSampler thisThread;
int64_t interval = 1;
int64_t const* accountedTotal;
constinit std::atomic<int64_t> nextPeakSnapshot{0};
constinit std::atomic<bool> watchingMemoryFull{false};
constinit LiveSamples live;
constinit std::atomic<int64_t> liveBytes[kSiteStacks]{};
}  // namespace sites

namespace {

using namespace sites;

SitesArea* area;
mmgr_figure_locations const* figures;
uintptr_t ownStart, ownEnd;  // this object's code: its frames are not the program's
char programPath[kSiteModulePath];

// Stacks by hash: 0 empty, kStackClaimed while being written, else stack number + 1.
constexpr uint32_t kStackClaimed = UINT32_MAX;
constexpr size_t kStackSlots = 2 * kSiteStacks, kStackProbes = 64;
constinit std::atomic<uint32_t> stackSlots[kStackSlots]{};
uint64_t stackHashes[kSiteStacks];

// The memory-full events counted when the pending memory-full snapshot was taken, or -1. The
// handler may end the program inside the request, so the end looks at it too.
constinit std::atomic<int64_t> pendingFullEvents{-1};
constinit std::atomic<bool> snapshotting{false};
constexpr int64_t kLeastPeakMargin = 64 * 1024;

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

// Copies the live bytes per stack into `slot`; false when another thread is taking one.
bool TakeSnapshot(int slot, int64_t total) {
  if (snapshotting.exchange(true, std::memory_order_acquire)) return false;
  NoteModules();
  SiteSnapshot& snapshot = area->snapshots[slot];
  Shared(snapshot.taken).store(0, std::memory_order_relaxed);
  uint32_t const stacks = Shared(area->stackCount).load(std::memory_order_acquire);
  for (uint32_t i = 0; i < stacks; ++i)
    snapshot.bytes[i] = liveBytes[i].load(std::memory_order_relaxed);
  snapshot.stackCount = stacks;
  snapshot.total = total;
  snapshot.time = memmgr_run_now();
  Shared(snapshot.taken).store(1, std::memory_order_release);
  snapshotting.store(false, std::memory_order_release);
  return true;
}

// Keeps the pending memory-full snapshot when an event came after it.
void SettleMemoryFull(int64_t eventsBefore) {
  if (LoadFigure(figures->memoryFullEvents) <= eventsBefore) return;
  uint32_t expected = Shared(area->memoryFullCount).load(std::memory_order_relaxed);
  if (expected < kMemoryFullSnapshots)
    Shared(area->memoryFullCount).compare_exchange_strong(expected, expected + 1);
}

// Slack over the request for the library's rounding: a request this close to the limit is
// worth a snapshot in case it ends in a memory-full event.
constexpr int64_t kFullSlack = 4096;

}  // namespace

namespace sites {

Attempt WatchMemoryFull(size_t size) {
  // The run's limit is fixed once the companion has started: without one, or with every
  // memory-full snapshot taken, there is nothing more to watch.
  uint32_t const taken = Shared(area->memoryFullCount).load(std::memory_order_relaxed);
  if (taken >= kMemoryFullSnapshots || LoadFigure(figures->limit) == INT64_MAX) {
    watchingMemoryFull.store(false, std::memory_order_relaxed);
    return {};
  }
  int64_t const room =
      LoadFigure(figures->limit) - std::max<int64_t>(LoadFigure(figures->total), 0);
  if (thisThread.busy || (room >= 0 && static_cast<uint64_t>(room) >= size + kFullSlack)) return {};
  int64_t const events = LoadFigure(figures->memoryFullEvents);
  thisThread.busy = true;
  bool const pending =
      TakeSnapshot(kFirstMemoryFullSnapshot + static_cast<int>(taken), LoadFigure(figures->total));
  thisThread.busy = false;
  if (!pending) return {};
  pendingFullEvents.store(events, std::memory_order_relaxed);
  return {.memoryFullEvents = events};
}

void SettleAttempt(Attempt const& attempt) {
  int64_t pending = attempt.memoryFullEvents;
  if (pendingFullEvents.compare_exchange_strong(pending, -1, std::memory_order_relaxed))
    SettleMemoryFull(attempt.memoryFullEvents);
}

// The countdown reached zero, or the block is at least the interval long.
void SampleDue(void* block, size_t requested) {
  ThreadSampler& sampler = thisThread;
  if (sampler.busy) return;
  sampler.busy = true;
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
  if (int64_t const pending = pendingFullEvents.exchange(-1, std::memory_order_relaxed);
      pending >= 0)
    SettleMemoryFull(pending);
  thisThread.busy = true;
  // Another thread may be in the middle of one; it does not take long.
  for (int tries = 0; tries < 1 << 20; ++tries)
    if (TakeSnapshot(kExitSnapshot, LoadFigure(figures->total))) break;
  thisThread.busy = false;
}

void InChild() { sampling.store(false, std::memory_order_relaxed); }

int FindSelf(dl_phdr_info* info, size_t, void*) {
  auto const self = reinterpret_cast<uintptr_t>(&FindSelf);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    ElfW(Phdr) const& segment = info->dlpi_phdr[i];
    uintptr_t const start = info->dlpi_addr + segment.p_vaddr;
    if (segment.p_type == PT_LOAD && self >= start && self < start + segment.p_memsz) {
      ownStart = start, ownEnd = start + segment.p_memsz;
      return 1;
    }
  }
  return 0;
}

// Runs after the library's initialiser (the library is this object's dependency). The first
// unwinding loads the unwinder; done here, before the program may have confined itself.
__attribute__((constructor)) void Start() {
  char const* const settings = std::getenv(MEMMGR_RUN_SITES);
  if (settings == nullptr) return;
  int id = -1, end = 0;
  bool const valid = std::sscanf(settings, "%d%n", &id, &end) == 1 && settings[end] == 0;
  unsetenv(MEMMGR_RUN_SITES);
  void* const attached = valid ? shmat(id, nullptr, 0) : reinterpret_cast<void*>(-1);
  if (attached == reinterpret_cast<void*>(-1) || !live.Reserve()) return;
  area = static_cast<SitesArea*>(attached);
  interval = std::max<int64_t>(area->interval, 1);
  figures = mmgr_get_figure_locations();
  accountedTotal = static_cast<int64_t const*>(figures->total);
  watchingMemoryFull.store(true, std::memory_order_relaxed);
  ssize_t const length = readlink("/proc/self/exe", programPath, sizeof programPath - 1);
  programPath[std::max<ssize_t>(length, 0)] = 0;
  dl_iterate_phdr(FindSelf, nullptr);
  unw_set_caching_policy(unw_local_addr_space, UNW_CACHE_PER_THREAD);
  void* warmUp[4];
  unw_backtrace(warmUp, 4);
  NoteModules();
  pthread_atfork(nullptr, nullptr, InChild);
  sampling.store(true, std::memory_order_release);
}

__attribute__((destructor)) void Finish() { SnapshotAtEnd(); }

}  // namespace

// The companion calls this just before an exec (it owns the exec wrappers).
extern "C" __attribute__((visibility("default"))) void memmgr_run_sites_at_end(void) {
  SnapshotAtEnd();
}
