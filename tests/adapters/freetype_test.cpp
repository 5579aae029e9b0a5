// SPDX-License-Identifier: Apache-2.0
// FreeType opening a real font and rendering a few hundred glyphs through memmgr_freetype.h.
#include "adapter_test.h"
#include "memmgr_freetype.h"

namespace {

// Renders the first 400 characters from the space on; the first error, or FT_Err_Ok.
int Render(int64_t& held, int& rendered) {
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  FT_Error error = memmgr_ft_new_library(&library);
  if (error != FT_Err_Ok) return error;
  error = FT_New_Face(library, MEMMGR_TEST_FONT, 0, &face);
  if (error == FT_Err_Ok) error = FT_Set_Pixel_Sizes(face, 0, 64);
  for (FT_ULong c = ' '; error == FT_Err_Ok && c < ' ' + 400; ++c) {
    error = FT_Load_Char(face, c, FT_LOAD_RENDER);
    rendered += error == FT_Err_Ok && face->glyph->bitmap.rows > 0;
  }
  if (error == FT_Err_Ok) held = GTMC_GetTotalUsedMemory();
  FT_Done_Library(library);  // the face with it
  return error;
}

TEST_F(AdapterTest, FreeTypeWorksWithinTheBudgetAndReportsOutOfMemoryWithout) {
  int rendered = 0;
  ExpectBudgeted([&](int64_t& held) { return Render(held, rendered); }, FT_Err_Ok,
                 FT_Err_Out_Of_Memory);
  EXPECT_GT(rendered, 300);
}

}  // namespace
