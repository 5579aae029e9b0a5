// SPDX-License-Identifier: Apache-2.0
// What the source files of the library share: its conventions, the state of the process that
// more than one of them reads (every variable, with what it means and who writes it), and the
// out-of-line functions, grouped by what each serves. allocation.h builds the success path on
// top.
#pragma once

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "memmgr"

#ifndef MEMMGR_THREAD_LEASES
#define MEMMGR_THREAD_LEASES 0
#endif
// Set by the build when the compiler emulates thread-local storage (src/CMakeLists.txt).
#ifndef MEMMGR_EMULATED_TLS
#define MEMMGR_EMULATED_TLS 0
#endif

// Internal declarations live in this namespace. Hidden visibility on the namespace (rather
// than on each definition) also covers the declarations other files see, so calls and data
// accesses between our own files bind directly, with no PLT or GOT hop.
#define MEMMGR_INTERNAL_NAMESPACE_BEGIN namespace memmgr __attribute__((visibility("hidden"))) {
#define MEMMGR_INTERNAL_NAMESPACE_END }

// Rare paths are kept out of line so that the inlined fast path stays small.
#define MEMMGR_COLD [[gnu::noinline, gnu::cold]]
#define MEMMGR_ALWAYS_INLINE [[gnu::always_inline]] inline

MEMMGR_INTERNAL_NAMESPACE_BEGIN

inline constexpr int64_t kKiB = int64_t{1} << 10;
inline constexpr int64_t kMiB = kKiB << 10;
inline constexpr int64_t kGiB = kMiB << 10;

// ---- The state of the process ----------------------------------------------------------------
// Every variable is constant-initialised, so the library works from the moment it is mapped,
// before any initialiser (ours or another library's) has run. The variables more than one
// file reads are defined here, once for the whole library (inline variables); the others live
// in the file that uses them, and the hooks the host owns in hooks.cpp.
//
// The thread-locals are ELF TLS, or emulated TLS where the compiler emulates it (the NDK's
// clang below Android 10, API 29, whose loader has no ELF TLS). Emulated, each access is a call
// to __emutls_get_address, and a thread's first access to each variable takes a block for it
// with the C library's malloc, unaccounted (the runtime ends the process when that fails). The
// runtime frees the blocks from a pthread key destructor of its own when the thread ends; an
// access after that takes new, zeroed ones. Nothing here calls the library back: malloc is the
// C library's, never ours.

// ---- The budget: what the budget test and the accounting step read and write

// Governs only the allocations made before the start-up read of the environment replaces it.
inline constexpr int64_t kPreStartupLimit = 1 * kGiB;

// The limit. Signed: counts can go below zero and every comparison with it is signed.
inline constinit std::atomic<int64_t> maxMemory{kPreStartupLimit};

// The success path admits a request when the total plus the request, not rounded, is below the
// limit less 14 (FitsQuickly, allocation.h). The rounded request is at most 15 bytes more, so
// it fits too, without the sum passing INT64_MAX; a request above SIZE_MAX - 15, whose rounded
// size wraps to 0, gives a sum below the total and is admitted only if the total is within the
// limit. Whatever the quick test does not admit (with a limit within 14 of INT64_MIN, nothing)
// goes to the budget test itself, out of line. The success path so saves the rounding and a
// load.
constexpr int64_t QuickLimitOf(int64_t limit) noexcept {
  return limit < INT64_MIN + 14 ? INT64_MIN : limit - 14;
}
inline constinit std::atomic<int64_t> quickLimit{QuickLimitOf(kPreStartupLimit)};

// Every change of the limit. A thread may see one of the two new and the other old, which is
// the same as reading the limit a moment earlier or later.
inline void SetLimit(int64_t limit) noexcept {
  maxMemory.store(limit, std::memory_order_relaxed);
  quickLimit.store(QuickLimitOf(limit), std::memory_order_relaxed);
}
// Sum of the usable sizes of all live accounted blocks, changed only by atomic addition and
// subtraction; with leases, plus every thread's unspent lease.
inline constinit std::atomic<int64_t> usedMemory{0};

#if !MEMMGR_THREAD_LEASES

// One thread-local, so that emulated TLS looks it up once per step.
struct ThreadBooks {
  int64_t allocated = 0;    // what this thread added to usedMemory minus what it subtracted
  int64_t untilSample = 0;  // the sampling countdown (CountDownForSampling)
};
inline constinit thread_local ThreadBooks threadBooks{};

