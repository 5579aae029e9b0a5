/* Compiled once per adapter as strict C11 with warnings as errors: each header must serve a C
 * host as it is. */
#include "memmgr"

#include MEMMGR_ADAPTER_HEADER
