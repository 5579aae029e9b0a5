// An executable model of the budget: given the state and the policy a call starts with, it
// predicts what the library does for that call (admitted or not, the hook calls in order with
// their arguments, the one-time report, the system allocator calls) and keeps its own copy of
// the state up to date. The fault-injection loop and the fuzzer check the library against it.
//
// Its `used` is the total the library would see; after an admitted call the caller adds the
// real usable size of the result (Account), which the model cannot know.
#pragma once

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
      int n = 0;
      for (auto const& e : events) n += e.kind == kind;
      return n;
    }
    // Whether HookTrace saw exactly these events (its first ones in order, then the counts).
    bool MatchesTrace() const {
      auto const seen = HookTrace::Events();
      if (HookTrace::Count() != static_cast<int>(events.size())) return false;
      for (size_t i = 0; i < seen.size(); ++i) {
        if (!(seen[i] == events[i])) return false;
      }
      return HookTrace::Count(kCollect) == Count(kCollect) &&
             HookTrace::Count(kMemoryFull) == Count(kMemoryFull);
    }
  };

  // mmgr_malloc and every entry point built on it, asked for `size` bytes.
  Outcome Malloc(size_t size) {
    Outcome out;
    Step const first = Attempt(out, false, 0, size, false);
    if (first == Step::kAdmitted || size == 0) return out.admitted = first == Step::kAdmitted, out;
    return Recover(out, false, 0, size);
  }
  // mmgr_realloc of a block of `oldUsable` bytes (0 for null) to `size` bytes.
  Outcome Realloc(int64_t oldUsable, size_t size) {
    Outcome out;
    Step const first = Attempt(out, true, oldUsable, size, false);
    if (first == Step::kReleased) used -= oldUsable;
    if (first != Step::kRefused && first != Step::kFailed) return out.admitted = true, out;
    if (size == 0) return out;
    return Recover(out, true, oldUsable, size);
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
