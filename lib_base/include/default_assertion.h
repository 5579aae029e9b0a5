// SPDX-License-Identifier: Apache-2.0
// Assertion interface of the base library.
//
// This is the stand-in shipped with lib_memmgr; a host may replace liblib_base.so with the
// platform's own build, which must accept the same calls and return from both of them.
#pragma once

#if defined(__GNUC__)
#define LIB_BASE_API __attribute__((visibility("default")))
#else
#define LIB_BASE_API
#endif

// Whether the assertion is live. Passed as a 32-bit value.
enum ASSERT_STATE : int {
  ASSERT_STATE_ACTIVE = 0,
  ASSERT_STATE_INACTIVE = 1,
};

// How serious the reported condition is. Passed as a 32-bit value.
enum ASSERT_LEVEL : int {
  ASSERT_LEVEL_WARNING = 0,
  ASSERT_LEVEL_ERROR = 1,
};

namespace DEFAULT_ASSERTION {

struct DISPATCHER_WRAPPER {
  // Formats `format` with the variadic arguments and writes the result as one line to stderr.
  // The location, kind, expression and message arguments may be empty or null. Returns 0.
  LIB_BASE_API static int Assertion(ASSERT_STATE state, char const* file, int line,
                                    char const* kind, ASSERT_LEVEL level, char const* expression,
                                    char const* message, char const* format, ...)
      __attribute__((format(printf, 8, 9)));
};

// Built in place by the caller after an assertion; its destructor decides what follows.
// The stand-in's destructor returns, so the caller carries on.
class EXIT_HELPER {
 public:
  int assertionResult;
  int level;
  LIB_BASE_API ~EXIT_HELPER();
};

}  // namespace DEFAULT_ASSERTION
