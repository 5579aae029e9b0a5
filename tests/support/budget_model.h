// SPDX-License-Identifier: Apache-2.0
// An executable model of the budget: given the state and the policy a call starts with, it
// predicts what the library does for that call (admitted or not, the hook calls in order with
// their arguments, the memory-full event, the pressure signal, the peak, the one-time report,
// the system allocator calls).
// Run() sets the model's policy on the library, makes the call, takes the policy down again
// and checks the call against the prediction; the table cases, the fault-injection loop and
// the fuzzer all go through it.
#pragma once

#include <sstream>
#include <string>
#include <utility>

#include "memmgr_test.h"

struct BudgetModel {
  // What GTMC_GarbageCollect is: none, a recorder, one that releases `reserveBlock` at each
  // call, or one that removes itself at its first call.
  enum class Hook { kNone, kRecords, kFreesReserve, kRemovesItself };

  int64_t used = 0, limit = 0;
  bool overallocation = true;
  bool callback = true;   // the recording over-allocation callback is installed
  bool handler = true;    // the recording memory-full handler (it returns); else null
  int64_t pressure = -1;  // the threshold of the recording pressure callback; negative: off
  Hook hook = Hook::kRecords;
  bool reported = false;  // the process has issued its one report
  // System allocator calls are numbered from 1; those in [failFirst, failLast] fail.
  int64_t systemCalls = 0, failFirst = 0, failLast = -1;
  static inline void* reserveBlock = nullptr;

  struct Outcome {
    bool admitted = false;  // a block came back (or, for a resize to 0, the block was released)
    bool fired = false;     // the memory-full handler was fired (even a null one)
    std::vector<HookTrace::Event> events;
    bool report = false;
    uint64_t reportAllocated = 0, reportRequested = 0;

    int Count(HookKind kind) const {
      return static_cast<int>(std::count_if(events.begin(), events.end(),
                                            [kind](auto const& e) { return e.kind == kind; }));
    }
  };
  // The library's own counts of the recovery sequence, read where a tool outside reads them.
  struct RecoveryCounts {
    int64_t collections, overallocations, memoryFullEvents;
    static RecoveryCounts Now() {
      mmgr_figure_locations const& at = *mmgr_get_figure_locations();
      auto const read = [](void const* count) { return *static_cast<int64_t const*>(count); };
      return {read(at.collections), read(at.overallocations), read(at.memoryFullEvents)};
    }
    RecoveryCounts operator-(RecoveryCounts const& o) const {
      return {collections - o.collections, overallocations - o.overallocations,
              memoryFullEvents - o.memoryFullEvents};
    }
  };
  struct Checked {
    void* result;
    Outcome expected;
    bool released;  // a resize to 0 gave its block up
    bool ok;  // result, hook calls, both counters, the peak and the recovery counts as predicted
    std::string seen;  // what was seen, when not ok
  };

  // Runs one call of an entry point asking for `size` bytes (or resizing a block of `old`
  // usable bytes to `size`: `resize`), books it and says whether it went as predicted.
  template <typename Call>
  Checked Run(bool resize, int64_t old, size_t size, Call call) {
    int64_t const reserveBefore = Usable(reserveBlock), limitBefore = GTMC_GetTotalMemory();
    HookTrace::Install();
    GTMC_GarbageCollect = hook == Hook::kNone           ? nullptr
                          : hook == Hook::kRecords      ? &HookTrace::OnCollect
                          : hook == Hook::kFreesReserve ? &FreeReserve
                                                        : &RemoveItself;
    if (!callback) GMM_SetOnOverallocation(nullptr);
    if (!handler) GTMC_MemoryFull = nullptr;  // a plain store: the handler stays armed
    GMM_EnableOverallocation(overallocation);
    GTMC_SetMemoryAllocationRules(limit);
    GTMC_SetMemoryPressureCallback(pressure, &HookTrace::OnPressure);
    GTMC_ResetPeakUsedMemory();
    Counters const before = Counters::Now();
    RecoveryCounts const countsBefore = RecoveryCounts::Now();
    void* const result = call();
    Counters const change = Counters::Now() - before;
    RecoveryCounts const counted = RecoveryCounts::Now() - countsBefore;
    int64_t const peak = GTMC_GetPeakUsedMemory();
    // Taken down before anything else allocates: the prediction itself does.
    GTMC_SetMemoryPressureCallback(-1, nullptr);
    GTMC_SetMemoryAllocationRules(limitBefore);
    GMM_EnableOverallocation(true);
    GMM_SetOnOverallocation(nullptr);
    GTMC_GarbageCollect = nullptr;
    Set_GTMC_MemoryFull(&HookTrace::OnMemoryFull);

    reserve = reserveBefore;
    Checked c{result, Predict(before.used, resize, old, size), false, false, {}};
    c.released = resize && size == 0 && c.expected.admitted;
    auto const seen = HookTrace::Events();
    int64_t const freedByHook = reserveBefore - reserve;
    int64_t const step = c.released ? -old : result ? Usable(result) - old : 0;
    Counters const expectedChange = Delta(step - freedByHook);
    // Only the final step can raise the total: it sets the peak and may cross the threshold.
    int64_t const after = before.used + expectedChange.used;
    int64_t expectedPeak = std::max<int64_t>(before.used, 0);
    if (step > 0) {
      expectedPeak = std::max(expectedPeak, after);
      if (pressure >= 0 && after > pressure)
        c.expected.events.push_back({kPressure, 0, after, pressure});
    }
    c.ok = HookTrace::Count() == static_cast<int>(c.expected.events.size()) &&
           std::equal(seen.begin(), seen.end(), c.expected.events.begin()) &&
           (result != nullptr) == (c.expected.admitted && !c.released) &&
           change == expectedChange && peak == expectedPeak &&
           counted.collections == c.expected.Count(kCollect) &&
           counted.memoryFullEvents == (c.expected.fired ? 1 : 0) &&
           (!callback || counted.overallocations == c.expected.Count(kOverallocation));
    if (!c.ok) {
      std::ostringstream out;
      out << (result ? "a block" : "null") << ", " << HookTrace::Count() << " hook calls of "
          << c.expected.events.size() << ", counters moved " << change.used << " of "
          << expectedChange.used << ", peak " << peak << " of " << expectedPeak;
      c.seen = out.str();
    }
    return c;
  }

