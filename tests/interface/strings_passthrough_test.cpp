// FF_strdup / FF_wcsdup into accounted memory, and the unaccounted builtin_* pass-through.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "interface_support.h"

namespace {

using StringsTest = BudgetTest;
using PassthroughTest = BudgetTest;

TEST_F(StringsTest, CopiesWithTerminatorIntoAccountedBlocks) {
  std::string const longText(1000, 'q');
  for (char const* text : {"", "a", "hello world", "tab\tand\nnewline", longText.c_str()}) {
    Counters const before = Counters::Now();
    char* const copy = FF_strdup(text);
    Counters const allocated = Counters::Now() - before;
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, text);
    EXPECT_STREQ(copy, text);
    EXPECT_GE(Usable(copy), static_cast<int64_t>(std::strlen(text) + 1));
    EXPECT_EQ(allocated, Delta(Usable(copy)));
    mmgr_free(copy);
    EXPECT_EQ(Counters::Now(), before);
  }
  std::wstring const longWide(1000, L'\u00e9');
  for (wchar_t const* text : {L"", L"x", L"gr\u00fc\u00dfe \u20ac", L"\U0001F600 wide", longWide.c_str()}) {
    Counters const before = Counters::Now();
    wchar_t* const copy = FF_wcsdup(text);
    Counters const allocated = Counters::Now() - before;
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, text);
    EXPECT_EQ(std::wcscmp(copy, text), 0);
    EXPECT_GE(Usable(copy), static_cast<int64_t>((std::wcslen(text) + 1) * sizeof(wchar_t)));
    EXPECT_EQ(allocated, Delta(Usable(copy)));
    mmgr_free(copy);
    EXPECT_EQ(Counters::Now(), before);
  }
}

TEST_F(StringsTest, NullGivesNullAndAllocatesNothing) {
  HookTrace::Install();
  Counters const before = Counters::Now();
  char* const narrow = FF_strdup(nullptr);
  wchar_t* const wide = FF_wcsdup(nullptr);
  Counters const after = Counters::Now();
  int const calls = HookTrace::Count();
  RestorePolicy();
  EXPECT_EQ(narrow, nullptr);
  EXPECT_EQ(wide, nullptr);
  EXPECT_EQ(after, before);
  EXPECT_EQ(calls, 0);
}

// A refused copy shows the byte count requested: the length with its terminator, four bytes
// per wide character, so an empty string still asks for 1 or 4 bytes.
TEST_F(StringsTest, RequestIsTheLengthWithTerminatorAndFailsToNull) {
  struct Case { char const* name; void* (*copy)(); size_t bytes; };
  Case const cases[] = {
      {"empty", [] { return static_cast<void*>(FF_strdup("")); }, 1},
      {"hello", [] { return static_cast<void*>(FF_strdup("hello")); }, 6},
      {"empty wide", [] { return static_cast<void*>(FF_wcsdup(L"")); }, 4},
      {"hello wide", [] { return static_cast<void*>(FF_wcsdup(L"hello")); }, 24},
  };
  for (Case const& c : cases) {
    void* const copy = RunRefused(c.copy);
    int const calls = HookTrace::Count();
    RestorePolicy();
    EXPECT_EQ(copy, nullptr) << c.name;
    EXPECT_EQ(HookTrace::Events(7), FailedRecoveryStart(c.bytes)) << c.name;
    EXPECT_EQ(calls, kFailedRecoveryCalls) << c.name;
  }
}

