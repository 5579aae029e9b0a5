// The global operators new and delete the library exports, as this executable binds them.
#include <iterator>
#include <new>
#include <vector>

#include "interface_support.h"

namespace {

using OperatorsTest = BudgetTest;

using NewForm = void* (*)(size_t);
using DeleteForm = void (*)(void*);

// Results pass through Opaque: the optimiser may assume the plain forms never return null.
struct NamedNew { char const* name; NewForm allocate; };
NamedNew const kNewForms[] = {
    {"new", [](size_t n) { return Opaque(::operator new(n)); }},
    {"new[]", [](size_t n) { return Opaque(::operator new[](n)); }},
    {"new nothrow", [](size_t n) { return Opaque(::operator new(n, std::nothrow)); }},
    {"new[] nothrow", [](size_t n) { return Opaque(::operator new[](n, std::nothrow)); }},
};

struct NamedDelete { char const* name; DeleteForm release; };
NamedDelete const kDeleteForms[] = {
    {"delete", [](void* p) { ::operator delete(p); }},
    {"delete[]", [](void* p) { ::operator delete[](p); }},
    // The size is ignored; a wrong one must not matter.
    {"sized delete", [](void* p) { ::operator delete(p, size_t{1}); }},
    {"sized delete[]", [](void* p) { ::operator delete[](p, size_t{1} << 40); }},
    {"delete nothrow", [](void* p) { ::operator delete(p, std::nothrow); }},
    {"delete[] nothrow", [](void* p) { ::operator delete[](p, std::nothrow); }},
};

struct Payload {
  char bytes[200];
};

TEST_F(OperatorsTest, EveryNewFormPairsWithEveryDeleteForm) {
  for (NamedNew const& n : kNewForms) {
    for (NamedDelete const& d : kDeleteForms) {
      for (size_t const size : {1, 100, 5000, 300000}) {
        Counters const before = Counters::Now();
        void* const block = n.allocate(size);
        Counters const allocated = Counters::Now() - before;
        int64_t const usable = Usable(block);
        d.release(block);
        Counters const after = Counters::Now();
        ASSERT_NE(block, nullptr) << n.name << " " << size;
        EXPECT_GE(usable, static_cast<int64_t>(size));
        EXPECT_EQ(allocated, Delta(usable)) << n.name << " " << size;
        EXPECT_EQ(after, before) << n.name << " / " << d.name;
      }
    }
  }
}

TEST_F(OperatorsTest, NewAndDeleteExpressionsAreAccounted) {
  Counters const before = Counters::Now();
  auto* const one = new Payload;
  Counters const afterOne = Counters::Now() - before;
  auto* const many = new int[1000];
  Counters const afterMany = Counters::Now() - before;
  auto* const quiet = new (std::nothrow) Payload[3];
  Counters const afterQuiet = Counters::Now() - before;
  int64_t const sizes[] = {Usable(one), Usable(many), Usable(quiet)};
  delete one;
  delete[] many;
  delete[] quiet;
  Counters const afterDelete = Counters::Now();
  EXPECT_EQ(afterOne, Delta(sizes[0]));
  EXPECT_EQ(afterMany, Delta(sizes[0] + sizes[1]));
  EXPECT_EQ(afterQuiet, Delta(sizes[0] + sizes[1] + sizes[2]));
  EXPECT_EQ(afterDelete, before);

  // Standard containers reach the same operators through std::allocator.
  Counters const beforeVector = Counters::Now();
  {
    std::vector<char> bytes(5000);
    EXPECT_EQ(Counters::Now() - beforeVector, Delta(Usable(bytes.data())));
  }
  EXPECT_EQ(Counters::Now(), beforeVector);
}

TEST_F(OperatorsTest, DeletingNullDoesNothing) {
  Counters const before = Counters::Now();
  for (NamedDelete const& d : kDeleteForms) d.release(nullptr);
  delete static_cast<Payload*>(nullptr);
  delete[] static_cast<int*>(nullptr);
  EXPECT_EQ(Counters::Now(), before);
}

TEST_F(OperatorsTest, NewOfNothingFollowsMallocOfNothing) {
  for (NamedNew const& n : kNewForms) {
    Counters const before = Counters::Now();
    void* const block = n.allocate(0);
    Counters const allocated = Counters::Now() - before;
    ASSERT_NE(block, nullptr) << n.name;
    EXPECT_EQ(allocated, Delta(Usable(block))) << n.name;
    ::operator delete(block);
  }

  // Above the limit an empty request gets null at once, even with over-allocation enabled.
  void* results[std::size(kNewForms) + 1] = {};
  HookTrace::Install();
  SetHeadroom(-1);
  results[0] = mmgr_malloc(0);
  for (size_t i = 0; i < std::size(kNewForms); ++i) results[i + 1] = kNewForms[i].allocate(0);
  int const calls = HookTrace::Count();
  RestorePolicy();
  for (void* const result : results) EXPECT_EQ(result, nullptr);
  EXPECT_EQ(calls, 0);
}

TEST_F(OperatorsTest, PlainNewReturnsNullWhenRecoveryFails) {
  // A memory-full handler that returns lets the sequence end in failure: no form throws.
  char* const array = RunRefused([] { return Opaque(new char[64]); });
  bool const fullAfterFirst = GTMC_IsMemoryFull();
  int const firstCalls = HookTrace::Count();
  auto* const object = Opaque(new Payload);
  void* const forms[] = {kNewForms[0].allocate(64), kNewForms[1].allocate(64),
                         kNewForms[2].allocate(64), kNewForms[3].allocate(64)};
  RestorePolicy();
  EXPECT_EQ(array, nullptr);
  EXPECT_EQ(object, nullptr);
  for (void* const form : forms) EXPECT_EQ(form, nullptr);
  EXPECT_TRUE(fullAfterFirst);
  EXPECT_EQ(firstCalls, kFailedRecoveryCalls);
  EXPECT_EQ(HookTrace::Events(7), FailedRecoveryStart(64));
}

}  // namespace
