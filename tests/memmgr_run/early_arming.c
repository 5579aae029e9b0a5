/* SPDX-License-Identifier: Apache-2.0
 * A library of the program that arms the pressure signal in its constructor and climbs past it
 * there, and the program that then climbs further. The constructors of the program's libraries
 * run before those of what the tool preloads, so the run starts with the arming answered. */
#include <stdio.h>

#include <memmgr>

#ifdef EARLY_ARMING_LIBRARY
int earlyPressureCalls = 0;

static void OnEarlyPressure(int64_t total, int64_t threshold) {
  (void)total, (void)threshold;
  ++earlyPressureCalls;
}

__attribute__((constructor)) static void ArmEarly(void) {
  GTMC_SetMemoryPressureCallback(1 << 20, OnEarlyPressure);
  (void)mmgr_malloc(2 << 20); /* held to the end */
}
#else
extern int earlyPressureCalls;

int main(void) {
  (void)mmgr_malloc(2 << 20);
  printf("early pressure: %d calls\n", earlyPressureCalls);
  return 0;
}
#endif
