// SPDX-License-Identifier: Apache-2.0
// The out-of-line half of the lease build (internal.h, LeaseSlot): settling a lease with the
// shared total, the exact total and the reclaiming of leases near the limit, and giving a
// lease back when its thread ends.
#include "internal.h"

#if MEMMGR_THREAD_LEASES

#include <pthread.h>

// Emulated TLS frees a thread's blocks from a pthread key destructor when the thread ends. The
// runtime the NDK links for Bionic (compiler-rt's) keeps them through the first round of key
// destructors, so that the others still find their thread-locals; libgcc's on glibc, and
// compiler-rt's outside Bionic, free them in the first round, in the order of the keys, which
// may come before the exit key's turn. There the lease also goes back among the thread's C++
// thread_local destructors (__cxa_thread_atexit), which run before any key destructor.
#if MEMMGR_EMULATED_TLS && !defined(__BIONIC__)
#define MEMMGR_LEASE_BACK_BEFORE_KEYS 1
#include <cxxabi.h>
extern "C" void* __dso_handle __attribute__((visibility("hidden")));
#else
#define MEMMGR_LEASE_BACK_BEFORE_KEYS 0
#endif

MEMMGR_INTERNAL_NAMESPACE_BEGIN

namespace {

constexpr bool kEmulatedTls = MEMMGR_EMULATED_TLS;

// The key whose destructor gives a thread's lease back, created by the first thread that
// needs it.
enum class ExitKeyState : int { Absent, BeingCreated, Ready, Unavailable };
constinit std::atomic<ExitKeyState> exitKeyState{ExitKeyState::Absent};
constinit pthread_key_t exitKey{};  // valid once exitKeyState is Ready
// With emulated TLS, what the key holds for a thread once its lease has gone back, until the
// thread is gone (only the address counts): books made afresh after that take no lease.
constinit char leaseGivenBack = 0;

void* LeaseGivenBack() noexcept { return &leaseGivenBack; }

// The slot's lease goes back to the shared total and the slot to the free ones.
void EmptySlot(LeaseSlot& slot) noexcept {
  int64_t const lease = slot.lease.load(std::memory_order_relaxed);
  slot.ceiling.store(0, std::memory_order_relaxed);
  slot.lease.store(0, std::memory_order_relaxed);
  usedMemory.fetch_sub(lease, std::memory_order_relaxed);
  // Release: the next owner finds the slot empty.
  slot.taken.store(false, std::memory_order_release);
}

// What the thread accounts after this goes straight to the shared total.
void GiveLeaseBack() noexcept {
  ThreadBooks& books = threadBooks;
  if (books.slot == &noLeaseSlot) return;
  EmptySlot(*books.slot);
  books.slot = &noLeaseSlot;
}

// In a child of fork only the forking thread lives on: the other threads' leases go back.
void GiveOtherLeasesBackInChild() noexcept {
  LeaseSlot const* const own = threadBooks.slot;
  int const inUse = leaseSlotsInUse.load(std::memory_order_acquire);
  for (int i = 0; i < inUse; ++i) {
    LeaseSlot& slot = leaseSlots[i];
    if (&slot != own && slot.taken.load(std::memory_order_relaxed)) EmptySlot(slot);
  }
}

// A free slot for this thread, or noLeaseSlot when all are taken.
LeaseSlot* TakeSlot() noexcept {
  for (int i = 0; i < kLeaseSlots; ++i) {
    LeaseSlot& slot = leaseSlots[i];
    bool free = false;
    // Acquire: the slot's last owner emptied it before letting it go.
    if (slot.taken.load(std::memory_order_relaxed) ||
        !slot.taken.compare_exchange_strong(free, true, std::memory_order_acquire)) {
      continue;
    }
    int inUse = leaseSlotsInUse.load(std::memory_order_relaxed);
    while (inUse <= i &&
           !leaseSlotsInUse.compare_exchange_weak(inUse, i + 1, std::memory_order_release)) {
    }
    return &slot;
  }
  return &noLeaseSlot;
}

// The exit key's destructor: it runs as the thread ends, after its C++ thread_local
// destructors, and finds the thread's books whole (emulated TLS: see above). Emulated, the key
// then holds the mark that the lease is back, set again at every further round of key
// destructors: books made afresh once the runtime has freed the thread's blocks would otherwise
// take a lease that nothing gives back.
void EndLeaseAtExit(void* value) {
  if (value != LeaseGivenBack()) GiveLeaseBack();
  if constexpr (kEmulatedTls) pthread_setspecific(exitKey, LeaseGivenBack());
}

#if MEMMGR_LEASE_BACK_BEFORE_KEYS
void GiveLeaseBackBeforeKeys(void*) {
  GiveLeaseBack();
  pthread_setspecific(exitKey, LeaseGivenBack());
}
#endif

// Created by the first thread that needs it, without a lock: a thread that finds it being
// created keeps working without a lease and tries again at its next settling.
void SetExitHook(ThreadBooks& books) noexcept {
  ExitKeyState state = exitKeyState.load(std::memory_order_acquire);
  if (state == ExitKeyState::Absent &&
      exitKeyState.compare_exchange_strong(state, ExitKeyState::BeingCreated,
                                           std::memory_order_acq_rel)) {
    state = pthread_key_create(&exitKey, &EndLeaseAtExit) == 0 &&
                    pthread_atfork(nullptr, nullptr, &GiveOtherLeasesBackInChild) == 0
                ? ExitKeyState::Ready
                : ExitKeyState::Unavailable;
    // Release: a thread that reads Ready also reads the key.
    exitKeyState.store(state, std::memory_order_release);
  }
  if (state != ExitKeyState::Ready) return;
  if (kEmulatedTls && pthread_getspecific(exitKey) == LeaseGivenBack()) {
    books.exitHookSet = true;  // the thread is ending: no lease, and no asking again
    return;
  }
  if (pthread_setspecific(exitKey, &books) != 0) return;
#if MEMMGR_LEASE_BACK_BEFORE_KEYS
  if (abi::__cxa_thread_atexit(&GiveLeaseBackBeforeKeys, nullptr, &__dso_handle) != 0) return;
#endif
  books.exitHookSet = true;
  books.slot = TakeSlot();
}

// The room the limit leaves above `total`; 0 when none or when the difference overflows.
int64_t RoomAbove(int64_t total) noexcept {
  int64_t room = 0;
  if (__builtin_sub_overflow(maxMemory.load(std::memory_order_relaxed), total, &room)) return 0;
  return room < 0 ? 0 : room;
}

// The lease to keep: a refill, less when the shared total is that close to the limit, none
// while the slot has no ceiling. A ceiling taken away comes back only with kLeaseRoom of room,
// so that threads near the limit step on the shared total rather than take leases and have
// them taken away again at every decision.
int64_t LeaseToKeep(LeaseSlot& slot, int64_t sharedAfterStep) noexcept {
  if (&slot == &noLeaseSlot) return 0;
  int64_t const room = RoomAbove(sharedAfterStep);
  if (slot.ceiling.load(std::memory_order_relaxed) == 0) {
    if (room < kLeaseRoom) return 0;
    slot.ceiling.store(kLeaseCeiling, std::memory_order_relaxed);
  }
  return room < kLeaseRefill ? room : kLeaseRefill;
}

}  // namespace

