// Every allocating entry point under every shape of the budget, checked against the model:
// whether the request fits (on its size rounded up to 16), the recovery sequence step by step
// (hook amounts, over-allocation and what its callback is told, the memory-full handler, the
// 512 rounds), both counters moved by exactly the usable size, the alignment promised, and the
// release through the matching form.
#include <cstring>
#include <new>

#include "budget_model.h"

namespace {

using Hook = BudgetModel::Hook;

char text[201];  // copies of `n` bytes are taken from the tail of these
wchar_t wide[51];
void* CopyText(size_t n) { return FF_strdup(text + 201 - n); }
void* CopyWide(size_t n) { return FF_wcsdup(wide + 51 - n / sizeof(wchar_t)); }

struct Entry {
  char const* name;
  void* (*allocate)(void* block, size_t n);  // `block`: the block a resize starts from
  void (*release)(void*);
  size_t alignment = 16;
  size_t resizeFrom = 0;  // a resize of a block of this many bytes (SIZE_MAX: from null)
  bool isNew = false;     // the C++ operators, which sanitizers and valgrind replace
  bool takesEmpty = true;
};
void Free(void* p) { mmgr_free(p); }
void AlignedFree(void* p) { mmgr_aligned_free(p); }

Entry const kEntries[] = {
    {"malloc", [](void*, size_t n) { return mmgr_malloc(n); }, Free},
    {"calloc", [](void*, size_t n) { return mmgr_calloc(4, n / 4); }, AlignedFree},
    {"realloc from null", [](void* b, size_t n) { return mmgr_realloc(b, n); }, Free, 16, SIZE_MAX},
    {"realloc grow", [](void* b, size_t n) { return mmgr_realloc(b, n); }, Free, 16, 40},
    {"realloc shrink", [](void* b, size_t n) { return mmgr_realloc(b, n); }, Free, 16, 4000},
    // Powers of two above 16 are honoured; anything else takes malloc's own 16 (48 and 3
    // would make posix_memalign fail).
    {"aligned 32", [](void*, size_t n) { return mmgr_aligned_alloc(32, n); }, AlignedFree, 32},
    {"aligned 4096", [](void*, size_t n) { return mmgr_aligned_alloc(4096, n); }, Free, 4096},
    {"aligned 65536", [](void*, size_t n) { return mmgr_aligned_alloc(65536, n); }, Free, 65536},
    {"aligned 0", [](void*, size_t n) { return mmgr_aligned_alloc(0, n); }, AlignedFree},
    {"aligned 3", [](void*, size_t n) { return mmgr_aligned_alloc(3, n); }, AlignedFree},
    {"aligned 48", [](void*, size_t n) { return mmgr_aligned_alloc(48, n); }, AlignedFree},
    {"strdup", [](void*, size_t n) { return CopyText(n); }, Free, 16, 0, false, false},
    {"wcsdup", [](void*, size_t n) { return CopyWide(n); }, Free, 16, 0, false, false},
    // Each delete form once; a sized delete's size is ignored, so a wrong one must not matter.
    {"new", [](void*, size_t n) { return Opaque(::operator new(n)); },
     [](void* p) { ::operator delete(p); }, 16, 0, true},
    {"new[]", [](void*, size_t n) { return Opaque(::operator new[](n)); },
     [](void* p) { ::operator delete[](p, size_t{1} << 40); }, 16, 0, true},
    {"new nothrow", [](void*, size_t n) { return ::operator new(n, std::nothrow); },
     [](void* p) { ::operator delete(p, std::nothrow); }, 16, 0, true},
    {"new[] nothrow", [](void*, size_t n) { return ::operator new[](n, std::nothrow); },
     [](void* p) { ::operator delete[](p, std::nothrow); }, 16, 0, true},
    {"new, sized delete", [](void*, size_t n) { return Opaque(::operator new(n)); },
     [](void* p) { ::operator delete(p, size_t{1}); }, 16, 0, true},
    {"new[], delete[]", [](void*, size_t n) { return Opaque(::operator new[](n)); },
     [](void* p) { ::operator delete[](p); }, 16, 0, true},
    // Over-aligned types; an alignment of 16 or less is malloc's own.
    {"new 64", [](void*, size_t n) { return Opaque(::operator new(n, std::align_val_t{64})); },
     [](void* p) { ::operator delete(p, std::align_val_t{64}); }, 64, 0, true},
    {"new[] 4096",
     [](void*, size_t n) { return Opaque(::operator new[](n, std::align_val_t{4096})); },
     [](void* p) { ::operator delete[](p, size_t{1}, std::align_val_t{4096}); }, 4096, 0, true},
    {"new 8 nothrow",
     [](void*, size_t n) { return ::operator new(n, std::align_val_t{8}, std::nothrow); },
     [](void* p) { ::operator delete(p, std::align_val_t{8}, std::nothrow); }, 16, 0, true},
    {"new[] 32 nothrow",
     [](void*, size_t n) { return ::operator new[](n, std::align_val_t{32}, std::nothrow); },
     [](void* p) { ::operator delete[](p, std::align_val_t{32}, std::nothrow); }, 32, 0, true},
    {"new 128, sized delete",
     [](void*, size_t n) { return Opaque(::operator new(n, std::align_val_t{128})); },
     [](void* p) { ::operator delete(p, size_t{3}, std::align_val_t{128}); }, 128, 0, true},
    {"new[] 64, delete[]",
     [](void*, size_t n) { return Opaque(::operator new[](n, std::align_val_t{64})); },
     [](void* p) { ::operator delete[](p, std::align_val_t{64}); }, 64, 0, true},
};

struct Policy {
  char const* name;
  int64_t headroom;  // the limit minus the bytes in use when the call starts
  bool overallocation;
  Hook hook;
  bool handler = true;
  size_t size = 100;  // rounds to 112
};
Policy const kPolicies[] = {
    {"fits exactly", 112, false, Hook::kRecords},
    {"one byte short", 111, false, Hook::kRecords},
    {"over, over-allocated", 0, true, Hook::kRecords},
    {"over by 8 KiB, over-allocated", -8192, true, Hook::kRecords},
    {"hook frees enough", 0, false, Hook::kFreesReserve},
    {"no hook", 0, false, Hook::kNone},
    {"hook removes itself", 0, false, Hook::kRemovesItself},
    {"null handler", 0, false, Hook::kRecords, false},
    {"empty within", 4096, false, Hook::kRecords, true, 0},
    {"empty over", -1, true, Hook::kRecords, true, 0},
};

bool NewIsAccounted() {
  int64_t const before = GTMC_GetAllocationSizeInCurrentThread();
  void* const probe = ::operator new(64);
  bool const accounted = GTMC_GetAllocationSizeInCurrentThread() != before;
  ::operator delete(probe);
  return accounted;
}

using EntryPoints = BudgetTest;

TEST_F(EntryPoints, EveryEntryUnderEveryBudgetDoesWhatTheModelPredicts) {
  std::memset(text, 'x', 200);
  std::wmemset(wide, L'w', 50);
  bool const newAccounted = NewIsAccounted();
  for (Entry const& e : kEntries) {
    if (e.isNew && !newAccounted) continue;
    for (Policy const& p : kPolicies) {
      if (p.size == 0 && !e.takesEmpty) continue;
      SCOPED_TRACE(std::string(e.name) + ", " + p.name);
      BudgetModel model;
      model.overallocation = p.overallocation;
      model.hook = p.hook;
      model.handler = p.handler;
      void* const from = e.resizeFrom == 0 || e.resizeFrom == SIZE_MAX
                             ? nullptr
                             : std::memset(mmgr_malloc(e.resizeFrom), 0x5A, e.resizeFrom);
      if (p.hook == Hook::kFreesReserve) BudgetModel::reserveBlock = mmgr_malloc(64 << 10);
      model.limit = GTMC_GetTotalUsedMemory() + p.headroom;
      auto const c = model.Run(e.resizeFrom != 0, Usable(from), p.size,
                               [&] { return e.allocate(from, p.size); });
      EXPECT_TRUE(c.ok) << c.seen;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(c.result) % e.alignment, 0u);
      if (c.result != nullptr && from != nullptr) {  // a resize keeps the contents it can
        EXPECT_EQ(static_cast<unsigned char*>(c.result)[std::min(e.resizeFrom, p.size) - 1], 0x5A);
      }
      mmgr_free(std::exchange(BudgetModel::reserveBlock, nullptr));
      if (from != nullptr && c.result == nullptr && !c.released) mmgr_free(from);
      int64_t const usable = Usable(c.result);
      Counters const before = Counters::Now();
      e.release(c.result);
      EXPECT_EQ(Counters::Now() - before, Delta(-usable));
    }
  }
}

