// Conventions shared by every source file of the library.
#pragma once

// Internal declarations live in this namespace. Hidden visibility on the namespace (rather
// than on each definition) also covers the `extern` declarations other files see, so calls
// and data accesses between our own files bind directly, with no PLT or GOT hop.
#define MEMMGR_INTERNAL_NAMESPACE_BEGIN namespace memmgr __attribute__((visibility("hidden"))) {
#define MEMMGR_INTERNAL_NAMESPACE_END }

// Rare paths are kept out of line so that the inlined fast path stays small.
#define MEMMGR_COLD [[gnu::noinline, gnu::cold]]
#define MEMMGR_ALWAYS_INLINE [[gnu::always_inline]] inline
