/* SPDX-License-Identifier: Apache-2.0
 * Every adapter header as strict C11 with warnings as errors: each must serve a C host as it is. */
#include "memmgr"
#include "memmgr_freetype.h"
#include "memmgr_png.h"
#include "memmgr_sqlite.h"
#include "memmgr_zlib.h"
