// SPDX-License-Identifier: Apache-2.0
// The out-of-line half of the lease build (internal.h, ThreadBooks): settling a lease with the
// shared total, and giving it back when its thread ends.
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

void* LeaseGivenBack() noexcept { return &leaseGivenBack; }

// What the thread accounts after this goes straight to the shared total.
void GiveLeaseBack() noexcept {
  ThreadBooks& books = threadBooks;
  books.leaseCeiling = 0;
  usedMemory.fetch_sub(books.lease, std::memory_order_relaxed);
  books.lease = 0;
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
    state = pthread_key_create(&exitKey, &EndLeaseAtExit) == 0 ? ExitKeyState::Ready
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
