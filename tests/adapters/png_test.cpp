// SPDX-License-Identifier: Apache-2.0
// libpng decoding a 160 x 120 RGB image (the fixture beside this file) through memmgr_png.h.
#include <cstdio>
#include <cstring>

#include "adapter_test.h"
#include "memmgr_png.h"

namespace {

char lastError[128];

void KeepErrorAndJump(png_structp png, png_const_charp message) {
  snprintf(lastError, sizeof lastError, "%s", message);
  png_longjmp(png, 1);
}

// Decodes the whole image into rows libpng allocates itself (so the pixels are accounted
// too); 0, or 1 after a libpng error.
int Decode(FILE* file, int64_t& held, png_uint_32& height) {
  png_structp png =
      memmgr_png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, KeepErrorAndJump, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  int volatile failed = 1;
  if (info && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, file);
    png_read_png(png, info, PNG_TRANSFORM_EXPAND | PNG_TRANSFORM_STRIP_16, nullptr);
    height = png_get_image_height(png, info);
    held = GTMC_GetTotalUsedMemory();
    failed = 0;
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return failed;
}

TEST_F(AdapterTest, LibpngWorksWithinTheBudgetAndReportsAnErrorWithout) {
  FILE* const file = fopen(MEMMGR_TEST_PNG, "rb");
  ASSERT_NE(file, nullptr) << MEMMGR_TEST_PNG;
  png_uint_32 height = 0;
  ExpectBudgeted(
      [&](int64_t& held) {
        rewind(file);
        return Decode(file, held, height);
      },
      0, 1);
  fclose(file);
  EXPECT_EQ(height, 120u);
  EXPECT_NE(strcasestr(lastError, "memory"), nullptr) << lastError;
}

}  // namespace
