/* Links the installed library through pkg-config from C: mmgr_malloc and FF_strdup reach the
 * process-wide total, the C library's own malloc does not. */
#include <memmgr>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;
static void expect(bool ok, char const* what) {
  if (!ok) {
    fprintf(stderr, "consumer (pkg-config, C): %s\n", what);
    ++failures;
  }
}

int main(void) {
  int64_t const before = GTMC_GetTotalUsedMemory();
  char* text = mmgr_malloc(100000);
  expect(text != NULL, "mmgr_malloc failed");
  expect(GTMC_GetTotalUsedMemory() - before == (int64_t)mmgr_malloc_usable_size(text),
         "mmgr_malloc is not accounted at the usable size");
  char* copy = FF_strdup("accounted");
  expect(copy != NULL && strcmp(copy, "accounted") == 0, "FF_strdup gave no copy");
  mmgr_free(copy);
  mmgr_free(text);
  expect(GTMC_GetTotalUsedMemory() == before, "mmgr_free is not accounted");

  void* unaccounted = malloc(100000);
  expect(GTMC_GetTotalUsedMemory() == before, "the C library's malloc is accounted");
  free(unaccounted);

  if (failures == 0) puts("consumer (pkg-config, C): ok");
  return failures == 0 ? 0 : 1;
}
