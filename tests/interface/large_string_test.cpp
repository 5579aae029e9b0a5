// SPDX-License-Identifier: Apache-2.0
// A string longer than a 32-bit length can count is copied whole. The copy needs over 2 GiB,
// so this case carries the `large_memory` label that sanitizer and valgrind runs leave out.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "memmgr_test.h"

using LargeStringTest = BudgetTest;

TEST_F(LargeStringTest, StringBeyondIntRangeIsCopiedWhole) {
  size_t const length = (size_t{1} << 31) + 7;
  // The source costs one 2 MiB chunk however long: the chunk is mapped over and over,
  // copy-on-write, so that writing a marker copies a single page.
  constexpr size_t kChunk = size_t{2} << 20;
  size_t const mapped = (length + kChunk) / kChunk * kChunk;
  int const fd = memfd_create("repeated_text", 0);
  ASSERT_EQ(ftruncate(fd, kChunk), 0);
  void* const chunk = mmap(nullptr, kChunk, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(chunk, MAP_FAILED);
  std::memset(chunk, 'a', kChunk);
  auto* const text = static_cast<char*>(
      mmap(nullptr, mapped, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
  ASSERT_NE(text, MAP_FAILED);
  for (size_t at = 0; at < mapped; at += kChunk) {
    ASSERT_NE(mmap(text + at, kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd, 0),
              MAP_FAILED);
  }
  // Markers where a 32-bit count would cut or wrap the copy.
  text[0] = '<';
  text[(size_t{1} << 31) - 1] = '|';
  text[length - 1] = '>';
  text[length] = '\0';

  GTMC_SetMemoryAllocationRules(GTMC_GetTotalUsedMemory() + (int64_t{3} << 30));
  Counters const before = Counters::Now();
  char* const copy = FF_strdup(text);
  Counters const allocated = Counters::Now() - before;
  ASSERT_NE(copy, nullptr);
  EXPECT_GE(Usable(copy), static_cast<int64_t>(length + 1));
  EXPECT_EQ(allocated, Delta(Usable(copy)));
  EXPECT_EQ(std::memcmp(copy, text, length + 1), 0);
  mmgr_free(copy);
  munmap(text, mapped);
  munmap(chunk, kChunk);
  close(fd);
}
