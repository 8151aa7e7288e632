// A camera thumbnail as a Windows device-independent bitmap.
//
// The camera sends rows top first, each pixel pair in a group of 4 bytes
// Cb, Y0, Cr, Y1 (chroma offset by 128). The bitmap is a 40-byte
// BITMAPINFOHEADER (little-endian, as on Windows) followed by 24-bit rows
// of blue, green, red, each padded to 4 bytes and stored bottom-up.
#pragma once

#include "session/value_item.h"
#include "tavelo/win32.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace tavelo::files {

inline constexpr std::size_t kBitmapHeaderSize = 40;
// The size a camera that gives no width or height means.
inline constexpr ULONG kDefaultThumbnailWidth = 80;
inline constexpr ULONG kDefaultThumbnailHeight = 60;

// Blue, green, red of one pixel, in 16.16 fixed point.
std::array<std::uint8_t, 3> YCbCrToBgr(std::uint8_t y, std::uint8_t cb, std::uint8_t cr);

using TaskBlock = std::unique_ptr<BYTE, TaskMemDeleter>;

// Converts `pixels` (the data of the answer that the packet holds) into a
// new task-allocator bitmap of `*size` bytes; a width or height of 0 means
// the default 80 x 60. CAM_E_BAD_DATA when the
// pixels that the width and height call for are not all there, or the
// bitmap would not fit 32 bits; CAM_E_OUT_OF_MEMORY when it cannot be
// allocated.
HRESULT ThumbnailToBitmap(std::span<const BYTE> pixels, ULONG width, ULONG height,
                          TaskBlock *bitmap, ULONG *size);

} // namespace tavelo::files