#else

// With leases, each thread keeps budget taken from the shared total in one step, and spends
// and refills it with plain arithmetic on a slot that it alone writes. A lease that runs out is
// refilled to kLeaseRefill (less near the limit); one that grows above its ceiling, from
// releases, gives the excess back. So a lease is never negative and never above 64 KiB,
// however blocks travel between threads.
inline constexpr int64_t kLeaseRefill = 32 * kKiB;
inline constexpr int64_t kLeaseCeiling = 64 * kKiB;
// A thread whose ceiling was taken away near the limit gets it back, at one of its settlings,
// once the shared total (every lease included) leaves at least this much room under the limit.
inline constexpr int64_t kLeaseRoom = 4 * kLeaseCeiling;

// Where a thread keeps its lease: static storage rather than the thread's own, so that any
// thread may read every lease (the exact total is usedMemory less all of them) and take a
// ceiling away, however long ago the owner ended. A line each: only its owner writes it on the
// success path.
struct alignas(64) LeaseSlot {
  // Unspent budget, counted in usedMemory too. Written only by the owner (relaxed stores:
  // readers elsewhere take whatever figure a step left).
  std::atomic<int64_t> lease{0};
  // The most the lease may hold. The owner sets it when there is room under the limit; any
  // thread that decides near the limit sets it to 0, and the owner then gives its lease back at
  // its next step.
  std::atomic<int64_t> ceiling{0};
  std::atomic<bool> taken{false};
};
inline constexpr int kLeaseSlots = 256;
inline constinit LeaseSlot leaseSlots[kLeaseSlots];
// One past the highest slot ever taken: the readers' end.
inline constinit std::atomic<int> leaseSlotsInUse{0};
// The slot of a thread that has none: lease and ceiling 0, never written, so that every step
// goes to the shared total at once.
inline constinit LeaseSlot noLeaseSlot;

struct ThreadBooks {
  // Until the thread's exit hook is in place, and again once it has run, noLeaseSlot: nothing
  // is then left behind when the thread ends.
  LeaseSlot* slot = &noLeaseSlot;
  int64_t allocated = 0;    // what this thread accounted minus what it released
  int64_t untilSample = 0;  // the sampling countdown (CountDownForSampling)
  bool exitHookSet = false;
};
inline constinit thread_local ThreadBooks threadBooks{};

// The exact total, usedMemory less every lease, when no other thread is between two steps.
// With Reclaim, every ceiling also goes to 0, so that the other threads give their leases back
// at their next step and steps go to the shared total one by one while the total is near the
// limit.
enum class LeaseCeilings : bool { Kept, Reclaimed };
int64_t ExactTotal(LeaseCeilings ceilings) noexcept;
// The lease went below 0 or above its ceiling after a step: settles it with the shared total in
// one addition, keeps a new lease, and returns the total this thread then sees.
MEMMGR_COLD int64_t SettleLease(ThreadBooks& books, int64_t lease) noexcept;

#endif

// ---- The usable size of a new block (usable_size.cpp; allocation.h says why)

// The size of a new block is asked through this pointer. Its first target guards a thread's
// first malloc_usable_size call against calls nested in it; once one call has returned it
// holds malloc_usable_size itself. The system's own shape: glibc declares
// malloc_usable_size(void*) noexcept, bionic takes a const void* and promises nothing.
// The first target takes the same.
using UsableSizeFunction = decltype(&malloc_usable_size);
template <typename>
struct BlockParameterOf;
template <typename Block, bool kNoexcept>
struct BlockParameterOf<size_t (*)(Block) noexcept(kNoexcept)> {
  using Type = Block;
};
using SystemBlock = BlockParameterOf<UsableSizeFunction>::Type;
size_t FirstUsableSizeOfNewBlock(SystemBlock block) noexcept;
inline constinit std::atomic<UsableSizeFunction> usableSizeOfNewBlock = &FirstUsableSizeOfNewBlock;
// 0 minus the number of threads inside their first call, modulo 2^64: 0 when there are none,
// else at least 2^64 - (threads), above any address a block can have, so that every release
// leaves the success path. A thread's own entry is visible to its own later reads, which is
// all a nested release needs; another thread that sees it late or early only takes the
// careful road once more or once less, harmlessly. While sampling is on it is kSamplingRaise
// higher (sampling.cpp), so that every release leaves the success path, to be looked up.
inline constinit std::atomic<uintptr_t> carefulReleaseCeiling = 0;
// The size of a block (not null) about to be released or resized while some thread is inside
// its first malloc_usable_size call: malloc_usable_size's answer, or 0 when this thread is the
// one inside (a block taken there then leaves the list of nested blocks).
MEMMGR_COLD size_t CarefulUsableSizeOfHeldBlock(void* block) noexcept;

