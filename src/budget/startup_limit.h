// Reading the memory limit from the environment at load.
#pragma once

#include <cstdint>
#include <optional>

#include "../internal.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

// Parses a VOQ_MAXIMUM_MEMORY value the way "%u" reads it (leading white space, an optional
// '+', then decimal digits up to the first non-digit), with the cases "%u" leaves undefined
// given a meaning: digits beyond 32 bits saturate at 0xFFFFFFFF, and a '-' sign, like a value
// without digits, gives no limit at all. Null gives no limit.
std::optional<uint32_t> ParseEnvironmentLimit(char const* text) noexcept;

// The limit a parsed value stands for: rounded down to a multiple of 4096.
constexpr int64_t LimitFromEnvironmentValue(uint32_t value) noexcept {
  return static_cast<int64_t>(value & ~uint32_t{0xFFF});
}

MEMMGR_INTERNAL_NAMESPACE_END
