// SPDX-License-Identifier: Apache-2.0
// --sites, inside the program: the library samples (mmgr_set_sampling) and tells this file of
// each sampled block and of its release; here each sampled block gets the call stack it came
// from, and the estimated live bytes per stack are kept and copied into the sites area at the
// budget's moments: whenever a sample finds the total past the last peak snapshot by a margin,
// at each memory-full event (from the handler the library calls, before anything is freed), and
// at exit (or exec). Everything lives in fixed storage: the area shared with the tool and this
// file's own zero-initialised tables.
//
// Stacks are walked by libgcc's unwinder, which reads the unwind tables in memory and opens
// nothing: no descriptor of the program's is made, read or written. A frame without unwind
// information ends the stack there.
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <sys/shm.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "preload/preload.h"

namespace {

// Set while this image samples; cleared in a child, which is not measured.
constinit std::atomic<bool> sampling{false};
SitesArea* area;
int64_t const* accountedTotal;
char programPath[kSiteModulePath];
// The frames of this object and of the library come before the program's on every stack.
struct CodeRange {
  uintptr_t start = 0, end = 0;
  bool Holds(uintptr_t address) const { return address >= start && address < end; }
};
CodeRange ownCode, libraryCode;

template <class T>
std::atomic_ref<T> Shared(T& value) {
  return std::atomic_ref<T>(value);
}

int64_t Total() {
  return std::atomic_ref(*const_cast<int64_t*>(accountedTotal)).load(std::memory_order_relaxed);
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

int FindSegment(dl_phdr_info* info, size_t, void* range) {
  auto& found = *static_cast<CodeRange*>(range);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    ElfW(Phdr) const& segment = info->dlpi_phdr[i];
    uintptr_t const from = info->dlpi_addr + segment.p_vaddr;
    if (segment.p_type == PT_LOAD && found.start >= from && found.start < from + segment.p_memsz) {
      found = {from, from + segment.p_memsz};
      return 1;
    }
  }
  return 0;
}

// The loaded segment holding `address`; empty when none does.
CodeRange SegmentOf(void const* address) {
  CodeRange range{reinterpret_cast<uintptr_t>(address), 0};
  if (dl_iterate_phdr(FindSegment, &range) == 0) range = {};
  return range;
}

// ---- Stacks ------------------------------------------------------------------------------

// Stacks by hash: 0 empty, kStackClaimed while being written, else stack number + 1.
constexpr uint32_t kStackClaimed = UINT32_MAX;
constexpr size_t kStackSlots = 2 * kSiteStacks, kStackProbes = 64;
constinit std::atomic<uint32_t> stackSlots[kStackSlots]{};
uint64_t stackHashes[kSiteStacks];
constinit std::atomic<int64_t> liveBytes[kSiteStacks]{};  // estimated live bytes per stack

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

// ---- Walks: libgcc's once, then the return addresses checked where it found them ---------
// Most samples come from a call chain already walked at the same depth of the same stack. A walk
// remembers, keyed by the sampler's own frame address, where on the stack it found each return
// address, the sampler's and the library's included; the next sample from that frame address
// reads those places instead of unwinding, and takes the remembered stack if every one still
// holds its return address. A different call chain differs in a return address at the same
// place, and is walked afresh. Only live frames are read: each place lies above the one before,
// and is read only once that one matched, so that it is inside a frame the matched return
// address shows to be there. A walk whose return addresses do not each lie just below the frame
// address libgcc gives (its callee's, as x86-64's calls leave it; often not so on arm64) is not
// remembered. Entries are written under a sequence count, so that a reader never takes the
// places of one walk with the return addresses of another.

constexpr int kSkippedFrames = 16;  // the sampler's and the library's frames, at most
constexpr int kWalkPlaces = kSkippedFrames + kSiteFrames;

struct Capture {
  uint64_t frames[kSiteFrames];  // the program's, innermost first
  int depth = 0;
  uintptr_t anchor = 0;  // the sampler's frame address: places are kept above it; 0: none
  int walked = 0;        // frames walked; the first is the sampler's own, at the walk's call
  uint64_t skipped[kSkippedFrames];  // return addresses of the sampler's and library's frames
  int skippedCount = 0;
  uint32_t places[kWalkPlaces];  // above `anchor`: the skipped frames', then the program's
  bool rememberable = true;
};

constexpr size_t kKnownWalkSets = 512, kKnownWalkWays = 4;
struct KnownWalk {
  std::atomic<uint32_t> sequence{0};  // odd while written
  std::atomic<uint32_t> stack{0};
  std::atomic<uintptr_t> anchor{0};
  std::atomic<uint32_t> skippedCount{0};
  std::atomic<uint64_t> skipped[kSkippedFrames]{};
  std::atomic<uint32_t> places[kWalkPlaces]{};
};
constinit KnownWalk knownWalks[kKnownWalkSets][kKnownWalkWays]{};
constinit std::atomic<uint32_t> nextKnownWay{0};

KnownWalk (&KnownWalksAt(uintptr_t anchor))[kKnownWalkWays] {
  return knownWalks[(anchor >> 4) * 0x9E3779B97F4A7C15u >> 40 & (kKnownWalkSets - 1)];
}

// The stack `walk` remembers, if the stack above `anchor` still holds its return addresses
// where they were; else -1.
int64_t CheckWalk(KnownWalk& walk, uintptr_t anchor) {
  uint32_t const sequence = walk.sequence.load(std::memory_order_acquire);
  if ((sequence & 1) != 0 || walk.anchor.load(std::memory_order_acquire) != anchor) return -1;
  uint32_t const stack = walk.stack.load(std::memory_order_acquire);
  uint32_t const skipped = walk.skippedCount.load(std::memory_order_acquire);
  if (stack >= Shared(area->stackCount).load(std::memory_order_acquire) || skipped > kSkippedFrames)
    return -1;
  SiteStack const& known = area->stacks[stack];
  uint32_t const count = skipped + std::min<uint32_t>(known.depth, kSiteFrames);
  uint64_t returns[kWalkPlaces];
  uint32_t places[kWalkPlaces];
  for (uint32_t i = 0; i < count; ++i) {
    returns[i] =
        i < skipped ? walk.skipped[i].load(std::memory_order_acquire) : known.frames[i - skipped];
    places[i] = walk.places[i].load(std::memory_order_acquire);
  }
  if (walk.sequence.load(std::memory_order_relaxed) != sequence) return -1;
  for (uint32_t i = 0, above = sizeof(uint64_t); i < count;
       above = places[i++] + sizeof(uint64_t)) {
    if (places[i] < above || *reinterpret_cast<uint64_t const*>(anchor + places[i]) != returns[i])
      return -1;
  }
  return stack;
}

int64_t KnownStack(uintptr_t anchor) {
  for (KnownWalk& walk : KnownWalksAt(anchor))
    if (int64_t const stack = CheckWalk(walk, anchor); stack >= 0) return stack;
  return -1;
}

void RememberWalk(Capture const& capture, uint32_t stack) {
  uint32_t const way = nextKnownWay.fetch_add(1, std::memory_order_relaxed) % kKnownWalkWays;
  KnownWalk& walk = KnownWalksAt(capture.anchor)[way];
  uint32_t sequence = walk.sequence.load(std::memory_order_relaxed);
  // Another writer at it: this walk is not remembered, which costs only a later walk.
  if ((sequence & 1) != 0 ||
      !walk.sequence.compare_exchange_strong(sequence, sequence + 1, std::memory_order_acquire))
    return;
  // Release, each: a reader that sees any of these sees the odd count written before them.
  walk.stack.store(stack, std::memory_order_release);
  walk.anchor.store(capture.anchor, std::memory_order_release);
  walk.skippedCount.store(static_cast<uint32_t>(capture.skippedCount), std::memory_order_release);
  for (int i = 0; i < capture.skippedCount; ++i)
    walk.skipped[i].store(capture.skipped[i], std::memory_order_release);
  for (int i = 0; i < capture.skippedCount + capture.depth; ++i)
    walk.places[i].store(capture.places[i], std::memory_order_release);
  walk.sequence.store(sequence + 2, std::memory_order_release);
}

// Notes where the return address of the frame walked past was found, relative to the anchor.
void NotePlace(Capture& kept, _Unwind_Context* context, uint64_t returnAddress) {
  int const index = kept.skippedCount + kept.depth;
  uintptr_t const place = _Unwind_GetCFA(context) - sizeof(uint64_t);
  bool const near = place > kept.anchor && place - kept.anchor < UINT32_MAX;
  if (index < kWalkPlaces && near && *reinterpret_cast<uint64_t const*>(place) == returnAddress)
    kept.places[index] = static_cast<uint32_t>(place - kept.anchor);
  else
    kept.rememberable = false;
}

_Unwind_Reason_Code KeepFrame(_Unwind_Context* context, void* capture) {
  auto& kept = *static_cast<Capture*>(capture);
  uintptr_t const returnAddress = _Unwind_GetIP(context);
  if (returnAddress == 0) return _URC_END_OF_STACK;
  // The first frame is the sampler's own, at the call of the walk, which a check never sees.
  bool const past = kept.walked++ > 0 && kept.anchor != 0;
  if (past) NotePlace(kept, context, returnAddress);
  // The sampling itself and the library's entry point: not the program's.
  if (kept.depth == 0 && (ownCode.Holds(returnAddress) || libraryCode.Holds(returnAddress))) {
    if (past && kept.skippedCount < kSkippedFrames)
      kept.skipped[kept.skippedCount++] = returnAddress;
    else if (past)
      kept.rememberable = false;
    return _URC_NO_REASON;
  }
  kept.frames[kept.depth++] = returnAddress;
  return kept.depth == kSiteFrames ? _URC_END_OF_STACK : _URC_NO_REASON;
}

// ---- The sampled blocks still live: which stack each came from ----------------------------
// The library holds at most 16384 sampled blocks; four times the slots keep the searches short.
// A slot goes empty → claimed → address → gone, and gone slots are reused: claimed first, so
// that its stack is written by its claimant alone. The same address is never inserted and
// removed at once: the library tells a release before the block can be handed out again.

constexpr uintptr_t kEmpty = 0, kGone = 1, kClaimed = 2;
constexpr size_t kLiveSlots = size_t{1} << 16, kLiveProbes = 64;
struct LiveSlot {
  std::atomic<uintptr_t> address{kEmpty};
  uint32_t stack = 0;
};
constinit LiveSlot liveSlots[kLiveSlots]{};

size_t Home(uintptr_t address) { return ((address >> 4) * 0x9E3779B97F4A7C15u) >> 48; }

bool Insert(uintptr_t address, uint32_t stack) {
  for (size_t probe = 0; probe < kLiveProbes; ++probe) {
    LiveSlot& slot = liveSlots[(Home(address) + probe) % kLiveSlots];
    uintptr_t seen = slot.address.load(std::memory_order_relaxed);
    if (seen != kEmpty && seen != kGone) continue;
    if (!slot.address.compare_exchange_strong(seen, kClaimed, std::memory_order_acquire)) continue;
    slot.stack = stack;
    slot.address.store(address, std::memory_order_release);
    return true;
  }
  return false;
}

// The stack `address` came from, or -1 when it was not kept.
int64_t Remove(uintptr_t address) {
  for (size_t probe = 0; probe < kLiveProbes; ++probe) {
    LiveSlot& slot = liveSlots[(Home(address) + probe) % kLiveSlots];
    if (slot.address.load(std::memory_order_acquire) != address) continue;
    uint32_t const stack = slot.stack;
    slot.address.store(kGone, std::memory_order_release);
    return stack;
  }
  return -1;
}

// ---- Snapshots ---------------------------------------------------------------------------

// One writer per snapshot slot at a time; the module table has its own, since every snapshot
// brings it up to date and one thread doing so is enough.
constinit std::atomic<bool> writingSnapshot[kSnapshotSlots]{};
constinit std::atomic<bool> notingModules{false};
constinit std::atomic<int64_t> nextPeakSnapshot{0};
constexpr int64_t kLeastPeakMargin = 64 * 1024;

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

// ---- Memory-full events ------------------------------------------------------------------
// Only the relay sits in GTMC_MemoryFull once sampling starts: it snapshots the event and then
// calls the handler the program set, which is kept here.

constinit std::atomic<MemoryFullHandler> programMemoryFull{nullptr};
constinit std::atomic<bool> relayInstalled{false};

// The library fires the handler from one thread at a time, and a claimed slot is its
// claimant's alone.
void SnapshotMemoryFull() {
  uint32_t claimed = Shared(area->memoryFullCount).load(std::memory_order_relaxed);
  do {
    if (claimed >= kMemoryFullSnapshots) return;
  } while (!Shared(area->memoryFullCount)
                .compare_exchange_weak(claimed, claimed + 1, std::memory_order_relaxed));
  TakeSnapshot(kFirstMemoryFullSnapshot + static_cast<int>(claimed), Total());
}

void RelayMemoryFull(unsigned long requestedSize) {
  if (sampling.load(std::memory_order_relaxed)) {
    int const savedErrno = errno;
    SnapshotMemoryFull();
    errno = savedErrno;
  }
  if (MemoryFullHandler const handler = programMemoryFull.load(std::memory_order_acquire))
    handler(requestedSize);
}

// The program may assign GTMC_MemoryFull directly instead of calling the setter: each sample
// takes its handler behind the relay. The handler first, so that the relay, once back in
// place, calls the new one; neither a direct assignment nor putting the relay back re-arms.
void AdoptAssignedHandler() {
  MemoryFullHandler assigned = std::atomic_ref(GTMC_MemoryFull).load(std::memory_order_relaxed);
  if (assigned == &RelayMemoryFull) [[likely]]
    return;
  programMemoryFull.store(assigned, std::memory_order_release);
  std::atomic_ref(GTMC_MemoryFull)
      .compare_exchange_strong(assigned, &RelayMemoryFull, std::memory_order_relaxed);
}

// The program's Set_GTMC_MemoryFull or mmgr_set_memory_full: `handler` goes behind the relay,
// and the library's setter (`next`) re-arms the relay. Returns the program's previous handler.
MemoryFullHandler SetProgramHandler(MemoryFullHandler handler, char const* setter) {
  auto* const next =
      reinterpret_cast<MemoryFullHandler (*)(MemoryFullHandler)>(dlsym(RTLD_NEXT, setter));
  if (!relayInstalled.load(std::memory_order_acquire)) return next(handler);
  MemoryFullHandler const previous = memmgr_run_program_memory_full();
  // The relay itself comes back when the program re-installs what it read from
  // GTMC_MemoryFull: the handler behind it stays, or the relay would call itself.
  if (handler != &RelayMemoryFull) programMemoryFull.store(handler, std::memory_order_release);
  next(&RelayMemoryFull);
  return previous;
}

// ---- What the library tells ----------------------------------------------------------------

// On the thread that allocates or releases `block`, with sampling suspended there: nothing
// this allocates is sampled. The unwinder's failed lookups must not show in errno.
void Sampled(void const* block, size_t, bool allocated, size_t weight) {
  if (!sampling.load(std::memory_order_relaxed)) return;
  auto const bytes = static_cast<int64_t>(weight);
  auto const address = reinterpret_cast<uintptr_t>(block);
  if (!allocated) {
    if (int64_t const stack = Remove(address); stack >= 0)
      liveBytes[stack].fetch_sub(bytes, std::memory_order_relaxed);
    return;
  }
  int const savedErrno = errno;
  AdoptAssignedHandler();
  Capture capture;
  capture.anchor = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  int64_t stack = KnownStack(capture.anchor);
  if (stack < 0) {
    _Unwind_Backtrace(KeepFrame, &capture);
    stack = InternStack(capture.frames, capture.depth);
    if (stack >= 0 && capture.rememberable && capture.depth > 0)
      RememberWalk(capture, static_cast<uint32_t>(stack));
  }
  Shared(area->samples).fetch_add(1, std::memory_order_relaxed);
  if (stack < 0) {
    Shared(area->droppedStacks).fetch_add(1, std::memory_order_relaxed);
  } else if (!Insert(address, static_cast<uint32_t>(stack))) {
    Shared(area->droppedSamples).fetch_add(1, std::memory_order_relaxed);
  } else {
    liveBytes[stack].fetch_add(bytes, std::memory_order_relaxed);
    // The block is on the books already: the total includes it.
    int64_t const total = Total();
    if (total > nextPeakSnapshot.load(std::memory_order_relaxed) &&
        TakeSnapshot(kPeakSnapshot, total))
      nextPeakSnapshot.store(total + std::max(total / 64, kLeastPeakMargin),
                             std::memory_order_relaxed);
  }
  errno = savedErrno;
}

// The first image of the measured process claims the area for its process id; a later image
// of the same process (after an exec) finds its own id, anything else stays out.
bool ClaimArea(SitesArea& claimed, pid_t self) {
  int32_t owner = 0;
  return Shared(claimed.owner).compare_exchange_strong(owner, self, std::memory_order_relaxed) ||
         owner == self;
}

}  // namespace

