// FF_strdup / FF_wcsdup into accounted memory, and the unaccounted builtin_* pass-through.
#include <cstring>
#include <cwchar>
#include <string>

#include "hook_trace.h"

namespace {

using StringsTest = BudgetTest;

template <typename Char>
void ExpectAccountedCopy(Char const* text, Char* (*duplicate)(Char const*)) {
  size_t const bytes = (std::char_traits<Char>::length(text) + 1) * sizeof(Char);
  Counters const before = Counters::Now();
  Char* const copy = duplicate(text);
  Counters const allocated = Counters::Now() - before;
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, text);
  EXPECT_EQ(std::memcmp(copy, text, bytes), 0);  // the terminator included
  EXPECT_GE(Usable(copy), static_cast<int64_t>(bytes));
  EXPECT_EQ(allocated, Delta(Usable(copy)));
  mmgr_free(copy);
  EXPECT_EQ(Counters::Now(), before);
}

TEST_F(StringsTest, CopiesWithTerminatorIntoAccountedBlocks) {
  std::string const longText(1000, 'q');
  for (char const* text : {"", "tab\tand\nnewline", longText.c_str()}) {
    ExpectAccountedCopy(text, FF_strdup);
  }
  std::wstring const longWide(1000, L'\u00e9');
  for (wchar_t const* text : {L"", L"gr\u00fc\u00dfe \U0001F600", longWide.c_str()}) {
    ExpectAccountedCopy(text, FF_wcsdup);
  }
}

TEST_F(StringsTest, PassthroughWorksOutsideTheBudgetAndTheCounters) {
  // The limit is below the bytes in use and nothing may over-allocate or recover: only an
  // unaccounted road can succeed.
  Counters const before = Counters::Now();
  auto* const plain = static_cast<unsigned char*>(RunRefused([] { return builtin_malloc(1000); }));
  auto* const zeroed = static_cast<unsigned char*>(builtin_calloc(100, 10));
  if (plain != nullptr) std::memset(plain, 0x77, 1000);
  auto* const grown = static_cast<unsigned char*>(builtin_realloc(plain, 200000));
  Counters const live = Counters::Now() - before;
  bool const zeroedOk = zeroed != nullptr && zeroed[0] == 0 && zeroed[999] == 0;
  bool const grownOk = grown != nullptr && grown[0] == 0x77 && grown[999] == 0x77;
  builtin_free(zeroed);
  builtin_free(grown);
  Counters const after = Counters::Now() - before;
  RestorePolicy();
  EXPECT_NE(plain, nullptr);
  EXPECT_TRUE(zeroedOk);
  EXPECT_TRUE(grownOk);
  EXPECT_EQ(live, Delta(0));
  EXPECT_EQ(after, Delta(0));
  EXPECT_EQ(HookTrace::Count(), 0);
}

}  // namespace
