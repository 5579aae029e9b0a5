/* SPDX-License-Identifier: Apache-2.0
 * Built without unwind information: a walk of the stack that reaches this frame cannot go past
 * it. The stores after each call keep the call from becoming a jump, which would take the frame
 * off the stack. */
#include <memmgr>

void* volatile heldWithoutUnwindInfo[64];

void HoldWithoutUnwindInfo(void) {
  for (int i = 0; i < 64; ++i) heldWithoutUnwindInfo[i] = mmgr_malloc(64 * 1024);
}
