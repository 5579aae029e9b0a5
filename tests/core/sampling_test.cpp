// SPDX-License-Identifier: Apache-2.0
// Call-site sampling through mmgr_set_sampling: the mean interval and the weights, which blocks
// are told and how often (every entry point, resizes), what the callback may do, the switch,
// and the counters while sampling (with threads: the stress test, which samples throughout).
// The callbacks record into fixed static storage, and every stretch with sampling on keeps
// EXPECTs (which allocate) out: the log is read once sampling is off again.
#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <new>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "memmgr_test.h"

namespace {

struct Sample {
  void const* block;
  size_t size;
  bool allocated;
  size_t weight;
};

// What the callbacks were told, in order (the first kCapacity calls).
constexpr int kCapacity = 1 << 17;
Sample samples[kCapacity];
std::atomic<int> sampleCount{0};

void Record(void const* block, size_t size, bool allocated, size_t weight) {
  if (int const at = sampleCount.fetch_add(1); at < kCapacity) {
    samples[at] = {block, size, allocated, weight};
  }
}

std::span<Sample const> Log() {
  return {samples, static_cast<size_t>(std::min(sampleCount.load(), kCapacity))};
}

// The log read in order: the blocks told allocated and not yet released, how many allocations
// were told, and the first fault, if any (an allocation told at an address already held, or a
// release told at one not held or with another size or weight than its allocation).
struct Replay {
  std::map<void const*, Sample> held;
  int allocations = 0;
  std::string fault;
};
Replay ReplayLog() {
  Replay replay;
  auto fault = [&replay](char const* what) {
    if (replay.fault.empty()) replay.fault = what;
  };
  for (Sample const& sample : Log()) {
    auto const found = replay.held.find(sample.block);
    if (sample.allocated) {
      ++replay.allocations;
      if (found != replay.held.end()) fault("told twice");
      replay.held[sample.block] = sample;
    } else if (found == replay.held.end()) {
      fault("a release told of a block never sampled");
    } else {
      if (found->second.size != sample.size || found->second.weight != sample.weight) {
        fault("a release told with another size or weight");
      }
      replay.held.erase(found);
    }
  }
  return replay;
}

int AllocationsToldOf(std::span<void* const> blocks) {
  int told = 0;
  for (Sample const& sample : Log()) {
    told +=
        sample.allocated && std::find(blocks.begin(), blocks.end(), sample.block) != blocks.end();
  }
  return told;
}

size_t ExpectedWeight(size_t size, size_t interval) {
  double const s = static_cast<double>(size);
  return static_cast<size_t>(std::llround(s / -std::expm1(-s / static_cast<double>(interval))));
}

class Sampling : public BudgetTest {
 protected:
  void SetUp() override {
    BudgetTest::SetUp();
    GTMC_SetMemoryAllocationRules(int64_t{1} << 40);
    sampleCount = 0;
  }
  void TearDown() override {
    mmgr_set_sampling(0, nullptr);
    BudgetTest::TearDown();
  }
};

// Nothing is told unless both an interval and a callback are set, nor after sampling is turned
// off; and each call forgets the blocks sampled before it.
TEST_F(Sampling, OffMeansNoCallsAndEachCallStartsAfresh) {
  auto churn = [] {
    for (int i = 0; i < 1000; ++i) mmgr_free(Opaque(mmgr_malloc(4096)));
  };
  churn();  // never turned on
  mmgr_set_sampling(0, &Record);
  churn();
  mmgr_set_sampling(1, nullptr);
  churn();
  int const toldWhileOff = sampleCount.load();

  mmgr_set_sampling(1, &Record);
  void* const before = mmgr_malloc(100);
  mmgr_set_sampling(1, &Record);
  mmgr_free(before);  // sampled under the previous call: forgotten
  void* const after = mmgr_malloc(100);
  mmgr_set_sampling(0, &Record);
  churn();
  mmgr_free(after);
  mmgr_set_sampling(0, nullptr);

  EXPECT_EQ(toldWhileOff, 0);
  ASSERT_EQ(Log().size(), 2u);
  EXPECT_EQ(Log()[0].block, before);
  EXPECT_EQ(Log()[1].block, after);
  EXPECT_TRUE(Log()[1].allocated);
}

// About one byte in the interval, through every entry point: the blocks told and their weights
// add up to what the usable sizes make expected (some 8500 samples, a standard deviation of
// about 90), each weight the block's size over its chance; a block far larger than the interval
// is always sampled, at its size. The blocks go back in shuffled order through every release
// form, and a churn of one size keeps reusing the same few addresses, sampled or not: each
// sampled release is told once, and no other.
TEST_F(Sampling, EveryEntryIsSampledAtTheMeanIntervalAndEachReleaseToldOnce) {
  constexpr size_t kInterval = 2048;
  size_t const forms = NewIsAccounted() ? std::size(kForms) : kMallocForms;
  std::vector<std::pair<void*, Form const*>> held(3000);
  std::vector<void*> blocks, large(50);
  blocks.reserve(held.size());
  double expected = 0, bytes = 0;
  auto const taken = [&expected, &bytes](void* block) {
    double const usable = static_cast<double>(Usable(block));
    expected += -std::expm1(-usable / kInterval), bytes += usable;
    return block;
  };
  std::mt19937 random(7);
  mmgr_set_sampling(kInterval, &Record);
  for (auto& [block, form] : held) {
    form = &kForms[random() % forms];
    blocks.push_back(block = taken(form->take(16 + random() % 1024, random())));
  }
  std::shuffle(held.begin(), held.end(), random);
  for (auto [block, form] : held) form->release(block, random());
  for (int i = 0; i < 20000; ++i) mmgr_free(taken(mmgr_malloc(1024)));
  for (void*& block : large) block = mmgr_malloc(kInterval * 64);
  for (void* block : large) mmgr_free(block);
  mmgr_set_sampling(0, nullptr);

  double told = 0, weights = 0;
  for (Sample const& sample : Log()) {
    if (!sample.allocated || sample.size >= kInterval) continue;
    ++told;
    weights += static_cast<double>(sample.weight);
    EXPECT_EQ(sample.weight, ExpectedWeight(sample.size, kInterval)) << sample.size;
  }
  EXPECT_GT(told, expected * 0.8);
  EXPECT_LT(told, expected * 1.25);
  EXPECT_GT(weights, bytes * 0.8);
  EXPECT_LT(weights, bytes * 1.25);
  // The latest sample at each address: an allocator may have handed it to a smaller block first.
  for (void* block : large) {
    auto const at = std::find_if(Log().rbegin(), Log().rend(), [block](Sample const& sample) {
      return sample.allocated && sample.block == block;
    });
    ASSERT_NE(at, Log().rend()) << "a block 64 times the interval was not sampled";
    EXPECT_EQ(at->weight, at->size);
  }
  EXPECT_GT(AllocationsToldOf(blocks), 300);
  Replay const replay = ReplayLog();
  EXPECT_EQ(replay.fault, "");
  EXPECT_TRUE(replay.held.empty());
}

// With an interval of 1 every block is sampled: a resize tells the old block released, at its
// old size and weight, then the new one; a refused resize tells nothing and keeps the block
// sampled. Taken off the success path, the counters still move by the usable sizes.
TEST_F(Sampling, AResizeTellsTheOldBlockReleasedAndCountsTheNewOne) {
  HookTrace::Install();
  GMM_EnableOverallocation(false);
  mmgr_set_sampling(1, &Record);
  Counters const start = Counters::Now();
  void* const first = mmgr_malloc(100);
  Counters const taken = Counters::Now() - start;
  size_t const firstSize = static_cast<size_t>(Usable(first));
  void* const grown = mmgr_realloc(first, 5000);
  Counters const afterGrowth = Counters::Now() - start;
  size_t const grownSize = static_cast<size_t>(Usable(grown));
  SetHeadroom(4096);
  void* const refused = mmgr_realloc(grown, 1 << 20);
  GTMC_SetMemoryAllocationRules(int64_t{1} << 40);
  int const toldBeforeRelease = sampleCount.load();
  mmgr_realloc(grown, 0);
  void* const fresh = mmgr_realloc(nullptr, 64);
  mmgr_free(fresh);
  mmgr_set_sampling(0, nullptr);
  RestorePolicy();

  EXPECT_EQ(taken, Delta(static_cast<int64_t>(firstSize)));
  EXPECT_EQ(afterGrowth, Delta(static_cast<int64_t>(grownSize)));
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(toldBeforeRelease, 3) << "a refused resize told something";
  ASSERT_EQ(Log().size(), 6u);
  auto told = [](int at) {
    return std::make_tuple(Log()[at].block, Log()[at].size, Log()[at].allocated);
  };
  EXPECT_EQ(told(0), std::make_tuple(static_cast<void const*>(first), firstSize, true));
  EXPECT_EQ(told(1), std::make_tuple(static_cast<void const*>(first), firstSize, false));
  EXPECT_EQ(told(2), std::make_tuple(static_cast<void const*>(grown), grownSize, true));
  EXPECT_EQ(told(3), std::make_tuple(static_cast<void const*>(grown), grownSize, false));
  EXPECT_EQ(told(4), std::make_tuple(static_cast<void const*>(fresh), Log()[4].size, true));
  EXPECT_EQ(told(5), std::make_tuple(static_cast<void const*>(fresh), Log()[4].size, false));
  EXPECT_EQ(ReplayLog().fault, "");
}

// The callback allocates, resizes and releases through every family, and releases a block
// sampled earlier: none of it is sampled or told, and it is never called from inside itself.
void* earlierBlock = nullptr;
void AllocatingCallback(void const* block, size_t size, bool allocated, size_t weight) {
  Record(block, size, allocated, weight);
  void* const own = mmgr_realloc(mmgr_malloc(64), 4096);
  char* const text = FF_strdup("inside the callback");
  delete Opaque(new std::string(200, 'x'));
  mmgr_free(text);
  mmgr_free(own);
  if (void* const earlier = std::exchange(earlierBlock, nullptr)) mmgr_free(earlier);
}

TEST_F(Sampling, TheCallbackMayAllocateWithoutBeingSampledOrCalledAgain) {
  std::vector<void*> blocks(200);
  mmgr_set_sampling(1, &AllocatingCallback);
  for (void*& block : blocks) block = mmgr_malloc(48);
  // Released from the call that tells the first release below. No sampled block is made after
  // that, so none can take its address (allocators hand a freed address straight back).
  earlierBlock = mmgr_malloc(32);
  for (void* block : blocks) mmgr_free(block);
  mmgr_set_sampling(0, nullptr);

  EXPECT_EQ(earlierBlock, nullptr);
  // The earlier block, each block allocated and released, and nothing else: a call from inside
  // the callback, or a block of its own told, would add to them.
  EXPECT_EQ(sampleCount.load(), 1 + 2 * static_cast<int>(blocks.size()));
  Replay const replay = ReplayLog();
  EXPECT_EQ(replay.fault, "");
  EXPECT_EQ(replay.held.size(), 1u) << "the block released inside the callback was told";
}

// The callback may set sampling anew, which restarts its thread's countdown: its own blocks are
// still not sampled, and it is not called from inside itself.
int depth = 0, deepest = 0;
void ResettingCallback(void const* block, size_t size, bool allocated, size_t weight) {
  deepest = std::max(deepest, ++depth);
  Record(block, size, allocated, weight);
  if (allocated) {
    mmgr_set_sampling(1, &ResettingCallback);
    mmgr_free(Opaque(mmgr_malloc(64)));
  }
  --depth;
}

TEST_F(Sampling, TheCallbackMaySetSamplingAnewWithoutBeingCalledFromItself) {
  mmgr_set_sampling(1, &ResettingCallback);
  void* const blocks[] = {mmgr_malloc(32), mmgr_malloc(32)};
  mmgr_set_sampling(0, nullptr);
  for (void* block : blocks) mmgr_free(block);

  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(sampleCount.load(), 2) << "each block told once, and nothing of the callback's";
}

// A thread that was allocating before sampling was turned on is sampled too, within the 64 KiB
// its countdown holds while sampling is off: of 48 blocks of 4 KiB at an interval of one byte,
// every one past the first 64 KiB is told.
TEST_F(Sampling, AThreadRunningBeforeSamplingStartsIsSampledWithinItsIdleCountdown) {
  std::atomic<int> stage{0};
  std::array<void*, 48> blocks{};
  std::thread running([&] {
    mmgr_free(Opaque(mmgr_malloc(64)));  // its countdown is drawn while sampling is off
    stage.store(1);
    while (stage.load() != 2) std::this_thread::yield();
    for (void*& block : blocks) block = mmgr_malloc(4096);
  });
  while (stage.load() != 1) std::this_thread::yield();
  mmgr_set_sampling(1, &Record);
  stage.store(2);
  running.join();
  mmgr_set_sampling(0, nullptr);
  for (void* block : blocks) mmgr_free(block);

  EXPECT_GE(AllocationsToldOf(blocks), 48 - 16);
}

}  // namespace
