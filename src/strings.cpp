// SPDX-License-Identifier: Apache-2.0
// String duplication into accounted memory. Lengths are counted in size_t, so a string of
// any length is copied whole with its terminator, never truncated.
#include <cstring>
#include <cwchar>

#include "allocation.h"

namespace {

template <typename Char>
Char* DuplicateString(Char const* source, size_t lengthWithTerminator) {
  size_t const bytes = lengthWithTerminator * sizeof(Char);
  auto* const copy = static_cast<Char*>(memmgr::AllocateAccounted(bytes));
  if (copy != nullptr) std::memcpy(copy, source, bytes);
  return copy;
}

}  // namespace

extern "C" {

char* FF_strdup(char const* s) {
  if (s == nullptr) return nullptr;
  return DuplicateString(s, std::strlen(s) + 1);
}

wchar_t* FF_wcsdup(wchar_t const* s) {
  if (s == nullptr) return nullptr;
  return DuplicateString(s, std::wcslen(s) + 1);
}

}  // extern "C"
