// SPDX-License-Identifier: Apache-2.0
// Straight to the system allocator, outside the budget and the counters.
#include <cstdlib>

#include "memmgr"

void* builtin_malloc(unsigned long size) { return std::malloc(size); }
void* builtin_calloc(unsigned long count, unsigned long size) { return std::calloc(count, size); }
void* builtin_realloc(void* block, unsigned long size) { return std::realloc(block, size); }
void builtin_free(void* block) { std::free(block); }