// ---- The host's policy (policy.cpp sets it, the slow path reads it)

inline constinit std::atomic<bool> overallocationEnabled{true};
inline constinit std::atomic<OverallocationCallback> onOverallocation{nullptr};
// Memory has been full at least once in the life of the process: set when the handler is
// first fired, never cleared (GTMC_IsMemoryFull).
inline constinit std::atomic<bool> memoryFull{false};
// The handler is spent: it has been fired since Set_GTMC_MemoryFull last installed (armed)
// it, so further memory-full events skip it. Only Set_GTMC_MemoryFull clears it.
inline constinit std::atomic<bool> memoryFullFired{false};
// The global operator new and delete the process binds to are this library's. False until the
// initialiser (operators.cpp) has looked: a binding never checked is not reported as ours.
inline constinit std::atomic<bool> operatorsInEffect{false};

// The exported hooks are plain objects the host may write directly (its copy may even be a
// copy relocation in the executable), so they are always reached through the exported symbol
// and accessed atomically in place, afresh at every use.
inline GarbageCollectHook LoadGarbageCollectHook() noexcept {
  return std::atomic_ref<GarbageCollectHook>(GTMC_GarbageCollect).load(std::memory_order_relaxed);
}
inline MemoryFullHandler LoadMemoryFullHandler() noexcept {
  return std::atomic_ref<MemoryFullHandler>(GTMC_MemoryFull).load(std::memory_order_relaxed);
}
inline void StoreMemoryFullHandler(MemoryFullHandler handler) noexcept {
  std::atomic_ref<MemoryFullHandler>(GTMC_MemoryFull).store(handler, std::memory_order_relaxed);
}

// ---- The peak and the pressure signal (policy.cpp)

// The highest total reached since load or the last reset; never below 0.
inline constinit std::atomic<int64_t> peakUsedMemory{0};
// The peak and the pressure signal both watch the total every accounting step computes,
// through this one figure: min(peak, threshold), or lower while it is being refreshed. Lower
// than that is harmless (a wasted slow path); higher would lose a peak or a signal.
inline constinit std::atomic<int64_t> highTotalTripWire{0};

// A step, accounted in full, left the total at `total`, above the trip-wire: raises the peak,
// and fires the pressure signal when the step raised the total past the armed threshold.
enum class TotalChange : bool { Lowered, Raised };
MEMMGR_COLD void NoteHighTotal(int64_t total, TotalChange change);
// Recomputes the trip-wire after the peak or the threshold changed.
void RefreshTripWire() noexcept;

// ---- The recovery sequence (recovery.cpp decides, allocation.h takes the blocks)

// Whether an attempt may take a request over the limit: the quick attempt may not, the later
// attempts of the recovery sequence may (when the host has not disabled over-allocation).
enum class Overallocation : bool { Refused, Allowed };

// Attempts made after the memory-full handler, each followed by a full collection.
inline constexpr int RecoveryRounds = 512;
inline constexpr size_t kCollectEverything = SIZE_MAX;

// How often the recovery sequence called the garbage-collect hook, admitted a request over the
// limit and fired the memory-full handler, for mmgr_get_figure_locations. A line of its own:
// the increments come from threads in recovery, which should not take the line of the total
// from the threads still allocating within the limit.
struct alignas(64) RecoveryCounts {
  std::atomic<int64_t> collections{0};
  std::atomic<int64_t> overallocations{0};
  std::atomic<int64_t> memoryFullEvents{0};
};
inline constinit RecoveryCounts recoveryCounts;

// A request over the limit: true when it may still be allocated, after telling the
// over-allocation callback. Its arguments depend on the caller (see OverallocationCallback).
MEMMGR_COLD bool AdmitOverLimit(size_t callbackRequest, int64_t callbackTotal, int64_t limit,
                                Overallocation overallocation);
