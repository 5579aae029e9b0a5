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

// ---- Over-aligned types: the std::align_val_t forms ------------------------------------------

struct alignas(64) Aligned64 {
  char bytes[100];
};
constexpr std::align_val_t kAlign{alignof(Aligned64)};
constexpr size_t kAlignedBytes = sizeof(Aligned64);

// Every aligned form, and the new and delete expressions of an over-aligned type.
void* (*const kAlignedNewForms[])() = {
    [] { return Opaque(::operator new(kAlignedBytes, kAlign)); },
    [] { return Opaque(::operator new[](kAlignedBytes, kAlign)); },
    [] { return Opaque(::operator new(kAlignedBytes, kAlign, std::nothrow)); },
    [] { return Opaque(::operator new[](kAlignedBytes, kAlign, std::nothrow)); },
    []() -> void* { return Opaque(new Aligned64); },
    []() -> void* { return Opaque(new Aligned64[1]); },
};
void (*const kAlignedDeleteForms[])(void*) = {
    [](void* p) { ::operator delete(p, kAlign); },
    [](void* p) { ::operator delete[](p, kAlign); },
    [](void* p) { ::operator delete(p, size_t{1}, kAlign); },
    [](void* p) { ::operator delete[](p, size_t{1} << 40, kAlign); },
    [](void* p) { ::operator delete(p, kAlign, std::nothrow); },
    [](void* p) { ::operator delete[](p, kAlign, std::nothrow); },
    [](void* p) { delete static_cast<Aligned64*>(p); },
    [](void* p) { delete[] static_cast<Aligned64*>(p); },
};

TEST_F(OperatorsTest, OverAlignedFormsAreAlignedAccountedAndRefusedLikeTheOthers) {
  for (size_t i = 0; i < std::size(kAlignedDeleteForms); ++i) {
    auto const allocate = kAlignedNewForms[i % std::size(kAlignedNewForms)];
    Counters const before = Counters::Now();
    void* const block = allocate();
    Counters const allocated = Counters::Now() - before;
    int64_t const usable = Usable(block);
    kAlignedDeleteForms[i](block);
    Counters const after = Counters::Now();
    void* const refused = RunRefused(allocate);
    RestorePolicy();
    EXPECT_GE(usable, int64_t{kAlignedBytes}) << i;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignof(Aligned64), 0u) << i;
    EXPECT_EQ(allocated, Delta(usable)) << i;
    EXPECT_EQ(after, before) << i;
    EXPECT_EQ(refused, nullptr) << i;
    EXPECT_EQ(HookTrace::Events(7), FailedRecoveryStart(kAlignedBytes)) << i;
    EXPECT_EQ(HookTrace::Count(), kFailedRecoveryCalls) << i;
  }
}

TEST_F(OperatorsTest, EveryPowerOfTwoAlignmentIsHonouredAndAnyOtherGivesNull) {
  for (size_t alignment = 1; alignment <= size_t{1} << 20; alignment <<= 1) {
    Counters const before = Counters::Now();
    void* const block = ::operator new(100, std::align_val_t{alignment}, std::nothrow);
    auto const address = reinterpret_cast<uintptr_t>(block);
    ::operator delete(block, std::align_val_t{alignment});
    bool const balanced = Counters::Now() == before;
    EXPECT_TRUE(address != 0 && address % alignment == 0 && balanced) << alignment;
  }
  // With every request refused and the hooks recording, any step past the test would show.
  for (size_t const odd : {0, 12, 48}) {
    Counters const before = Counters::Now();
    void* const block =
        RunRefused([odd] { return Opaque(::operator new(1, std::align_val_t{odd})); });
    bool const untouched = Counters::Now() == before && HookTrace::Count() == 0;
    RestorePolicy();
    EXPECT_TRUE(block == nullptr && untouched) << odd;
  }
}
// ---- end of the over-aligned block ------------------------------------------------------------

}  // namespace
