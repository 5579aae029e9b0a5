// SPDX-License-Identifier: Apache-2.0
// zlib compressing and expanding a few megabytes through memmgr_zlib.h.
#include <vector>

#include "adapter_test.h"
#include "memmgr_zlib.h"

namespace {

// A deflate and an inflate stream over caller-owned buffers (allocated before the measurement
// starts); the inflate status, Z_STREAM_END, when both streams went through.
int Roundtrip(std::vector<Bytef>& data, std::vector<Bytef>& packed, std::vector<Bytef>& expanded,
              int64_t& held) {
  z_stream deflater{};
  memmgr_zlib_use(&deflater);
  int status = deflateInit(&deflater, Z_BEST_COMPRESSION);
  if (status != Z_OK) return status;
  deflater.next_in = data.data();
  deflater.avail_in = static_cast<uInt>(data.size());
  deflater.next_out = packed.data();
  deflater.avail_out = static_cast<uInt>(packed.size());
  status = deflate(&deflater, Z_FINISH);
  held = GTMC_GetTotalUsedMemory();
  deflateEnd(&deflater);
  if (status != Z_STREAM_END) return status;

  z_stream inflater{};
  memmgr_zlib_use(&inflater);
  inflater.next_in = packed.data();
  inflater.avail_in = static_cast<uInt>(deflater.total_out);
  if ((status = inflateInit(&inflater)) != Z_OK) return status;
  inflater.next_out = expanded.data();
  inflater.avail_out = static_cast<uInt>(expanded.size());
  status = inflate(&inflater, Z_FINISH);
  inflateEnd(&inflater);
  return status;
}

TEST_F(AdapterTest, ZlibWorksWithinTheBudgetAndReportsMemErrorWithout) {
  std::vector<Bytef> data(4 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<Bytef>((i * i) >> 9 ^ i % 251);
  std::vector<Bytef> packed(compressBound(static_cast<uLong>(data.size())));
  std::vector<Bytef> expanded(data.size());
  ExpectBudgeted([&](int64_t& held) { return Roundtrip(data, packed, expanded, held); },
                 Z_STREAM_END, Z_MEM_ERROR);
  EXPECT_TRUE(expanded == data);
}

}  // namespace