int64_t ExactTotal(LeaseCeilings ceilings) noexcept {
  int64_t total = usedMemory.load(std::memory_order_relaxed);
  int const inUse = leaseSlotsInUse.load(std::memory_order_acquire);
  for (int i = 0; i < inUse; ++i) {
    LeaseSlot& slot = leaseSlots[i];
    total -= slot.lease.load(std::memory_order_relaxed);
    // Written only when set: the line stays shared with its owner's core otherwise.
    if (ceilings == LeaseCeilings::Reclaimed && slot.ceiling.load(std::memory_order_relaxed) != 0) {
      slot.ceiling.store(0, std::memory_order_relaxed);
    }
  }
  return total;
}

int64_t SettleLease(ThreadBooks& books, int64_t lease) noexcept {
  if (!books.exitHookSet) SetExitHook(books);
  LeaseSlot& slot = *books.slot;
  // What the shared total would hold if the step settled exactly, with no lease kept; modulo
  // 2^64, as every byte count. `lease` is what the step left of the lease the shared total
  // counts (0 from noLeaseSlot, also when the slot was taken just now).
  int64_t const exact = static_cast<int64_t>(usedMemory.load(std::memory_order_relaxed) -
                                             static_cast<uint64_t>(lease));
  int64_t const keep = LeaseToKeep(slot, exact);
  int64_t const settle = keep - lease;
  // Two writes: a reader of both (ExactTotal) between them is off by this settling, as a
  // reader of the default build's total is off by an allocation whose block is taken but not
  // yet accounted.
  int64_t const shared = usedMemory.fetch_add(settle, std::memory_order_relaxed) + settle;
  if (&slot != &noLeaseSlot) slot.lease.store(keep, std::memory_order_relaxed);
  return shared - keep;
}

MEMMGR_INTERNAL_NAMESPACE_END

#endif