struct alignas(64) Tile {
  char pixels[100];
};

TEST_F(EntryPoints, OverAlignedObjectsAndArraysAreAccounted) {
  if (!NewIsAccounted()) GTEST_SKIP() << "new and delete are not the library's here";
  for (int count : {0, 1, 5}) {
    Counters const before = Counters::Now();
    Tile* const tiles = count == 0 ? new Tile : new Tile[count];
    Counters const held = Counters::Now() - before;
    int64_t const usable = Usable(tiles);
    count == 0 ? delete tiles : delete[] tiles;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(tiles) % 64, 0u);
    EXPECT_GE(usable, int64_t{sizeof(Tile)} * std::max(count, 1));
    EXPECT_EQ(held, Delta(usable));
    EXPECT_EQ(Counters::Now(), before);
  }
}

// Requests that cannot be met or make no sense give null at once: nothing is allocated and
// no hook is called, even with the limit below the bytes in use.
TEST_F(EntryPoints, OverflowingAndNullRequestsAllocateNothing) {
  bool const newAccounted = NewIsAccounted();
  HookTrace::Install();
  SetHeadroom(-1);
  Counters const before = Counters::Now();
  void* const results[] = {
      mmgr_calloc(SIZE_MAX, 2), mmgr_calloc(2, SIZE_MAX / 2 + 1),
      mmgr_calloc(size_t{1} << 32, size_t{1} << 32), FF_strdup(nullptr), FF_wcsdup(nullptr),
      mmgr_realloc(nullptr, 0),
      // An alignment no block can have reaches the operators only by a direct call.
      newAccounted ? Opaque(::operator new(1, std::align_val_t{48})) : nullptr,
      newAccounted ? ::operator new[](1, std::align_val_t{0}, std::nothrow) : nullptr};
  mmgr_free(nullptr);
  mmgr_aligned_free(nullptr);
  ::operator delete(nullptr);
  Counters const after = Counters::Now();
  RestorePolicy();
  for (void* const result : results) EXPECT_EQ(result, nullptr);
  EXPECT_EQ(after, before);
  EXPECT_EQ(HookTrace::Count(), 0);
}

}  // namespace
