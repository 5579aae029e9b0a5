/*
 * SPDX-License-Identifier: Apache-2.0
 *
 * zlib under the budget, one stream at a time: memmgr_zlib_use(stream) sets the stream's
 * zalloc, zfree and opaque, so the state and window that deflateInit/inflateInit allocate
 * count against the limit until deflateEnd/inflateEnd. Call it on a stream about to be
 * initialized (it overwrites those three fields and nothing else); a request the budget
 * refuses is Z_MEM_ERROR from the call that made it (the init, or inflate for its window).
 * Blocks are not zeroed, as with zlib's own allocator: zlib writes before it reads. An
 * items * size product that does not fit in size_t is refused (Z_NULL, nothing allocated),
 * not wrapped.
 */
#ifndef LIB_MEMMGR_MEMMGR_ZLIB_H
#define LIB_MEMMGR_MEMMGR_ZLIB_H

#include <zlib.h>

#include "memmgr"

static inline voidpf memmgr_zlib_alloc(voidpf opaque, uInt items, uInt size) {
  (void)opaque;
  if (size != 0 && items > SIZE_MAX / size) return Z_NULL;
  return mmgr_malloc((size_t)items * size);
}
static inline void memmgr_zlib_free(voidpf opaque, voidpf block) {
  (void)opaque;
  mmgr_free(block);
}

static inline void memmgr_zlib_use(z_stream* stream) {
  stream->zalloc = memmgr_zlib_alloc;
  stream->zfree = memmgr_zlib_free;
  stream->opaque = Z_NULL;
}

#endif /* LIB_MEMMGR_MEMMGR_ZLIB_H */
