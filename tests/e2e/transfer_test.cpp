// A thumbnail end to end over the demo store, against the photo it shows.
#include "image.h"
#include "virtual_camera.h"

namespace e2e {
namespace {

std::uint32_t Le32(const Bytes &bytes, std::size_t at) {
  return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 |
         std::uint32_t{bytes[at + 2]} << 16 | std::uint32_t{bytes[at + 3]} << 24;
}

using TransferEndToEnd = VirtualCamera;

TEST_F(TransferEndToEnd, ThumbnailIsABitmapOfTheScaledPhoto) {
  const FH file = Handle("2:TRIP/SUN.JPG");
  BYTE *block = nullptr;
  ULONG size = 0;
  ASSERT_EQ(TaveloGetFileData(camera_, &file, 1, &block, &size), S_OK);
  const Bytes bitmap(block, block + size);
  CoTaskMemFree(block);
  const auto expected = tavelo::emu::decode_fitted(HostBytes(StoreFile("TRIP/SUN.JPG")), 80, 60);
  ASSERT_TRUE(expected.has_value());
  ASSERT_EQ(Le32(bitmap, 4), expected->width);
  ASSERT_EQ(Le32(bitmap, 8), expected->height);
  const std::size_t row = (expected->width * 3 + 3) / 4 * 4;
  ASSERT_EQ(bitmap.size(), 40 + row * expected->height);
  // The camera sends 4:2:2, so colours come back close, not exact.
  long difference = 0;
  for (std::uint32_t y = 0; y < expected->height; ++y) {
    const std::uint8_t *out = bitmap.data() + 40 + (expected->height - 1 - y) * row;
    for (std::uint32_t x = 0; x < expected->width; ++x) {
      for (int c = 0; c < 3; ++c) {
        const int want = expected->pixels[(y * expected->width + x) * 3 + (2 - c)];
        difference += std::abs(out[x * 3 + c] - want);
      }
    }
  }
  EXPECT_LT(difference / static_cast<long>(expected->width * expected->height * 3), 8);
}

} // namespace
} // namespace e2e
