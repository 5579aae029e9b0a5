// SPDX-License-Identifier: Apache-2.0
// A map viewer's tile cache living under the process-wide memory budget.
//
// Decoded tiles stay cached until the budget is needed elsewhere: the garbage-collect hook
// evicts least recently used tiles, so the cache grows into whatever memory is free and
// shrinks on demand. Before that, at three quarters of the budget, the pressure signal asks a
// worker thread of the host's own to trim the cache by half, off the drawing thread. An
// export buffer larger than the whole budget then shows the later stages of recovery:
// over-allocation, and the memory-full handler once that is disabled.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memmgr>
#include <new>

namespace {

constexpr size_t kTileBytes = 64 * 1024;
constexpr int kMapTiles = 1024;  // tiles on the map; the viewport pans across and wraps
constexpr int kSlots = 512;      // cache entries, whatever the budget allows
constexpr int kViewTiles = 48, kPanStep = 4;

struct Slot {
  int tile = -1;
  unsigned char* pixels = nullptr;
  int prev = -1, next = -1;  // LRU list: head is the most recently used
};

Slot slots[kSlots];
int slotOfTile[kMapTiles];
int head = -1, tail = -1, resident = 0;
// The hook may run inside any allocation, so the cache is never changed while the main code
// allocates, and the lock is only tried by the hook: it refuses instead of waiting.
std::atomic_flag cacheLock = ATOMIC_FLAG_INIT;
std::atomic<long> pressureEvictions{0}, capacityEvictions{0}, hookCalls{0};
std::atomic<long> overruns{0}, memoryFullCalls{0};
std::atomic<long> pressureSignals{0}, trimEvictions{0};
std::atomic<int> trimRequests{0};  // signals the trimmer has not served yet; -1: stop
int64_t pressureThreshold = -1;
int64_t trimmerThreadChange = 0;  // the trimmer's own count of what it released

void Unlink(int s) {
  (slots[s].prev >= 0 ? slots[slots[s].prev].next : head) = slots[s].next;
  (slots[s].next >= 0 ? slots[slots[s].next].prev : tail) = slots[s].prev;
}
void PushFront(int s) {
  slots[s].prev = -1;
  slots[s].next = head;
  (head >= 0 ? slots[head].prev : tail) = s;
  head = s;
}
// Frees the least recently used tile; returns the bytes given back to the budget.
size_t EvictOldest() {
  int const s = tail;
  size_t const bytes = mmgr_malloc_usable_size(slots[s].pixels);
  Unlink(s);
  mmgr_free(slots[s].pixels);
  slotOfTile[slots[s].tile] = -1;
  slots[s] = Slot{};
  --resident;
  return bytes;
}

// Allocation-free: it only releases blocks and touches preallocated state.
int EvictForBudget(size_t amount) {
  hookCalls.fetch_add(1, std::memory_order_relaxed);
  if (cacheLock.test_and_set(std::memory_order_acquire)) return 0;
  // Rounded like the budget test, so freeing `target` makes room for the request.
  size_t const target = amount > SIZE_MAX - 15 ? SIZE_MAX : (amount + 15) & ~size_t{15};
  size_t freed = 0;
  while (freed < target && tail >= 0) {
    freed += EvictOldest();
    pressureEvictions.fetch_add(1, std::memory_order_relaxed);
  }
  cacheLock.clear(std::memory_order_release);
  return freed > 0;
}

void CountOverrun(size_t, int64_t, int64_t) { overruns.fetch_add(1, std::memory_order_relaxed); }
void NoteMemoryFull(unsigned long) { memoryFullCalls.fetch_add(1, std::memory_order_relaxed); }

void Lock() {
  while (cacheLock.test_and_set(std::memory_order_acquire)) {
  }
}
void Unlock() { cacheLock.clear(std::memory_order_release); }

// Runs inside the allocation that crossed the threshold: it only hands the work over.
void OnPressure(int64_t, int64_t) {
  pressureSignals.fetch_add(1, std::memory_order_relaxed);
  trimRequests.fetch_add(1, std::memory_order_release);
  trimRequests.notify_one();
}

// The host's own worker: trims the cache by half when signalled, then re-arms the signal. A
// plain pthread, whose start-up allocates nothing through the budget.
void* Trimmer(void*) {
  int64_t const start = GTMC_GetAllocationSizeInCurrentThread();
  for (;;) {
    trimRequests.wait(0, std::memory_order_acquire);
    if (trimRequests.exchange(0, std::memory_order_acquire) < 0) break;
    Lock();
    for (int const keep = resident / 2; resident > keep; trimEvictions.fetch_add(1)) EvictOldest();
    Unlock();
    GTMC_SetMemoryPressureCallback(pressureThreshold, OnPressure);
  }
  trimmerThreadChange = GTMC_GetAllocationSizeInCurrentThread() - start;
  return nullptr;
}

unsigned char Shade(int tile, size_t offset) {
  return static_cast<unsigned char>(tile * 31 + offset / 256);
}

// Returns false when a cached tile's contents are not what was decoded.
bool Show(int tile, long& hits, long& misses) {
  Lock();
  if (int const s = slotOfTile[tile]; s >= 0) {
    Unlink(s);
    PushFront(s);
    bool const intact = slots[s].pixels[kTileBytes - 1] == Shade(tile, kTileBytes - 1);
    Unlock();
    ++hits;
    return intact;
  }
  if (resident == kSlots) {
    EvictOldest();
    capacityEvictions.fetch_add(1, std::memory_order_relaxed);
  }
  Unlock();
  // Allocated with the cache consistent and unlocked: the hook may evict from it meanwhile.
  auto* const pixels = static_cast<unsigned char*>(mmgr_malloc(kTileBytes));
  if (pixels == nullptr) return true;  // not cached; the viewer would draw a placeholder
  for (size_t row = 0; row < kTileBytes; row += 256)
    std::memset(pixels + row, Shade(tile, row), 256);
  ++misses;
  Lock();
  int s = 0;
  while (slots[s].pixels != nullptr) ++s;
  slots[s] = Slot{tile, pixels, -1, -1};
  slotOfTile[tile] = s;
  PushFront(s);
  ++resident;
  Unlock();
  return true;
}

// A print export larger than the budget. Our memory-full handler returns, so a failed `new`
// gives null; the nothrow form says so in the code.
bool ExportMosaic(size_t bytes) {
  char* const buffer = new (std::nothrow) char[bytes];
  if (buffer == nullptr) return false;
  std::snprintf(buffer, bytes, "mosaic of %d tiles", kMapTiles);  // the encoder would go on
  delete[] buffer;
  return true;
}

}  // namespace