  // The prediction for the call starting from a total of `usedNow` with the recorders just
  // installed (which re-arms the handler).
  Outcome Predict(int64_t usedNow, bool resize, int64_t old, size_t size) {
    used = usedNow;
    handlerArmed = true;
    Outcome out;
    Step const first = Attempt(out, resize, old, size, false);
    if (first == Step::kReleased) used -= old;
    if (first == Step::kAdmitted || first == Step::kReleased) return out.admitted = true, out;
    return size == 0 ? out : Recover(out, resize, old, size);
  }

 private:
  enum class Step { kRefused, kFailed, kAdmitted, kReleased };
  int64_t reserve = 0;  // usable size of reserveBlock when the call started
  bool handlerArmed = true;
  Hook hookNow = Hook::kRecords;

  static int FreeReserve(size_t amount) {
    mmgr_free(std::exchange(reserveBlock, nullptr));
    return HookTrace::OnCollect(amount);
  }
  static int RemoveItself(size_t amount) {
    GTMC_GarbageCollect = nullptr;
    return HookTrace::OnCollect(amount);
  }
  Step Attempt(Outcome& out, bool resize, int64_t old, size_t size, bool allow) {
    // A resize to 0 releases whatever the total: its null must not hide a live block.
    if (resize && size == 0) return Step::kReleased;
    uint64_t const need = (static_cast<uint64_t>(size) + 15) & ~uint64_t{15};
    uint64_t const growth = need - static_cast<uint64_t>(old);
    int64_t const projected =
        static_cast<int64_t>(static_cast<uint64_t>(used) + (resize ? growth : need));
    // What the callback and the report are told differs between an allocation and a resize.
    uint64_t const told = resize ? growth : size;
    int64_t const total = resize ? projected : used;
    if (projected > limit) {
      if (!overallocation || !allow) return Step::kRefused;
      if (callback) out.events.push_back({kOverallocation, told, total, limit});
    }
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
    if (hookNow == Hook::kNone) return;
    out.events.push_back({kCollect, amount});
    if (hookNow == Hook::kFreesReserve) used -= reserve, reserve = 0;
    if (hookNow == Hook::kRemovesItself) hookNow = Hook::kNone;
  }

  Outcome& Recover(Outcome& out, bool resize, int64_t old, size_t size) {
    hookNow = hook;
    Collect(out, size);
    if (Attempt(out, resize, old, size, false) == Step::kAdmitted) return out.admitted = true, out;
    if (hookNow != Hook::kNone) {
      Collect(out, size + (size >> 1));
      Collect(out, SIZE_MAX);
    }
    if (Attempt(out, resize, old, size, true) == Step::kAdmitted) return out.admitted = true, out;
    Collect(out, SIZE_MAX);
    if (handlerArmed) {
      handlerArmed = false;
      out.fired = true;
      if (handler) out.events.push_back({kMemoryFull, size});
    }
    Collect(out, SIZE_MAX);
    for (int round = 0; round < 512; ++round) {
      if (Attempt(out, resize, old, size, true) == Step::kAdmitted) return out.admitted = true, out;
      Collect(out, SIZE_MAX);
    }
    return out;
  }
};