// Asks the host's hook, read afresh, to free `amount` bytes; no hook, no call.
MEMMGR_COLD void Collect(size_t amount);
// Fires the memory-full handler unless it is spent (see memoryFullFired).
MEMMGR_COLD void FireMemoryFull(size_t size);
// The library's one report: a system-allocator failure, issued once in the life of the process
// (threads failing at the same instant may each issue it; recovery.cpp says why).
MEMMGR_COLD void ReportSystemAllocationFailure(size_t allocated, size_t requested);

// ---- Call-site sampling (sampling.cpp; reached from the careful roads only)

// Added to carefulReleaseCeiling while sampling is on: it puts the ceiling above every address
// a block can have, arm64 pointers with a tag in their top byte included, with room below it
// for 2^32 threads inside their first malloc_usable_size call.
inline constexpr uintptr_t kSamplingRaise = ~uintptr_t{0} << 32;

// Calls of the setter begun: a sample taken under one number and checked under another is
// withdrawn, and a release found under one and checked under another is not told. Seq_cst, as
// every change of a slot of the sampled set is, so that a call's clearing of the set either sees
// a claim made under the previous number or that claim sees the new number.
inline constinit std::atomic<uint64_t> samplingSession{0};

// Each thread's sampling state off the success path (its countdown is in threadBooks).
struct ThreadSampler {
  uint64_t session = 0;  // the session the countdown was drawn in; 0: never drawn
  uint64_t random = 0;   // splitmix64 state, seeded at the first draw
  bool telling = false;  // inside the callback: nothing is sampled or told
};
inline constinit thread_local ThreadSampler threadSampler;

// The set of sampled blocks (sampling.cpp) is 2048 lines picked by address; per line, at least
// the slots that hold a block, raised before a claim and lowered once a slot is free again.
// Most releases find 0 here, in 8 KiB that stays cached, and need nothing more.
inline constexpr int kSampledLines = 2048;
inline constinit std::atomic<uint32_t> sampledSlotsInUse[kSampledLines];

// Fibonacci hashing of the address without its alignment bits: neighbouring blocks spread over
// the lines.
MEMMGR_ALWAYS_INLINE size_t SampledLineOf(uintptr_t address) noexcept {
  constexpr int kLineBits = __builtin_ctz(kSampledLines);
  return ((address >> 3) * 0x9E3779B97F4A7C15u) >> (64 - kLineBits);
}

// Every new block is counted down on the success path, sampling on or off: a subtraction and
// a branch on the thread's books, which the accounting step has just reached. Only a countdown
// that runs out leaves the success path. While sampling is off, the countdown is refilled with
// kIdleCountdown, so a thread finds sampling turned on within that many bytes; while a
// callback runs, it cannot run out.
inline constexpr int64_t kIdleCountdown = 64 * kKiB;
MEMMGR_COLD void CountdownRanOut(void* block, size_t usableSize) noexcept;

MEMMGR_ALWAYS_INLINE void CountDownForSampling(void* block, size_t usableSize) noexcept {
  ThreadBooks& books = threadBooks;
  books.untilSample -= static_cast<int64_t>(usableSize);
  if (books.untilSample < 0) [[unlikely]]
    CountdownRanOut(block, usableSize);
}

MEMMGR_COLD void TellIfSampled(void* block, size_t usableSize) noexcept;

// A block about to go back to the system allocator: told if it was sampled. Relaxed: a block's
// claim happened before the block reached whoever releases it.
MEMMGR_ALWAYS_INLINE void NoteReleaseForSampling(void* block, size_t usableSize) noexcept {
  uintptr_t const address = reinterpret_cast<uintptr_t>(block);
  if (sampledSlotsInUse[SampledLineOf(address)].load(std::memory_order_relaxed) != 0) [[unlikely]]
    TellIfSampled(block, usableSize);
}
// Around a resize: a sampled block is held before realloc, so that its address is never taken
// for a sample of its own while realloc may have freed it, and settled after it with the result
// (null when realloc failed): the old block told as released and the new one counted down, or
// the hold undone. The old block is named by its address, taken before realloc.
struct SampledResize {
  uintptr_t address;
  bool on;    // sampling was on: there is something to settle
  bool held;  // the block was sampled and is held
};
MEMMGR_COLD SampledResize HoldSampledBlock(void* block) noexcept;
MEMMGR_COLD void SettleSampledResize(SampledResize resize, size_t oldSize, void* result,
                                     size_t newSize) noexcept;

MEMMGR_INTERNAL_NAMESPACE_END
