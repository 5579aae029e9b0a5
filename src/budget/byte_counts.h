// Byte-count arithmetic shared by the budget test, the accounting and the failure report.
// Requests are unsigned; totals and the limit are signed so that they can fall below zero and
// compare as the host wrote them. Everything wraps modulo 2^64 rather than overflowing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../internal.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

inline constexpr int64_t kKiB = int64_t{1} << 10;
inline constexpr int64_t kMiB = kKiB << 10;
inline constexpr int64_t kGiB = kMiB << 10;

// The figure every budget test uses; modulo 2^64, so requests above SIZE_MAX - 15 give 0.
constexpr size_t RoundUp16(size_t n) noexcept { return (n + 15) & ~size_t{15}; }

constexpr bool IsOverLimit(int64_t total, int64_t limit) noexcept { return total > limit; }

constexpr int64_t WrappingAdd(int64_t a, uint64_t b) noexcept {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + b);
}

MEMMGR_INTERNAL_NAMESPACE_END
