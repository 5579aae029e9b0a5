// SPDX-License-Identifier: Apache-2.0
// Sampling call sites: the setter, each thread's countdown once it runs out, and the set of
// sampled blocks whose releases are told. The success path only counts new blocks down
// (CountDownForSampling, internal.h); the rest is here. While sampling is on, the setter raises
// carefulReleaseCeiling (internal.h) above every address, so every release takes its careful
// road, which tests the released block's line of the set inline and calls in here only when
// the line holds a sampled block.
//
// The rest of its state lives here: no inlined code reads it. Nothing allocates
// and nothing waits. A sample is taken within a session, one call of the setter to the next;
// every step that depends on the settings checks that no call started or ran meanwhile, and
// withdraws what it did otherwise, so that a block sampled under one setting is never told as
// released under the next.
#include <cmath>

#include "internal.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

namespace {

// ---- The settings ----------------------------------------------------------------------------

// Calls of the setter under way; while any is, the settings may be half written.
constinit std::atomic<int> settersUnderway{0};
constinit std::atomic<size_t> samplingInterval{0};
constinit std::atomic<SamplingCallback> samplingCallback{nullptr};
// The ceiling holds kSamplingRaise: changed by exchange, so that it is raised once and lowered
// once however calls overlap.
constinit std::atomic<bool> ceilingRaised{false};

// The settings one step works with, read as a whole or not at all (a setter under way).
struct Settings {
  uint64_t session;
  size_t meanInterval;
  SamplingCallback callback;
};

bool ReadSettings(Settings& settings) noexcept {
  settings.session = samplingSession.load(std::memory_order_acquire);
  // Acquire: a count of 0 written by a setter's end shows that setter's settings.
  if (settersUnderway.load(std::memory_order_acquire) != 0) return false;
  settings.meanInterval = samplingInterval.load(std::memory_order_relaxed);
  settings.callback = samplingCallback.load(std::memory_order_relaxed);
  return settings.callback != nullptr && settings.meanInterval != 0;
}

// Whether settings read earlier still hold: no setter began since.
bool StillHold(Settings const& settings) noexcept {
  return samplingSession.load(std::memory_order_seq_cst) == settings.session &&
         settersUnderway.load(std::memory_order_seq_cst) == 0;
}

// ---- Each thread's countdown (internal.h holds it) ------------------------------------

// Threads that have drawn a countdown: each seeds its generator from its own number, so that a
// process that makes the same steps in the same threads samples the same blocks.
constinit std::atomic<uint64_t> threadsSeeded{0};

uint64_t NextRandom(ThreadSampler& sampler) noexcept {
  uint64_t z = (sampler.random += 0x9E3779B97F4A7C15u);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

// Bytes to the next sample: exponential with mean `interval`, so that every byte has the same
// chance whatever the blocks around it, and a block of s bytes is sampled with probability
// 1 - exp(-s / interval).
int64_t DrawCountdown(ThreadSampler& sampler, size_t interval) noexcept {
  // 53 random bits, in (0, 1]: never 0, whose logarithm is infinite.
  double const uniform = static_cast<double>((NextRandom(sampler) >> 11) + 1) * 0x1p-53;
  double const distance = -std::log(uniform) * static_cast<double>(interval);
  return distance < 0x1p62 ? static_cast<int64_t>(distance) : int64_t{1} << 62;
}

// The bytes a sample of `usableSize` stands for: its size over its chance of being sampled.
size_t WeightOf(size_t usableSize, size_t interval) noexcept {
  double const size = static_cast<double>(usableSize);
  double const chance = -std::expm1(-size / static_cast<double>(interval));
  double const weight = size / chance;
  return weight < 0x1p63 ? static_cast<size_t>(std::llround(weight)) : SIZE_MAX;
}

// Runs `callback` with everything it allocates or releases kept out of sampling: its new
// blocks cannot run the countdown out, and its releases are not looked up.
void Tell(ThreadSampler& sampler, SamplingCallback callback, void* block, size_t usableSize,
          bool allocated, size_t interval) noexcept {
  ThreadBooks& books = threadBooks;
  int64_t const countdown = books.untilSample;
  books.untilSample = INT64_MAX;
  sampler.telling = true;
  callback(block, usableSize, allocated, WeightOf(usableSize, interval));
  sampler.telling = false;
  books.untilSample = countdown;
}

// ---- The sampled blocks -----------------------------------------------------------------------
// Open addressing in fixed storage: a block's address picks one cache line of eight slots, and
// it takes any free slot there by compare-exchange, or is not sampled. A lookup reads that line
// only. A slot holds 0 (free), the address of a sampled block, or that address + 1 while a
// resize holds it (blocks are at least 8-aligned, so no block has that address).

constexpr int kSlotsPerLine = 8;
constexpr int kLines =
    kSampledLines;  // 16384 slots, 128 KiB of zero pages until sampling uses them
static_assert(kSlotsPerLine * kLines == 16384, "the header promises 16384 sampled blocks");

struct alignas(64) Line {
  std::atomic<uintptr_t> slots[kSlotsPerLine];
};
constinit Line sampledBlocks[kLines];
constexpr auto& slotsInUse = sampledSlotsInUse;

uintptr_t AddressOf(void const* block) noexcept { return reinterpret_cast<uintptr_t>(block); }

size_t LineIndexOf(uintptr_t address) noexcept { return SampledLineOf(address); }

// Relaxed: a block's claim happened before the block reached whoever looks for it.
bool LineMayHold(uintptr_t address) noexcept {
  return slotsInUse[LineIndexOf(address)].load(std::memory_order_relaxed) != 0;
}

void FreedSlotOf(uintptr_t address) noexcept {
  slotsInUse[LineIndexOf(address)].fetch_sub(1, std::memory_order_relaxed);
}

// A free slot now holding `address`, or null when its line is full.
std::atomic<uintptr_t>* Claim(uintptr_t address) noexcept {
  size_t const line = LineIndexOf(address);
  slotsInUse[line].fetch_add(1, std::memory_order_seq_cst);
  for (std::atomic<uintptr_t>& slot : sampledBlocks[line].slots) {
    uintptr_t expected = 0;
    if (slot.load(std::memory_order_relaxed) == 0 &&
        slot.compare_exchange_strong(expected, address, std::memory_order_seq_cst)) {
      return &slot;
    }
  }
  FreedSlotOf(address);
  return nullptr;
}

// Replaces `from` with `to` in the line of `address`: the slot that changed, or null when none
// held `from` (the block was never sampled, or a setter cleared it).
std::atomic<uintptr_t>* Swap(uintptr_t address, uintptr_t from, uintptr_t to) noexcept {
  if (!LineMayHold(address)) return nullptr;
  for (std::atomic<uintptr_t>& slot : sampledBlocks[LineIndexOf(address)].slots) {
    uintptr_t expected = from;
    if (slot.load(std::memory_order_relaxed) == from &&
        slot.compare_exchange_strong(expected, to, std::memory_order_seq_cst)) {
      if (to == 0) FreedSlotOf(address);
      return &slot;
    }
  }
  return nullptr;
}

void ClearSampledBlocks() noexcept {
  for (Line& line : sampledBlocks) {
    for (std::atomic<uintptr_t>& slot : line.slots) {
      // Only slots in use are written: the rest of the storage stays untouched zero pages.
      // Seq_cst: a claim that no longer sees its session is seen here (see samplingSession).
      if (slot.load(std::memory_order_seq_cst) == 0) continue;
      // Exchanged: of overlapping setters, only the one that empties the slot counts it out.
      if (uintptr_t const held = slot.exchange(0, std::memory_order_seq_cst); held != 0) {
        FreedSlotOf(held & ~uintptr_t{1});
      }
    }
  }
}

// The countdown went below zero at `block`: a new one is drawn, and the block is sampled if it
// finds a slot and no setter began meanwhile.
void Sample(ThreadSampler& sampler, Settings const& settings, void* block, size_t usableSize) {
  threadBooks.untilSample = DrawCountdown(sampler, settings.meanInterval);
  uintptr_t const address = AddressOf(block);
  std::atomic<uintptr_t>* const slot = Claim(address);
  if (slot == nullptr) return;
  if (!StillHold(settings)) {
    // The setter clears only what it can see; this claim it may have missed.
    uintptr_t expected = address;
    if (slot->compare_exchange_strong(expected, 0, std::memory_order_relaxed)) FreedSlotOf(address);
    return;
  }
  Tell(sampler, settings.callback, block, usableSize, true, settings.meanInterval);
}

// A sampled block has left the set and the books: told, unless it goes from inside the
// callback or a setter began since `settings` were read, before its slot was freed. A slot
// found under settings that still hold was claimed under them: the setter that began them
// cleared every earlier one.
void TellRelease(Settings const& settings, void* block, size_t usableSize) noexcept {
  ThreadSampler& sampler = threadSampler;
  if (sampler.telling || !StillHold(settings)) return;
  Tell(sampler, settings.callback, block, usableSize, false, settings.meanInterval);
}

// Every call starts a session: the settings, an empty set, and the ceiling for them.
void SetSampling(size_t interval, SamplingCallback callback) noexcept {
  bool const on = interval != 0 && callback != nullptr;
  settersUnderway.fetch_add(1, std::memory_order_seq_cst);
  samplingSession.fetch_add(1, std::memory_order_seq_cst);
  samplingInterval.store(on ? interval : 0, std::memory_order_relaxed);
  samplingCallback.store(on ? callback : nullptr, std::memory_order_relaxed);
  ClearSampledBlocks();
  // Release: a step that reads the count at 0 sees the settings above.
  settersUnderway.fetch_sub(1, std::memory_order_release);
  // Relaxed: a thread that sees the raised ceiling late only releases on the success path a
  // while longer; a release of a block sampled on another thread comes after that thread's
  // step, which saw it raised, so it sees it raised too.
  if (ceilingRaised.exchange(on, std::memory_order_relaxed) != on) {
    if (on) {
      carefulReleaseCeiling.fetch_add(kSamplingRaise, std::memory_order_relaxed);
    } else {
      carefulReleaseCeiling.fetch_sub(kSamplingRaise, std::memory_order_relaxed);
    }
  }
  // This thread's next new block draws for the new session; the others' draw once their
  // countdowns run out.
  threadBooks.untilSample = 0;
}

}  // namespace

// A new session draws a countdown of its own, and the block that found it is its first.
void CountdownRanOut(void* block, size_t usableSize) noexcept {
  ThreadSampler& sampler = threadSampler;
  // A callback that set sampling anew restarted this thread's countdown: what it allocates is
  // still not sampled, and it is not called from inside itself.
  if (sampler.telling) {
    threadBooks.untilSample = INT64_MAX;
    return;
  }
  Settings settings;
  // Off, or a setter under way: asked again within kIdleCountdown. Relaxed: a stale on is
  // checked by ReadSettings, a stale off only refills once more.
  if (!ceilingRaised.load(std::memory_order_relaxed) || !ReadSettings(settings)) {
    threadBooks.untilSample = kIdleCountdown;
    return;
  }
  if (sampler.session != settings.session) {
    if (sampler.random == 0) {
      sampler.random = (threadsSeeded.fetch_add(1, std::memory_order_relaxed) + 1) << 32;
    }
    sampler.session = settings.session;
    threadBooks.untilSample =
        DrawCountdown(sampler, settings.meanInterval) - static_cast<int64_t>(usableSize);
    if (threadBooks.untilSample >= 0) return;
  }
  Sample(sampler, settings, block, usableSize);
}

void TellIfSampled(void* block, size_t usableSize) noexcept {
  uintptr_t const address = AddressOf(block);
  if (!ceilingRaised.load(std::memory_order_relaxed)) return;
  Settings settings;
  bool const current = ReadSettings(settings);
  if (Swap(address, address, 0) != nullptr && current) TellRelease(settings, block, usableSize);
}

SampledResize HoldSampledBlock(void* block) noexcept {
  uintptr_t const address = AddressOf(block);
  if (!ceilingRaised.load(std::memory_order_relaxed)) return {address, false, false};
  return {address, true, block != nullptr && Swap(address, address, address + 1) != nullptr};
}

void SettleSampledResize(SampledResize resize, size_t oldSize, void* result,
                         size_t newSize) noexcept {
  uintptr_t const address = resize.address;
  if (result == nullptr) {
    // The block stays where it was, sampled as before (unless a setter cleared it meanwhile).
    if (resize.held) Swap(address, address + 1, address);
    return;
  }
  Settings settings;
  bool const current = ReadSettings(settings);
  if (resize.held && Swap(address, address + 1, 0) != nullptr && current) {
    TellRelease(settings, reinterpret_cast<void*>(address), oldSize);
  }
  CountDownForSampling(result, newSize);
}

MEMMGR_INTERNAL_NAMESPACE_END

extern "C" void mmgr_set_sampling(size_t meanInterval, SamplingCallback callback) {
  memmgr::SetSampling(meanInterval, callback);
}
