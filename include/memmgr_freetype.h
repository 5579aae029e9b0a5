/*
 * SPDX-License-Identifier: Apache-2.0
 *
 * FreeType under the budget: memmgr_ft_new_library creates a library whose memory manager
 * allocates through the budget (FT_New_Library, then FT_Add_Default_Modules), so faces, glyph
 * slots, caches and rendered bitmaps count against the limit; a request the budget refuses is
 * FT_Err_Out_Of_Memory from the FreeType call that made it. Returns FT_New_Library's error,
 * with *library untouched, or FT_Err_Ok; a module FT_Add_Default_Modules cannot allocate is
 * left out silently, as FreeType does, so create the library while there is room.
 *
 * Release it with FT_Done_Library, never FT_Done_FreeType: the memory manager carries no
 * state, so all libraries share one static record, which FT_Done_Library leaves alone (nothing
 * allocated for it, nothing to leak) but FT_Done_FreeType would hand to its own free callback.
 * Font files are mapped with mmap, outside the budget.
 */
#ifndef LIB_MEMMGR_MEMMGR_FREETYPE_H
#define LIB_MEMMGR_MEMMGR_FREETYPE_H

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_MODULE_H

#include "memmgr"

/* FreeType asks for positive sizes only (it frees a block itself rather than resizing it to 0);
 * any other size is refused like a request the budget cannot meet, the block left as it was,
 * so a caller that keeps the block on failure cannot free it twice. */
static inline void* memmgr_ft_alloc(FT_Memory memory, long size) {
  (void)memory;
  return size > 0 ? mmgr_malloc((size_t)size) : NULL;
}
static inline void* memmgr_ft_realloc(FT_Memory memory, long cur_size, long new_size, void* block) {
  (void)memory;
  (void)cur_size;
  return new_size > 0 ? mmgr_realloc(block, (size_t)new_size) : NULL;
}
static inline void memmgr_ft_free(FT_Memory memory, void* block) {
  (void)memory;
  mmgr_free(block);
}

static inline FT_Error memmgr_ft_new_library(FT_Library* library) {
  static struct FT_MemoryRec_ memory = {NULL, memmgr_ft_alloc, memmgr_ft_free, memmgr_ft_realloc};
  FT_Error const error = FT_New_Library(&memory, library);
  if (error == FT_Err_Ok) FT_Add_Default_Modules(*library);
  return error;
}

#endif /* LIB_MEMMGR_MEMMGR_FREETYPE_H */
