#include "startup_limit.h"

#include <cstdlib>

#include "budget_state.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

namespace {

constexpr bool IsSpace(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
constexpr bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<uint32_t> ParseEnvironmentLimit(char const* text) noexcept {
  if (text == nullptr) return std::nullopt;
  while (IsSpace(*text)) ++text;
  if (*text == '-') return std::nullopt;
  if (*text == '+') ++text;
  if (!IsDigit(*text)) return std::nullopt;
  constexpr uint64_t kSaturated = UINT32_MAX;
  uint64_t value = 0;
  for (; IsDigit(*text); ++text) {
    value = value * 10 + static_cast<uint64_t>(*text - '0');
    if (value > kSaturated) value = kSaturated + 1;  // stays above 32 bits without overflowing
  }
  return static_cast<uint32_t>(value > kSaturated ? kSaturated : value);
}

namespace {

// Until this initialiser runs, the compiled-in limit holds and the
// host cannot change it.
[[gnu::constructor]] void ReadMemoryLimitFromEnvironment() {
  if (auto value = ParseEnvironmentLimit(std::getenv("VOQ_MAXIMUM_MEMORY"))) {
    maxMemory.store(LimitFromEnvironmentValue(*value), std::memory_order_relaxed);
    rulesSettable.store(false, std::memory_order_relaxed);
  } else {
    maxMemory.store(kDefaultLimit, std::memory_order_relaxed);
    rulesSettable.store(true, std::memory_order_relaxed);
  }
}

}  // namespace

MEMMGR_INTERNAL_NAMESPACE_END
