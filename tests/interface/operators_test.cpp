// The global operators new and delete the library exports, as this executable binds them.
#include <iterator>
#include <new>
#include <vector>

#include "hook_trace.h"

namespace {

using OperatorsTest = BudgetTest;

// Hides a pointer's origin from the optimiser, which may otherwise fold a null test of a
// plain `new` result to false.
template <typename T>
T* Opaque(T* pointer) {
  asm volatile("" : "+r"(pointer));
  return pointer;
}

void* (*const kNewForms[])(size_t) = {
    [](size_t n) { return Opaque(::operator new(n)); },
    [](size_t n) { return Opaque(::operator new[](n)); },
    [](size_t n) { return Opaque(::operator new(n, std::nothrow)); },
    [](size_t n) { return Opaque(::operator new[](n, std::nothrow)); },
};
void (*const kDeleteForms[])(void*) = {
    [](void* p) { ::operator delete(p); },
    [](void* p) { ::operator delete[](p); },
    // The size is ignored; a wrong one must not matter.
    [](void* p) { ::operator delete(p, size_t{1}); },
    [](void* p) { ::operator delete[](p, size_t{1} << 40); },
    [](void* p) { ::operator delete(p, std::nothrow); },
    [](void* p) { ::operator delete[](p, std::nothrow); },
};

TEST_F(OperatorsTest, EveryFormIsAccountedByTheUsableSize) {
  for (size_t i = 0; i < std::size(kDeleteForms); ++i) {
    Counters const before = Counters::Now();
    void* const block = kNewForms[i % std::size(kNewForms)](5000);
    Counters const allocated = Counters::Now() - before;
    int64_t const usable = Usable(block);
    kDeleteForms[i](block);
    Counters const after = Counters::Now();
    kDeleteForms[i](nullptr);
    EXPECT_EQ(Counters::Now(), after) << "deleting null does nothing";
    ASSERT_NE(block, nullptr) << i;
    EXPECT_GE(usable, 5000);
    EXPECT_EQ(allocated, Delta(usable)) << i;
    EXPECT_EQ(after, before) << i;
  }
  {
    // Standard containers reach the same operators through std::allocator.
    Counters const before = Counters::Now();
    std::vector<char> const bytes(5000);
    EXPECT_EQ(Counters::Now() - before, Delta(Usable(bytes.data())));
  }
}

TEST_F(OperatorsTest, EveryFormTestsTheBudgetAndReturnsNullRatherThanThrowing) {
  for (auto const allocate : kNewForms) {
    // Exactly the rounded request left: fits at the first attempt, no hook called.
    HookTrace::Install();
    GMM_EnableOverallocation(false);
    SetHeadroom(112);
    void* const fits = allocate(100);
    int const fitCalls = HookTrace::Count();
    // One byte short: the whole recovery sequence runs and fails (the handler returns).
    SetHeadroom(111);
    void* const refused = allocate(100);
    // Over the limit, an empty request gets null at once.
    SetHeadroom(-1);
    void* const empty = allocate(0);
    RestorePolicy();
    EXPECT_NE(fits, nullptr);
    EXPECT_EQ(fitCalls, 0);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(empty, nullptr);
    EXPECT_EQ(HookTrace::Events(7), FailedRecoveryStart(100));
    EXPECT_EQ(HookTrace::Count(), kFailedRecoveryCalls);
    ::operator delete(fits);
  }
  // A new expression too: its caller has to test a plain `new` for null.
  struct Payload {
    char bytes[200];
  };
  auto* const object = RunRefused([] { return Opaque(new Payload); });
  RestorePolicy();
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(HookTrace::Events(7), FailedRecoveryStart(sizeof(Payload)));
}

}  // namespace
