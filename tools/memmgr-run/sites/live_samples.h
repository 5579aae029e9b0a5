// SPDX-License-Identifier: Apache-2.0
// The sampled blocks still live, by address: fixed storage of its own mapping, no lock. Most
// releases are of blocks never sampled, so a counting filter answers those before the table is
// touched; it keeps the 32 counters of one page (128 bytes each) on one cache line, since
// releases come in runs over the same pages and then find the line cached. A slot goes empty →
// claimed → address → gone; gone slots are reused, and a search looks at no more than kProbes
// slots, so a full neighbourhood drops a sample instead of growing.
#pragma once

#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sites {

// A sampled block: the bytes it stands for and the stack it came from.
struct Withdrawn {
  int64_t weight = 0;
  uint32_t stack = 0;
};

class LiveSamples {
 public:
  // Maps the storage, its pages in place at once: blocks land in random slots, and faulting
  // the pages in one at a time on the allocating threads costs more. False when the mapping
  // fails; nothing may be inserted then.
  bool Reserve() {
    void* const storage = mmap(nullptr, kStorage, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (storage == MAP_FAILED) return false;
    slots_ = static_cast<Slot*>(storage);
    filter_ = reinterpret_cast<std::atomic<uint16_t>*>(slots_ + kSlots);
    return true;
  }

  // False when the block's neighbourhood is full: the sample is dropped.
  bool Insert(uintptr_t address, Withdrawn const& sample) {
    size_t const home = Home(address);
    for (size_t probe = 0; probe < kProbes; ++probe) {
      Slot& slot = slots_[(home + probe) % kSlots];
      uintptr_t seen = slot.address.load(std::memory_order_relaxed);
      if (seen != kEmpty && seen != kGone) continue;
      if (!slot.address.compare_exchange_strong(seen, kClaimed, std::memory_order_acquire))
        continue;
      slot.sample = sample;
      slot.address.store(address, std::memory_order_release);
      filter_[FilterIndex(address)].fetch_add(1, std::memory_order_relaxed);
      return true;
    }
    return false;
  }

  // Takes the block out when it was sampled. The caller owns the block, so no other thread
  // inserts or removes the same address meanwhile.
  bool Remove(uintptr_t address, Withdrawn& sample) {
    std::atomic<uint16_t>& filter = filter_[FilterIndex(address)];
    if (filter.load(std::memory_order_relaxed) == 0) [[likely]]
      return false;
    size_t const home = Home(address);
    for (size_t probe = 0; probe < kProbes; ++probe) {
      Slot& slot = slots_[(home + probe) % kSlots];
      if (slot.address.load(std::memory_order_acquire) != address) continue;
      sample = slot.sample;
      slot.address.store(kGone, std::memory_order_release);
      filter.fetch_sub(1, std::memory_order_relaxed);
      return true;
    }
    return false;
  }

  static constexpr size_t kSlots = size_t{1} << 16;

 private:
  static constexpr uintptr_t kEmpty = 0, kGone = 1, kClaimed = 2;
  static constexpr size_t kProbes = 32;
  static constexpr size_t kFilterBits = 16;

  static uint64_t Mix(uintptr_t address) { return (address >> 4) * 0x9E3779B97F4A7C15u; }
  static size_t Home(uintptr_t address) { return (Mix(address) >> 20) % kSlots; }
  static size_t FilterIndex(uintptr_t address) {
    size_t const page = ((address >> 12) * 0x9E3779B97F4A7C15u) >> (64 - kFilterBits + 5);
    return page << 5 | ((address >> 7) & 31);
  }

  struct Slot {
    std::atomic<uintptr_t> address{kEmpty};
    Withdrawn sample;
  };
  static constexpr size_t kStorage =
      kSlots * sizeof(Slot) + (size_t{1} << kFilterBits) * sizeof(std::atomic<uint16_t>);
  Slot* slots_ = nullptr;  // zero-filled by the mapping: every slot kEmpty
  // Sampled blocks per filter entry. 16 bits: an entry would overflow only if every slot of
  // the live set held a block it counts.
  std::atomic<uint16_t>* filter_ = nullptr;
};

}  // namespace sites
