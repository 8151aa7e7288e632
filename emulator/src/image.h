// Real image data through libjpeg-turbo: header facts, scaled decoding,
// encoding, and the camera's 4:2:2 thumbnail byte order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace tavelo::emu {

struct Rgb {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels; // width * height * 3, rows top first
};

struct JpegInfo {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t components = 0;
  bool exif = false; // carries an APP1 "Exif" segment
};

// Header facts, or nothing when the bytes are not a JPEG image.
std::optional<JpegInfo> read_jpeg_info(std::span<const std::uint8_t> jpeg);
// The same from a file, reading only as far as the header goes.
std::optional<JpegInfo> read_jpeg_info(const std::filesystem::path &file);

// Decodes and scales to fit within max_width x max_height, keeping the aspect
// ratio (at least 1 pixel each way). Nothing when the bytes are not a JPEG.
std::optional<Rgb> decode_fitted(std::span<const std::uint8_t> jpeg, std::uint32_t max_width,
                                 std::uint32_t max_height);

// Baseline JPEG at the given quality; with `exif` an APP1 Exif segment is
// written as a camera does.
std::vector<std::uint8_t> encode_jpeg(const Rgb &image, int quality, bool exif);

// Scales an image to fit (box filter), keeping the aspect ratio.
Rgb fit(const Rgb &image, std::uint32_t max_width, std::uint32_t max_height);

// Packs rows top first in groups of 4 bytes Cb, Y0, Cr, Y1 for two pixels
// side by side; for an odd width the last group repeats the last pixel.
std::vector<std::uint8_t> to_ycbcr422(const Rgb &image);

// A synthetic scene: gradients and shapes that move with `frame`, tinted by
// `tint` (red, green, blue gain in percent).
Rgb synthetic_scene(std::uint32_t width, std::uint32_t height, std::uint32_t frame,
                    const int (&tint)[3] = {100, 100, 100});

} // namespace tavelo::emu
