/*
 * SPDX-License-Identifier: Apache-2.0
 *
 * libpng under the budget: memmgr_png_create_read_struct and memmgr_png_create_write_struct
 * take the arguments of png_create_read_struct and png_create_write_struct and create the
 * structure with allocation callbacks into the budget. Everything libpng allocates for it from
 * then on (info structures, row buffers, the inflate/deflate state, png_read_png's rows) is
 * accounted until png_destroy_read_struct/png_destroy_write_struct. A request the budget
 * refuses is a libpng error ("Out of memory") through error_fn, which must not return (the
 * default one longjmps to png_jmpbuf), except where libpng can do without the memory (an
 * optional chunk, say) and only warns. Null when the structure itself cannot be allocated.
 */
#ifndef LIB_MEMMGR_MEMMGR_PNG_H
#define LIB_MEMMGR_MEMMGR_PNG_H

#include <png.h>

#include "memmgr"

static inline png_voidp memmgr_png_malloc(png_structp png, png_alloc_size_t size) {
  (void)png;
  return mmgr_malloc(size);
}
static inline void memmgr_png_free(png_structp png, png_voidp block) {
  (void)png;
  mmgr_free(block);
}

static inline png_structp memmgr_png_create_read_struct(png_const_charp user_png_ver,
                                                        png_voidp error_ptr, png_error_ptr error_fn,
                                                        png_error_ptr warn_fn) {
  return png_create_read_struct_2(user_png_ver, error_ptr, error_fn, warn_fn, NULL,
                                  memmgr_png_malloc, memmgr_png_free);
}
static inline png_structp memmgr_png_create_write_struct(png_const_charp user_png_ver,
                                                         png_voidp error_ptr,
                                                         png_error_ptr error_fn,
                                                         png_error_ptr warn_fn) {
  return png_create_write_struct_2(user_png_ver, error_ptr, error_fn, warn_fn, NULL,
                                   memmgr_png_malloc, memmgr_png_free);
}

#endif /* LIB_MEMMGR_MEMMGR_PNG_H */
