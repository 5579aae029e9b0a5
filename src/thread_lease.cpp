// SPDX-License-Identifier: Apache-2.0
// The out-of-line half of the lease build (internal.h, ThreadBooks): settling a lease with the
// shared total, and giving it back when its thread ends.
#include "internal.h"

#if MEMMGR_THREAD_LEASES

#include <pthread.h>

MEMMGR_INTERNAL_NAMESPACE_BEGIN

namespace {

// Runs as the thread ends, after its C++ thread_local destructors. What the thread accounts
// after this (from other key destructors) goes straight to the shared total.
void ReturnLeaseAtExit(void*) {
  ThreadBooks& books = threadBooks;
  books.leaseCeiling = 0;
  usedMemory.fetch_sub(books.lease, std::memory_order_relaxed);
  books.lease = 0;
}

// Created by the first thread that needs it, without a lock: a thread that finds it being
// created keeps working without a lease and tries again at its next settling.
void SetExitHook(ThreadBooks& books) noexcept {
  ExitKeyState state = exitKeyState.load(std::memory_order_acquire);
  if (state == ExitKeyState::Absent &&
      exitKeyState.compare_exchange_strong(state, ExitKeyState::BeingCreated,
                                           std::memory_order_acq_rel)) {
    state = pthread_key_create(&exitKey, &ReturnLeaseAtExit) == 0 ? ExitKeyState::Ready
                                                                  : ExitKeyState::Unavailable;
    // Release: a thread that reads Ready also reads the key.
    exitKeyState.store(state, std::memory_order_release);
  }
  if (state != ExitKeyState::Ready) return;
  if (pthread_setspecific(exitKey, &books) != 0) return;
  books.exitHookSet = true;
  books.leaseCeiling = kLeaseCeiling;
}

// The lease to keep: a refill, less when the shared total is that close to the limit.
int64_t LeaseToKeep(int64_t leaseCeiling, int64_t sharedAfterStep) noexcept {
  if (leaseCeiling == 0) return 0;
  int64_t room = 0;
  if (__builtin_sub_overflow(maxMemory.load(std::memory_order_relaxed), sharedAfterStep, &room)) {
    return 0;
  }
  return room <= 0 ? 0 : room < kLeaseRefill ? room : kLeaseRefill;
}

}  // namespace

int64_t SettleLease(ThreadBooks& books, int64_t lease) noexcept {
  if (!books.exitHookSet) SetExitHook(books);
  // What the shared total would hold if the step settled exactly, with no lease kept; modulo
  // 2^64, as every byte count.
  int64_t const exact = static_cast<int64_t>(usedMemory.load(std::memory_order_relaxed) -
                                             static_cast<uint64_t>(lease));
  int64_t const keep = LeaseToKeep(books.leaseCeiling, exact);
  int64_t const settle = keep - lease;
  int64_t const shared = usedMemory.fetch_add(settle, std::memory_order_relaxed) + settle;
  books.lease = keep;
  return shared - keep;
}

MEMMGR_INTERNAL_NAMESPACE_END

#endif
