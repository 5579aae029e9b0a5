/*
 * SPDX-License-Identifier: Apache-2.0
 *
 * SQLite under the budget: every allocation SQLite makes goes through mmgr_malloc, mmgr_realloc
 * and mmgr_free, so its page cache, statements and connections count against the limit and an
 * allocation the budget refuses reaches SQLite as SQLITE_NOMEM.
 *
 * Call memmgr_sqlite_install() once, before sqlite3_initialize() (or after sqlite3_shutdown(),
 * which releases every block SQLite holds); it returns sqlite3_config's result: SQLITE_OK, or
 * SQLITE_MISUSE when SQLite is already initialized. Blocks SQLite hands out (sqlite3_malloc,
 * sqlite3_mprintf) are then accounted and go back through sqlite3_free as before. SQLite never
 * asks for a zero or negative size; should one arrive, nothing is allocated and null comes
 * back (a resize leaves the block as it was), which SQLite takes as out of memory.
 */
#ifndef LIB_MEMMGR_MEMMGR_SQLITE_H
#define LIB_MEMMGR_MEMMGR_SQLITE_H

#include <limits.h>
#include <sqlite3.h>

#include "memmgr"

static inline void* memmgr_sqlite_malloc(int size) {
  return size > 0 ? mmgr_malloc((size_t)size) : NULL;
}
static inline void* memmgr_sqlite_realloc(void* block, int size) {
  return size > 0 ? mmgr_realloc(block, (size_t)size) : NULL;
}
/* SQLite's requests stay below 2^31 - 256, so neither answer can exceed INT_MAX in practice;
 * the clamps keep a stray value from wrapping negative. */
static inline int memmgr_sqlite_size(void* block) {
  size_t const usable = mmgr_malloc_usable_size(block);
  return usable > INT_MAX ? INT_MAX : (int)usable;
}
static inline int memmgr_sqlite_roundup(int size) {
  return size > 0 && size <= INT_MAX - 15 ? (int)mmgr_malloc_good_size((size_t)size) : size;
}
static inline int memmgr_sqlite_init(void* data) { return (void)data, SQLITE_OK; }
static inline void memmgr_sqlite_shutdown(void* data) { (void)data; }

static inline int memmgr_sqlite_install(void) {
  /* SQLite copies the record, but takes it through a variadic argument as a non-const
   * pointer: a static, non-const one is valid however it is read. */
  static sqlite3_mem_methods methods = {
      memmgr_sqlite_malloc,  mmgr_free,          memmgr_sqlite_realloc,  memmgr_sqlite_size,
      memmgr_sqlite_roundup, memmgr_sqlite_init, memmgr_sqlite_shutdown, NULL};
  return sqlite3_config(SQLITE_CONFIG_MALLOC, &methods);
}

#endif /* LIB_MEMMGR_MEMMGR_SQLITE_H */