#define EXPORTED extern "C" __attribute__((visibility("default")))

// The library's setters, C and C++, in front of the library's own.
EXPORTED MemoryFullHandler mmgr_set_memory_full(MemoryFullHandler handler) {
  return SetProgramHandler(handler, "mmgr_set_memory_full");
}
__attribute__((visibility("default"))) MemoryFullHandler Set_GTMC_MemoryFull(
    MemoryFullHandler handler) {
  return SetProgramHandler(handler, "_Z19Set_GTMC_MemoryFullPFvmE");
}

MemoryFullHandler memmgr_run_program_memory_full(void) {
  MemoryFullHandler const installed =
      std::atomic_ref(GTMC_MemoryFull).load(std::memory_order_relaxed);
  return installed == &RelayMemoryFull ? programMemoryFull.load(std::memory_order_acquire)
                                       : installed;
}

// Runs from the companion's initialiser, after the library's. The first walk of a stack loads
// what the unwinder needs; done here, before the program may have confined itself.
bool memmgr_run_start_sampling(int segment) {
  void* const attached = shmat(segment, nullptr, 0);
  if (attached == reinterpret_cast<void*>(-1)) return false;
  if (!ClaimArea(*static_cast<SitesArea*>(attached), getpid())) {
    shmdt(attached);
    return false;
  }
  area = static_cast<SitesArea*>(attached);
  // The report is about the last image: what an image before an exec left goes, so that
  // stacks, modules and snapshots all come from one address space.
  area->samples = area->droppedSamples = area->droppedStacks = 0;
  area->stackCount = area->moduleCount = area->memoryFullCount = 0;
  for (SiteSnapshot& snapshot : area->snapshots) snapshot.taken = 0;
  accountedTotal = static_cast<int64_t const*>(mmgr_get_figure_locations()->total);
  ssize_t const length = readlink("/proc/self/exe", programPath, sizeof programPath - 1);
  programPath[std::max<ssize_t>(length, 0)] = 0;
  ownCode = SegmentOf(reinterpret_cast<void const*>(&Sampled));
  libraryCode = SegmentOf(reinterpret_cast<void const*>(&mmgr_set_sampling));
  int const savedErrno = errno;
  Capture warmUp;
  _Unwind_Backtrace(KeepFrame, &warmUp);
  errno = savedErrno;
  NoteModules();
  // The relay goes in front of whatever handler the library holds now: its default, unless an
  // earlier initialiser assigned another.
  programMemoryFull.store(std::atomic_ref(GTMC_MemoryFull).load(std::memory_order_relaxed),
                          std::memory_order_release);
  std::atomic_ref(GTMC_MemoryFull).store(&RelayMemoryFull, std::memory_order_relaxed);
  relayInstalled.store(true, std::memory_order_release);
  sampling.store(true, std::memory_order_release);
  mmgr_set_sampling(static_cast<size_t>(std::max<int64_t>(area->interval, 1)), Sampled);
  return true;
}

void memmgr_run_stop_sampling(void) {
  if (!sampling.exchange(false, std::memory_order_relaxed)) return;
  mmgr_set_sampling(0, nullptr);
}

void memmgr_run_sampling_at_end(void) {
  if (!sampling.load(std::memory_order_relaxed)) return;
  int const savedErrno = errno;
  // Another thread may be ending the image at the same moment; it does not take long.
  for (int tries = 0; tries < 1 << 20; ++tries)
    if (TakeSnapshot(kExitSnapshot, Total())) break;
  errno = savedErrno;
}