// `length` bytes of 'a' and a terminator, costing a few MiB however long: one shared chunk
// mapped over and over, copy-on-write, so that writing a marker copies a single page.
class RepeatedText {
 public:
  explicit RepeatedText(size_t length) : size_(RoundUp(length + 1)) {
    int const fd = memfd_create("repeated_text", 0);
    if (fd < 0 || ftruncate(fd, kChunk) != 0) return;
    void* const chunk = mmap(nullptr, kChunk, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    void* const base = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (chunk != MAP_FAILED && base != MAP_FAILED) {
      std::memset(chunk, 'a', kChunk);
      text_ = static_cast<char*>(base);
      for (size_t at = 0; at < size_ && text_ != nullptr; at += kChunk) {
        if (mmap(text_ + at, kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd, 0) == MAP_FAILED) {
          text_ = nullptr;
        }
      }
      if (text_ == nullptr) munmap(base, size_);
    }
    if (chunk != MAP_FAILED) munmap(chunk, kChunk);
    close(fd);
    if (text_ != nullptr) text_[length] = '\0';
  }
  ~RepeatedText() {
    if (text_ != nullptr) munmap(text_, size_);
  }
  char* get() const { return text_; }

 private:
  static constexpr size_t kChunk = size_t{2} << 20;
  static size_t RoundUp(size_t n) { return (n + kChunk - 1) / kChunk * kChunk; }
  size_t size_;
  char* text_ = nullptr;
};

TEST_F(StringsTest, StringBeyondIntRangeIsCopiedWhole) {
  size_t const length = (size_t{1} << 31) + 7;
  RepeatedText const source(length);
  char* const text = source.get();
  if (text == nullptr) GTEST_SKIP() << "cannot map the 2 GiB source string";
  // Markers where a 32-bit count would cut or wrap the copy.
  text[0] = '<';
  text[(size_t{1} << 31) - 2] = '|';
  text[(size_t{1} << 31) - 1] = '|';
  text[length - 1] = '>';

  int64_t const limit = GTMC_GetTotalUsedMemory() + (int64_t{3} << 30);
  GTMC_SetMemoryAllocationRules(limit);
  ASSERT_EQ(GTMC_GetTotalMemory(), limit);
  Counters const before = Counters::Now();
  char* const copy = FF_strdup(text);
  Counters const allocated = Counters::Now() - before;
  ASSERT_NE(copy, nullptr);
  EXPECT_GE(Usable(copy), static_cast<int64_t>(length + 1));
  EXPECT_EQ(allocated, Delta(Usable(copy)));
  EXPECT_EQ(std::memcmp(copy, text, length + 1), 0);
  mmgr_free(copy);
  EXPECT_EQ(Counters::Now(), before);
}

TEST_F(PassthroughTest, WorksOutsideTheBudgetAndTheCounters) {
  // The limit is below the bytes in use and nothing may over-allocate or recover: only an
  // unaccounted road can succeed.
  Counters const before = Counters::Now();
  auto* const plain = static_cast<unsigned char*>(RunRefused([] { return builtin_malloc(1000); }));
  auto* const zeroed = static_cast<unsigned char*>(builtin_calloc(100, 10));
  if (plain != nullptr) std::memset(plain, 0x77, 1000);
  auto* const grown = static_cast<unsigned char*>(builtin_realloc(plain, 200000));
  void* const fresh = builtin_realloc(nullptr, 64);
  Counters const live = Counters::Now() - before;
  bool zeroedOk = zeroed != nullptr;
  for (int i = 0; zeroedOk && i < 1000; ++i) zeroedOk = zeroed[i] == 0;
  bool grownOk = grown != nullptr;
  for (int i = 0; grownOk && i < 1000; ++i) grownOk = grown[i] == 0x77;
  builtin_free(zeroed);
  builtin_free(grown);
  builtin_free(fresh);
  builtin_free(nullptr);
  Counters const after = Counters::Now() - before;
  int const calls = HookTrace::Count();
  RestorePolicy();
  EXPECT_NE(plain, nullptr);
  EXPECT_TRUE(zeroedOk);
  EXPECT_TRUE(grownOk);
  EXPECT_NE(fresh, nullptr);
  EXPECT_EQ(live, Delta(0));
  EXPECT_EQ(after, Delta(0));
  EXPECT_EQ(calls, 0);
}

}  // namespace
