#include "image.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

namespace tavelo::emu {
namespace {

// libjpeg reports fatal errors through error_exit; jump back instead of
// letting it end the process. The functions that set the jump point keep no
// objects with destructors between setjmp and the libjpeg calls.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

void on_error(j_common_ptr info) {
  auto *manager = reinterpret_cast<ErrorManager *>(info->err);
  std::longjmp(manager->jump, 1);
}

void quiet(j_common_ptr, int) {}

constexpr unsigned char exif_app1[] = {'E', 'x', 'i', 'f', 0, 0,
                                       // little-endian TIFF header, one empty IFD
                                       'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0};

bool has_exif(jpeg_decompress_struct &d) {
  for (auto *m = d.marker_list; m != nullptr; m = m->next) {
    if (m->marker == JPEG_APP0 + 1 && m->data_length >= 6 &&
        std::memcmp(m->data, "Exif\0", 6) == 0) {
      return true;
    }
  }
  return false;
}

// Reads the header and, when `out` is given, decodes with the largest DCT
// downscale that still covers min_width x min_height.
// Reads from `file` when given, else from `jpeg`.
bool decode(std::span<const std::uint8_t> jpeg, std::FILE *file, JpegInfo &info, Rgb *out,
            std::uint32_t min_width, std::uint32_t min_height) {
  jpeg_decompress_struct d{};
  ErrorManager err{};
  d.err = jpeg_std_error(&err.base);
  err.base.error_exit = on_error;
  err.base.emit_message = quiet;
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_decompress(&d);
    return false;
  }
  jpeg_create_decompress(&d);
  if (file != nullptr) {
    jpeg_stdio_src(&d, file);
  } else {
    jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  }
  jpeg_save_markers(&d, JPEG_APP0 + 1, 64);
  if (jpeg_read_header(&d, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&d);
    return false;
  }
  info.width = d.image_width;
  info.height = d.image_height;
  info.components = static_cast<std::uint32_t>(d.num_components);
  info.exif = has_exif(d);
  if (out != nullptr) {
    d.out_color_space = JCS_RGB;
    d.scale_num = 1;
    d.scale_denom = 1;
    for (unsigned denom : {8u, 4u, 2u}) {
      if (d.image_width / denom >= min_width && d.image_height / denom >= min_height) {
        d.scale_denom = denom;
        break;
      }
    }
    jpeg_start_decompress(&d);
    out->width = d.output_width;
    out->height = d.output_height;
    out->pixels.resize(std::size_t{out->width} * out->height * 3);
    while (d.output_scanline < d.output_height) {
      JSAMPROW row = out->pixels.data() + std::size_t{d.output_scanline} * out->width * 3;
      jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
  }
  jpeg_destroy_decompress(&d);
  return true;
}

std::uint8_t clamp8(int v) {
  return static_cast<std::uint8_t>(std::clamp(v, 0, 255));
}

void fitted_size(std::uint32_t w, std::uint32_t h, std::uint32_t max_w, std::uint32_t max_h,
                 std::uint32_t &out_w, std::uint32_t &out_h) {
  // Largest size within the box with the image's aspect ratio.
  if (std::uint64_t{w} * max_h >= std::uint64_t{h} * max_w) {
    out_w = max_w;
    out_h = static_cast<std::uint32_t>((std::uint64_t{h} * max_w + w / 2) / w);
  } else {
    out_h = max_h;
    out_w = static_cast<std::uint32_t>((std::uint64_t{w} * max_h + h / 2) / h);
  }
  out_w = std::max<std::uint32_t>(out_w, 1);
  out_h = std::max<std::uint32_t>(out_h, 1);
}

} // namespace

std::optional<JpegInfo> read_jpeg_info(std::span<const std::uint8_t> jpeg) {
  JpegInfo info;
  if (!decode(jpeg, nullptr, info, nullptr, 0, 0)) {
    return std::nullopt;
  }
  return info;
}

std::optional<JpegInfo> read_jpeg_info(const std::filesystem::path &file) {
  std::FILE *in = std::fopen(file.c_str(), "rb");
  if (in == nullptr) {
    return std::nullopt;
  }
  JpegInfo info;
  const bool read = decode({}, in, info, nullptr, 0, 0);
  std::fclose(in);
  return read ? std::optional<JpegInfo>(info) : std::nullopt;
}

std::optional<Rgb> decode_fitted(std::span<const std::uint8_t> jpeg, std::uint32_t max_width,
                                 std::uint32_t max_height) {
  JpegInfo info;
  Rgb full;
  if (!decode(jpeg, nullptr, info, &full, max_width, max_height) || full.width == 0 ||
      full.height == 0) {
    return std::nullopt;
  }
  // The target size follows the original dimensions, not the DCT-scaled ones.
  std::uint32_t w = 0;
  std::uint32_t h = 0;
  fitted_size(info.width, info.height, max_width, max_height, w, h);
  Rgb scaled = fit(full, w, h);
  return scaled;
}

Rgb fit(const Rgb &image, std::uint32_t max_width, std::uint32_t max_height) {
  Rgb out;
  fitted_size(image.width, image.height, max_width, max_height, out.width, out.height);
  out.pixels.resize(std::size_t{out.width} * out.height * 3);
  for (std::uint32_t y = 0; y < out.height; ++y) {
    const std::uint32_t y0 =
        static_cast<std::uint32_t>(std::uint64_t{y} * image.height / out.height);
    const std::uint32_t y1 = std::max<std::uint32_t>(
        y0 + 1, static_cast<std::uint32_t>(std::uint64_t{y + 1} * image.height / out.height));
    for (std::uint32_t x = 0; x < out.width; ++x) {
      const std::uint32_t x0 =
          static_cast<std::uint32_t>(std::uint64_t{x} * image.width / out.width);
      const std::uint32_t x1 = std::max<std::uint32_t>(
          x0 + 1, static_cast<std::uint32_t>(std::uint64_t{x + 1} * image.width / out.width));
      std::uint64_t sum[3] = {0, 0, 0};
      for (std::uint32_t sy = y0; sy < y1; ++sy) {
        for (std::uint32_t sx = x0; sx < x1; ++sx) {
          const auto *p = &image.pixels[(std::size_t{sy} * image.width + sx) * 3];
          sum[0] += p[0];
          sum[1] += p[1];
          sum[2] += p[2];
        }
      }
      const std::uint64_t n = std::uint64_t{y1 - y0} * (x1 - x0);
      auto *q = &out.pixels[(std::size_t{y} * out.width + x) * 3];
      for (int c = 0; c < 3; ++c) {
        q[c] = static_cast<std::uint8_t>((sum[c] + n / 2) / n);
      }
    }
  }
  return out;
}

std::vector<std::uint8_t> encode_jpeg(const Rgb &image, int quality, bool exif) {
  jpeg_compress_struct c{};
  ErrorManager err{};
  unsigned char *buffer = nullptr;
  unsigned long size = 0;
  c.err = jpeg_std_error(&err.base);
  err.base.error_exit = on_error;
  err.base.emit_message = quiet;
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_compress(&c);
    std::free(buffer);
    return {};
  }
  jpeg_create_compress(&c);
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = image.width;
  c.image_height = image.height;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  c.write_JFIF_header = exif ? FALSE : TRUE;
  jpeg_start_compress(&c, TRUE);
  if (exif) {
    jpeg_write_marker(&c, JPEG_APP0 + 1, exif_app1, sizeof exif_app1);
  }
  while (c.next_scanline < c.image_height) {
    auto *row =
        const_cast<JSAMPROW>(image.pixels.data() + std::size_t{c.next_scanline} * image.width * 3);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<std::uint8_t> out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

std::vector<std::uint8_t> to_ycbcr422(const Rgb &image) {
  const std::uint32_t groups = (image.width + 1) / 2;
  std::vector<std::uint8_t> out;
  out.reserve(std::size_t{groups} * 4 * image.height);
  for (std::uint32_t y = 0; y < image.height; ++y) {
    for (std::uint32_t g = 0; g < groups; ++g) {
      const std::uint32_t x0 = 2 * g;
      const std::uint32_t x1 = std::min(x0 + 1, image.width - 1);
      const auto *a = &image.pixels[(std::size_t{y} * image.width + x0) * 3];
      const auto *b = &image.pixels[(std::size_t{y} * image.width + x1) * 3];
      // ITU-R BT.601 full range, 16.16 fixed point.
      const auto luma = [](const std::uint8_t *p) {
        return clamp8((19595 * p[0] + 38470 * p[1] + 7471 * p[2] + 32768) >> 16);
      };
      const int r = (a[0] + b[0]) / 2;
      const int gr = (a[1] + b[1]) / 2;
      const int bl = (a[2] + b[2]) / 2;
      const int cb = ((-11056 * r - 21712 * gr + 32768 * bl + 32768) >> 16) + 128;
      const int cr = ((32768 * r - 27440 * gr - 5328 * bl + 32768) >> 16) + 128;
      out.push_back(clamp8(cb));
      out.push_back(luma(a));
      out.push_back(clamp8(cr));
      out.push_back(luma(b));
    }
  }
  return out;
}

Rgb synthetic_scene(std::uint32_t width, std::uint32_t height, std::uint32_t frame,
                    const int (&tint)[3]) {
  Rgb img;
  img.width = width;
  img.height = height;
  img.pixels.resize(std::size_t{width} * height * 3);
  const std::uint32_t cx = (frame * 7) % (width ? width : 1);
  const std::uint32_t cy = height / 2;
  const std::uint32_t radius = std::max<std::uint32_t>(height / 5, 1);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      int rgb[3] = {static_cast<int>(255 * x / std::max<std::uint32_t>(width, 1)),
                    static_cast<int>(255 * y / std::max<std::uint32_t>(height, 1)),
                    static_cast<int>((frame * 13) % 256)};
      const std::int64_t dx = std::int64_t{x} - cx;
      const std::int64_t dy = std::int64_t{y} - cy;
      if (dx * dx + dy * dy <= std::int64_t{radius} * radius) {
        rgb[0] = 250;
        rgb[1] = 220;
        rgb[2] = 40; // a sun crossing the frame
      } else if (y > height * 3 / 4) {
        rgb[0] = 40;
        rgb[1] = 140;
        rgb[2] = 60; // ground
      }
      auto *p = &img.pixels[(std::size_t{y} * width + x) * 3];
      for (int c = 0; c < 3; ++c) {
        p[c] = clamp8(rgb[c] * tint[c] / 100);
      }
    }
  }
  return img;
}

} // namespace tavelo::emu
