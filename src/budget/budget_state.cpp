#include "budget_state.h"

#include "thread_books.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

constinit std::atomic<int64_t> maxMemory{kPreStartupLimit};
constinit std::atomic<int64_t> usedMemory{0};
constinit std::atomic<bool> rulesSettable{false};
constinit std::atomic<bool> overallocationEnabled{true};
constinit std::atomic<OverallocationCallback> onOverallocation{nullptr};
constinit std::atomic<bool> memoryFull{false};
constinit std::atomic<bool> memoryFullFired{false};
constinit std::atomic<bool> failureReported{false};
// False until the initialiser has looked: a binding never checked is not reported as ours.
constinit std::atomic<bool> operatorsInEffect{false};

#if !MEMMGR_THREAD_LEASES
constinit thread_local int64_t threadAllocated = 0;
#endif

MEMMGR_INTERNAL_NAMESPACE_END
