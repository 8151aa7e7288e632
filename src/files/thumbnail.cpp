// The thumbnail conversion: 4:2:2 YCbCr rows to a bottom-up 24-bit bitmap.
#include "files/thumbnail.h"

#include "tavelocam.h"

#include <algorithm>

namespace tavelo::files {

namespace {

// BITMAPINFOHEADER fields that are not 0.
constexpr std::size_t kBiSizeOffset = 0;
constexpr std::size_t kBiWidthOffset = 4;
constexpr std::size_t kBiHeightOffset = 8;
constexpr std::size_t kBiPlanesOffset = 12;
constexpr std::size_t kBiBitCountOffset = 14;
constexpr std::uint16_t kPlanes = 1;
constexpr std::uint16_t kBitsPerPixel = 24;

// A camera pixel group: two pixels sharing one chroma pair.
constexpr std::size_t kGroupSize = 4;
constexpr std::size_t kCbAt = 0, kY0At = 1, kCrAt = 2, kY1At = 3;
constexpr std::size_t kBytesPerPixel = 3;
constexpr std::uint64_t kLargestBlock = 0xFFFFFFFFu;

// YCbCr to RGB factors 1.772, 0.71414, 0.34414 and 1.402 in 16.16 fixed point.
constexpr std::int32_t kCbToBlue = 116129;
constexpr std::int32_t kCrToGreen = 46801;
constexpr std::int32_t kCbToGreen = 22553;
constexpr std::int32_t kCrToRed = 91881;
constexpr int kFractionBits = 16;
constexpr std::int32_t kChromaZero = 128;

void PutLe16(BYTE *at, std::uint16_t value) {
  at[0] = static_cast<BYTE>(value);
  at[1] = static_cast<BYTE>(value >> 8);
}

void PutLe32(BYTE *at, std::uint32_t value) {
  PutLe16(at, static_cast<std::uint16_t>(value));
  PutLe16(at + 2, static_cast<std::uint16_t>(value >> 16));
}

std::uint8_t Clamp(std::int32_t fixed) {
  return static_cast<std::uint8_t>(std::clamp(fixed >> kFractionBits, 0, 255));
}

} // namespace

std::array<std::uint8_t, 3> YCbCrToBgr(std::uint8_t y, std::uint8_t cb, std::uint8_t cr) {
  const std::int32_t luma = std::int32_t{y} << kFractionBits;
  const std::int32_t b = std::int32_t{cb} - kChromaZero;
  const std::int32_t r = std::int32_t{cr} - kChromaZero;
  return {Clamp(luma + kCbToBlue * b), Clamp(luma - kCrToGreen * r - kCbToGreen * b),
          Clamp(luma + kCrToRed * r)};
}

HRESULT ThumbnailToBitmap(std::span<const BYTE> pixels, ULONG width, ULONG height,
                          TaskBlock *bitmap, ULONG *size) {
  if (width == 0 || height == 0) {
    width = kDefaultThumbnailWidth;
    height = kDefaultThumbnailHeight;
  }
  // Every row the header promises must be in the packet, and the bitmap
  // must fit 32 bits. Checked before any product can overflow.
  const std::uint64_t sourceRow = (std::uint64_t{width} + 1) / 2 * kGroupSize;
  if (sourceRow > pixels.size() / height) {
    return CAM_E_BAD_DATA;
  }
  const std::uint64_t rowSize = (std::uint64_t{width} * kBytesPerPixel + 3) & ~std::uint64_t{3};
  if (rowSize > (kLargestBlock - kBitmapHeaderSize) / height) {
    return CAM_E_BAD_DATA;
  }
  const auto blockSize = static_cast<std::size_t>(kBitmapHeaderSize + rowSize * height);

  TaskBlock block(static_cast<BYTE *>(CoTaskMemAlloc(blockSize)));
  if (!block) {
    return CAM_E_OUT_OF_MEMORY;
  }
  BYTE *out = block.get();
  std::fill_n(out, blockSize, BYTE{0});
  PutLe32(out + kBiSizeOffset, kBitmapHeaderSize);
  PutLe32(out + kBiWidthOffset, width);
  PutLe32(out + kBiHeightOffset, height); // positive: rows bottom-up
  PutLe16(out + kBiPlanesOffset, kPlanes);
  PutLe16(out + kBiBitCountOffset, kBitsPerPixel);

  for (std::size_t row = 0; row < height; ++row) {
    const BYTE *group = pixels.data() + row * sourceRow;
    BYTE *pixel = out + kBitmapHeaderSize + (height - 1 - row) * rowSize;
    for (std::size_t x = 0; x < width; x += 2, group += kGroupSize) {
      auto first = YCbCrToBgr(group[kY0At], group[kCbAt], group[kCrAt]);
      pixel = std::copy(first.begin(), first.end(), pixel);
      if (x + 1 < width) { // an odd width's last group gives one pixel
        auto second = YCbCrToBgr(group[kY1At], group[kCbAt], group[kCrAt]);
        pixel = std::copy(second.begin(), second.end(), pixel);
      }
    }
  }
  *bitmap = std::move(block);
  *size = static_cast<ULONG>(blockSize);
  return S_OK;
}

} // namespace tavelo::files