// The optional argument is how many times over the cache is replaced while panning (4 by
// default): more makes a longer run, for watching it under memmgr-run.
int main(int argc, char** argv) {
  long const laps = argc > 1 ? std::max(1L, std::atol(argv[1])) : 4;
  if (std::getenv("VOQ_MAXIMUM_MEMORY") == nullptr) GTMC_SetMemoryAllocationRules(8 << 20);
  GTMC_GarbageCollect = EvictForBudget;
  GMM_SetOnOverallocation(CountOverrun);
  Set_GTMC_MemoryFull(NoteMemoryFull);
  for (int& s : slotOfTile) s = -1;
  int64_t const limit = GTMC_GetTotalMemory();
  if (limit > 0) pressureThreshold = limit / 4 * 3;
  GTMC_SetMemoryPressureCallback(pressureThreshold, OnPressure);
  pthread_t trimmer;
  if (pthread_create(&trimmer, nullptr, Trimmer, nullptr) != 0) return 1;
  GTMC_ResetPeakUsedMemory();
  int64_t const usedAtStart = GTMC_GetTotalUsedMemory();
  int64_t const threadAtStart = GTMC_GetAllocationSizeInCurrentThread();

  long hits = 0, misses = 0;
  bool intact = true;
  int mostCached = 0;
  // Pan until the cache has been replaced several times over.
  for (long frame = 0;
       frame < 1250 * laps &&
       pressureEvictions + capacityEvictions + trimEvictions < laps * (mostCached + 1);
       ++frame) {
    for (int i = 0; i < kViewTiles; ++i)
      intact &= Show((frame * kPanStep + i) % kMapTiles, hits, misses);
    if (resident > mostCached) mostCached = resident;
  }
  GTMC_SetMemoryPressureCallback(-1, nullptr);
  trimRequests.store(-1, std::memory_order_release);
  trimRequests.notify_one();
  pthread_join(trimmer, nullptr);
  int64_t const usedWithCache = GTMC_GetTotalUsedMemory();
  int64_t const freeWithCache = GTMC_GetFreeMemory();
  int64_t const residentWithCache = GTMC_GetOSUsedMemory();

  int64_t const cachePeak = GTMC_GetPeakUsedMemory();
  // An export buffer larger than the budget, when the budget is small enough to outgrow.
  bool const exported = limit > 0 && limit <= (256 << 20);
  bool grantedOver = false, refusedWhenStrict = false;
  if (exported) {
    size_t const exportBytes = static_cast<size_t>(limit) + (1 << 20);
    grantedOver = ExportMosaic(exportBytes);
    GMM_EnableOverallocation(false);
    refusedWhenStrict = !ExportMosaic(exportBytes);  // recovery runs out; the handler returns
    GMM_EnableOverallocation(true);
  }

  long cleared = 0;
  Lock();
  for (; tail >= 0; ++cleared) EvictOldest();
  Unlock();
  int64_t const usedAtEnd = GTMC_GetTotalUsedMemory();
  int64_t const threadAtEnd = GTMC_GetAllocationSizeInCurrentThread();

  auto const ll = [](int64_t v) { return static_cast<long long>(v); };
  std::printf("limit %lld; with the cache full: used %lld, free %lld, resident (OS) %lld\n",
              ll(limit), ll(usedWithCache), ll(freeWithCache), ll(residentWithCache));
  std::printf(
      "cleared: used %lld (at start %lld), this thread %lld (at start %lld), "
      "the trimmer %lld\n",
      ll(usedAtEnd), ll(usedAtStart), ll(threadAtEnd), ll(threadAtStart), ll(trimmerThreadChange));
  std::printf(
      "tiles: %ld hits, %ld decoded, at most %d cached; evicted %ld for the budget "
      "(%ld hook calls), %ld for capacity, %ld by the trimmer (%ld pressure signals)\n",
      hits, misses, mostCached, pressureEvictions.load(), hookCalls.load(),
      capacityEvictions.load(), trimEvictions.load(), pressureSignals.load());
  std::printf("peak accounted while panning: %lld\n", ll(cachePeak));
  std::printf("export: %s; over-limit grants %ld; memory full %s (handler called %ld times)\n",
              !exported                          ? "skipped"
              : grantedOver && refusedWhenStrict ? "over the limit, then refused"
                                                 : "unexpected outcome",
              overruns.load(), GTMC_IsMemoryFull() ? "yes" : "no", memoryFullCalls.load());
  bool const consistent =
      intact && usedAtEnd == usedAtStart && threadAtEnd + trimmerThreadChange == threadAtStart &&
      resident == 0 && pressureEvictions + capacityEvictions + trimEvictions + cleared == misses &&
      cachePeak >= usedWithCache && memoryFullCalls <= 1 &&
      (memoryFullCalls == 1) == GTMC_IsMemoryFull() &&
      (!exported || (grantedOver && refusedWhenStrict && overruns >= 1 && memoryFullCalls == 1));
  std::printf("%s\n", consistent ? "consistent" : "INCONSISTENT");
  return consistent ? 0 : 1;
}
