/* SPDX-License-Identifier: Apache-2.0
 * A C host: a word-frequency indexer with a cache of rendered lines, under the budget.
 *
 * The index (an array grown with mmgr_realloc, a bucket table from mmgr_calloc, words copied
 * with FF_strdup) must stay; the rendered lines are a cache that the garbage-collect hook
 * empties, oldest first, when the budget is needed. At the end the host releases everything
 * and checks that the counters are back where they started. */
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memmgr>

enum { kWords = 60000, kLineBytes = 2048, kCacheSlots = 4096 };

typedef struct {
  char* word;
  unsigned count;
} Entry;

static Entry* entries;
static size_t entryCount, entryCapacity;
static size_t* buckets; /* entry index + 1, 0 = empty; open addressing */
static size_t bucketCount;

/* Rendered lines, a ring: the hook takes from the tail, the main code adds at the head. */
static char* cache[kCacheSlots];
static size_t cacheHead, cacheTail;
static atomic_flag cacheBusy = ATOMIC_FLAG_INIT;
static atomic_long hookCalls, evictions;

static int EvictLines(size_t amount) {
  atomic_fetch_add(&hookCalls, 1);
  /* Runs inside an allocation: never waits for the main code, never allocates. */
  if (atomic_flag_test_and_set(&cacheBusy)) return 0;
  size_t freed = 0;
  while (freed < amount && cacheTail != cacheHead) {
    char* line = cache[cacheTail++ % kCacheSlots];
    freed += mmgr_malloc_usable_size(line);
    mmgr_free(line);
    atomic_fetch_add(&evictions, 1);
  }
  atomic_flag_clear(&cacheBusy);
  return freed > 0;
}

/* Told when even an empty cache leaves no room. Returning, rather than the default exit(1),
 * lets the request fail with null, which the indexer reports as out of memory. */
static void OnMemoryFull(size_t request) {
  fprintf(stderr, "c_host: memory full at a request of %zu bytes\n", request);
}

static size_t Hash(char const* s) {
  size_t h = 1469598103934665603u;
  while (*s) h = (h ^ (unsigned char)*s++) * 1099511628211u;
  return h;
}

static int Rehash(size_t newBucketCount) {
  size_t* fresh = mmgr_calloc(newBucketCount, sizeof *fresh);
  if (!fresh) return 0;
  for (size_t e = 0; e < entryCount; ++e) {
    size_t b = Hash(entries[e].word) & (newBucketCount - 1);
    while (fresh[b]) b = (b + 1) & (newBucketCount - 1);
    fresh[b] = e + 1;
  }
  mmgr_free(buckets);
  buckets = fresh;
  bucketCount = newBucketCount;
  return 1;
}

static int Count(char const* word) {
  if (2 * (entryCount + 1) > bucketCount && !Rehash(bucketCount ? 2 * bucketCount : 64)) return 0;
  size_t b = Hash(word) & (bucketCount - 1);
  for (; buckets[b]; b = (b + 1) & (bucketCount - 1)) {
    if (strcmp(entries[buckets[b] - 1].word, word) == 0) {
      ++entries[buckets[b] - 1].count;
      return 1;
    }
  }
  if (entryCount == entryCapacity) {
    size_t const capacity = entryCapacity ? 2 * entryCapacity : 256;
    Entry* grown = mmgr_realloc(entries, capacity * sizeof *grown);
    if (!grown) return 0; /* the old array stays valid */
    entries = grown;
    entryCapacity = capacity;
  }
  char* copy = FF_strdup(word);
  if (!copy) return 0;
  entries[entryCount] = (Entry){copy, 1};
  buckets[b] = ++entryCount;
  return 1;
}

static void CacheLine(char const* word, unsigned count) {
  char* line = mmgr_malloc(kLineBytes); /* allocated before the cache is locked */
  if (!line) return;
  snprintf(line, kLineBytes, "%-12s %6u", word, count);
  while (atomic_flag_test_and_set(&cacheBusy)) {
  }
  if (cacheHead - cacheTail == kCacheSlots) {
    mmgr_free(cache[cacheTail++ % kCacheSlots]);
  }
  cache[cacheHead++ % kCacheSlots] = line;
  atomic_flag_clear(&cacheBusy);
}

int main(void) {
  static char const* const syllables[] = {"ka", "lo", "mi", "ne", "ru", "sa", "ti", "vo"};
  int64_t const baseline = GTMC_GetTotalUsedMemory();
  int64_t const threadBaseline = GTMC_GetAllocationSizeInCurrentThread();
  GTMC_SetMemoryAllocationRules(4 << 20); /* ignored when VOQ_MAXIMUM_MEMORY is set */
  GTMC_GarbageCollect = EvictLines;
  MemoryFullHandler const previousHandler = mmgr_set_memory_full(OnMemoryFull);

  uint32_t seed = 12345;
  GTMC_ResetPeakUsedMemory(); /* the peak of each phase: indexing starts here */
  for (int i = 0; i < kWords; ++i) {
    char word[16] = "";
    seed = seed * 1664525u + 1013904223u;
    for (int s = 0; s < 2 + (int)(seed >> 30); ++s)
      strcat(word, syllables[(seed >> (3 * s + 4)) & 7]);
    if (!Count(word)) {
      fprintf(stderr, "c_host: out of memory at word %d\n", i);
      return 1;
    }
    CacheLine(word, entries[entryCount - 1].count);
  }
  int64_t const indexed = GTMC_GetTotalUsedMemory();
  int64_t const indexingPeak = GTMC_ResetPeakUsedMemory(); /* the report phase starts */

  size_t top = 0;
  for (size_t e = 1; e < entryCount; ++e) {
    if (entries[e].count > entries[top].count) top = e;
  }
  printf("c_host: %d words, %zu distinct, most frequent '%s' (%u)\n", kWords, entryCount,
         entries[top].word, entries[top].count);
  printf(
      "c_host: limit %lld, indexing peak %lld bytes, %ld hook calls evicted %ld lines, "
      "resident %lld bytes, memory full: %s\n",
      (long long)GTMC_GetTotalMemory(), (long long)indexingPeak, atomic_load(&hookCalls),
      atomic_load(&evictions), (long long)GTMC_GetOSUsedMemory(),
      GTMC_IsMemoryFull() ? "yes" : "no");

  GTMC_GarbageCollect = NULL;
  mmgr_set_memory_full(previousHandler);
  while (cacheTail != cacheHead) mmgr_free(cache[cacheTail++ % kCacheSlots]);
  for (size_t e = 0; e < entryCount; ++e) mmgr_free(entries[e].word);
  mmgr_free(entries);
  mmgr_free(buckets);

  /* The report and the release only gave memory back: their peak is where they started. */
  int64_t const reportPeak = GTMC_GetPeakUsedMemory();
  printf("c_host: report and release peak %lld bytes\n", (long long)reportPeak);
  if (indexingPeak < indexed || reportPeak != indexed) {
    fprintf(stderr, "c_host: peaks %lld and %lld against %lld indexed\n", (long long)indexingPeak,
            (long long)reportPeak, (long long)indexed);
    return 1;
  }
  int64_t const leaked = GTMC_GetTotalUsedMemory() - baseline;
  int64_t const threadLeaked = GTMC_GetAllocationSizeInCurrentThread() - threadBaseline;
  if (leaked != 0 || threadLeaked != 0) {
    fprintf(stderr, "c_host: counters off after release: %lld total, %lld this thread\n",
            (long long)leaked, (long long)threadLeaked);
    return 1;
  }
  puts("c_host: counters back to their starting values");
  return 0;
}
