// SPDX-License-Identifier: Apache-2.0
// The minimal budgeted allocator the library is measured against (see floor_allocator.cpp).
#pragma once

#include <stddef.h>

#define FLOOR_API __attribute__((visibility("default")))

extern "C" {
FLOOR_API void* floor_malloc(size_t size);
FLOOR_API void floor_free(void* block);
}
