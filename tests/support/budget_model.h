// An executable model of the budget: given the state and the policy a call starts with, it
// predicts what the library does for that call (admitted or not, the hook calls in order with
// their arguments, the one-time report, the system allocator calls) and keeps its own copy of
// the state up to date. The fault-injection loop and the fuzzer check the library against it.
// After an admitted call the caller books the real usable size of the result (Account).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hook_trace.h"

struct BudgetModel {
  enum class Hook { kNone, kRecords, kFreesReserve };  // what GTMC_GarbageCollect is

  int64_t used = 0, limit = 0;
  bool overallocation = true;
  bool callback = true;   // the recording over-allocation callback is installed
  Hook hook = Hook::kRecords;
  int64_t reserve = 0;    // usable size of the block kFreesReserve releases at its next call
  bool handlerArmed = true;  // the recording memory-full handler (it returns) fires next time
  bool reported = false;     // the process has issued its one report
  // System allocator calls are numbered from 1; those in [failFirst, failLast] fail.
  int64_t systemCalls = 0, failFirst = 0, failLast = -1;

  struct Outcome {
    bool admitted = false;  // a block came back (or, for a resize to 0, the block was released)
    std::vector<HookTrace::Event> events;
    bool report = false;
    uint64_t reportAllocated = 0, reportRequested = 0;

    int Count(HookKind kind) const {
      return static_cast<int>(std::count_if(events.begin(), events.end(),
                                            [kind](auto const& e) { return e.kind == kind; }));
    }
    // Whether a call that returned `result` went as predicted: HookTrace saw exactly these
    // events (the first ones in order, then the counts), and a block came back exactly when
    // one was admitted (`released`: a resize to 0 that gave its block up returns none).
    bool Matches(void const* result, bool released = false) const {
      auto const seen = HookTrace::Events();
      return HookTrace::Count() == static_cast<int>(events.size()) &&
             std::equal(seen.begin(), seen.end(), events.begin()) &&
             HookTrace::Count(kCollect) == Count(kCollect) &&
             HookTrace::Count(kMemoryFull) == Count(kMemoryFull) &&
             (result != nullptr) == (admitted && !released);
    }
  };

  // The prediction for the call starting now, from a total of `usedNow` with the recorders
  // just installed (which re-arms the handler): mmgr_malloc or any entry point built on it,
  // asked for `size` bytes, or a resize to `size` of a block of `old` usable bytes (0: null).
  Outcome Predict(int64_t usedNow, bool resize, int64_t old, size_t size) {
    used = usedNow;
    handlerArmed = true;
    Outcome out;
    Step const first = Attempt(out, resize, old, size, false);
    if (first == Step::kReleased) used -= old;
    if (first == Step::kAdmitted || first == Step::kReleased) return out.admitted = true, out;
    return size == 0 ? out : Recover(out, resize, old, size);
  }
  // Books an admitted block of `usable` bytes that replaced one of `oldUsable` bytes.
  void Account(int64_t usable, int64_t oldUsable = 0) { used += usable - oldUsable; }

 private:
  enum class Step { kRefused, kFailed, kAdmitted, kReleased };

  static int64_t Wrap(int64_t a, uint64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + b);
  }

  Step Attempt(Outcome& out, bool resize, int64_t old, size_t size, bool allow) {
    uint64_t const need = (static_cast<uint64_t>(size) + 15) & ~uint64_t{15};
    uint64_t const growth = need - static_cast<uint64_t>(old);
    int64_t const projected = Wrap(used, resize ? growth : need);
    // What the callback and the report are told differs between an allocation and a resize.
    uint64_t const told = resize ? growth : size;
    int64_t const total = resize ? projected : used;
    if (projected > limit) {
      if (!overallocation || !allow) return Step::kRefused;
      if (callback) out.events.push_back({kOverallocation, told, total, limit});
    }
    if (resize && size == 0) return Step::kReleased;
    ++systemCalls;
    if (systemCalls >= failFirst && systemCalls <= failLast) {
      if (!reported) {
        reported = out.report = true;
        out.reportAllocated = static_cast<uint64_t>(resize ? projected : used);
        out.reportRequested = resize ? growth : need;
      }
      return Step::kFailed;
    }
    return Step::kAdmitted;
  }

  void Collect(Outcome& out, size_t amount) {
    if (hook == Hook::kNone) return;
    out.events.push_back({kCollect, amount});
    if (hook == Hook::kFreesReserve) used -= reserve, reserve = 0;
  }

  Outcome& Recover(Outcome& out, bool resize, int64_t old, size_t size) {
    Collect(out, size);
    if (Attempt(out, resize, old, size, false) == Step::kAdmitted) return out.admitted = true, out;
    if (hook != Hook::kNone) {
      Collect(out, size + (size >> 1));
      Collect(out, SIZE_MAX);
    }
    if (Attempt(out, resize, old, size, true) == Step::kAdmitted) return out.admitted = true, out;
    Collect(out, SIZE_MAX);
    if (handlerArmed) {
      handlerArmed = false;
      out.events.push_back({kMemoryFull, size});
    }
    Collect(out, SIZE_MAX);
    for (int round = 0; round < 512; ++round) {
      if (Attempt(out, resize, old, size, true) == Step::kAdmitted) return out.admitted = true, out;
      Collect(out, SIZE_MAX);
    }
    return out;
  }
};
