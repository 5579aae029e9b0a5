// SPDX-License-Identifier: Apache-2.0
#include "default_assertion.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

namespace DEFAULT_ASSERTION {

int DISPATCHER_WRAPPER::Assertion(ASSERT_STATE, char const*, int, char const*, ASSERT_LEVEL,
                                  char const*, char const*, char const* format, ...) {
  // Formatted on the stack and written with one call: the caller may be reporting that the
  // heap is exhausted, and concurrent reports must not interleave within a line.
  char line[1024];
  int length = 0;
  if (format != nullptr) {
    va_list arguments;
    va_start(arguments, format);
    length = std::vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
  }
  if (length < 0) length = 0;
  if (length > static_cast<int>(sizeof line) - 2) length = static_cast<int>(sizeof line) - 2;
  line[length] = '\n';
  ssize_t written = ::write(STDERR_FILENO, line, static_cast<size_t>(length) + 1);
  (void)written;
  return 0;
}

EXIT_HELPER::~EXIT_HELPER() = default;

}  // namespace DEFAULT_ASSERTION
