// Tables, bitmaps, and the contact sheet with its small built-in font.
#include "format.h"

#include "tavelo.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>

namespace tavelo::cli {

namespace fs = std::filesystem;

void Table::Print() const {
  std::vector<std::size_t> widths;
  for (const auto &row : rows_) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t i = 0; i < row.size(); ++i) {
      widths[i] = std::max(widths[i], row[i].size());
    }
  }
  for (const auto &row : rows_) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) {
        line.append(widths[i] - row[i].size() + 2, ' ');
      }
    }
    std::printf("%s\n", line.c_str());
  }
}

namespace {

constexpr std::size_t kDibHeader = 40;
constexpr std::size_t kFileHeader = 14;

std::uint32_t Le32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

void PutLe(std::vector<std::uint8_t> &out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

std::size_t RowSize(std::uint32_t width) {
  return (width * 3 + 3) / 4 * 4;
}

std::vector<std::uint8_t> EncodeBmp(const Image &image) {
  const std::size_t row = RowSize(image.width);
  const auto pixels = static_cast<std::uint32_t>(row * image.height);
  std::vector<std::uint8_t> out{'B', 'M'};
  PutLe(out, static_cast<std::uint32_t>(kFileHeader + kDibHeader) + pixels, 4);
  PutLe(out, 0, 4);
  PutLe(out, kFileHeader + kDibHeader, 4);
  PutLe(out, kDibHeader, 4);
  PutLe(out, image.width, 4);
  PutLe(out, image.height, 4); // positive: rows bottom-up
  PutLe(out, 1, 2);
  PutLe(out, 24, 2);
  for (int i = 0; i < 6; ++i) {
    PutLe(out, 0, 4);
  }
  for (std::uint32_t y = image.height; y-- > 0;) {
    const std::uint8_t *source = &image.pixels[std::size_t{y} * image.width * 3];
    for (std::uint32_t x = 0; x < image.width; ++x) {
      out.insert(out.end(), {source[3 * x + 2], source[3 * x + 1], source[3 * x]});
    }
    out.resize(out.size() + row - std::size_t{image.width} * 3, 0);
  }
  return out;
}

// 5x7 glyphs for the characters of 8.3 names, one byte per row, bit 4 left.
struct Glyph {
  char c;
  std::array<std::uint8_t, 7> rows;
};
constexpr std::array kFont{
    Glyph{'0', {14, 17, 19, 21, 25, 17, 14}}, Glyph{'1', {4, 12, 4, 4, 4, 4, 14}},
    Glyph{'2', {14, 17, 1, 2, 4, 8, 31}},     Glyph{'3', {31, 2, 4, 2, 1, 17, 14}},
    Glyph{'4', {2, 6, 10, 18, 31, 2, 2}},     Glyph{'5', {31, 16, 30, 1, 1, 17, 14}},
    Glyph{'6', {6, 8, 16, 30, 17, 17, 14}},   Glyph{'7', {31, 1, 2, 4, 8, 8, 8}},
    Glyph{'8', {14, 17, 17, 14, 17, 17, 14}}, Glyph{'9', {14, 17, 17, 15, 1, 2, 12}},
    Glyph{'A', {14, 17, 17, 31, 17, 17, 17}}, Glyph{'B', {30, 17, 17, 30, 17, 17, 30}},
    Glyph{'C', {14, 17, 16, 16, 16, 17, 14}}, Glyph{'D', {28, 18, 17, 17, 17, 18, 28}},
    Glyph{'E', {31, 16, 16, 30, 16, 16, 31}}, Glyph{'F', {31, 16, 16, 30, 16, 16, 16}},
    Glyph{'G', {14, 17, 16, 23, 17, 17, 15}}, Glyph{'H', {17, 17, 17, 31, 17, 17, 17}},
    Glyph{'I', {14, 4, 4, 4, 4, 4, 14}},      Glyph{'J', {7, 2, 2, 2, 2, 18, 12}},
    Glyph{'K', {17, 18, 20, 24, 20, 18, 17}}, Glyph{'L', {16, 16, 16, 16, 16, 16, 31}},
    Glyph{'M', {17, 27, 21, 21, 17, 17, 17}}, Glyph{'N', {17, 17, 25, 21, 19, 17, 17}},
    Glyph{'O', {14, 17, 17, 17, 17, 17, 14}}, Glyph{'P', {30, 17, 17, 30, 16, 16, 16}},
    Glyph{'Q', {14, 17, 17, 17, 21, 18, 13}}, Glyph{'R', {30, 17, 17, 30, 20, 18, 17}},
    Glyph{'S', {15, 16, 16, 14, 1, 1, 30}},   Glyph{'T', {31, 4, 4, 4, 4, 4, 4}},
    Glyph{'U', {17, 17, 17, 17, 17, 17, 14}}, Glyph{'V', {17, 17, 17, 17, 17, 10, 4}},
    Glyph{'W', {17, 17, 17, 21, 21, 21, 10}}, Glyph{'X', {17, 17, 10, 4, 10, 17, 17}},
    Glyph{'Y', {17, 17, 17, 10, 4, 4, 4}},    Glyph{'Z', {31, 1, 2, 4, 8, 16, 31}},
    Glyph{'.', {0, 0, 0, 0, 0, 12, 12}},      Glyph{'_', {0, 0, 0, 0, 0, 0, 31}},
    Glyph{'-', {0, 0, 0, 31, 0, 0, 0}},       Glyph{'~', {0, 0, 8, 21, 2, 0, 0}},
};
constexpr std::array<std::uint8_t, 7> kUnknownGlyph{31, 17, 17, 17, 17, 17, 31};
constexpr std::uint32_t kGlyphAdvance = 6;

void DrawText(Image &image, std::uint32_t left, std::uint32_t top, const std::string &text) {
  std::uint32_t x0 = left;
  for (char c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto *glyph = std::find_if(kFont.begin(), kFont.end(), [&](auto &g) { return g.c == c; });
    const auto &rows = glyph != kFont.end() ? glyph->rows : kUnknownGlyph;
    for (std::uint32_t y = 0; y < rows.size(); ++y) {
      for (std::uint32_t x = 0; x < 5; ++x) {
        if ((rows[y] >> (4 - x) & 1) != 0 && x0 + x < image.width && top + y < image.height) {
          std::uint8_t *pixel = &image.pixels[3 * ((top + y) * std::size_t{image.width} + x0 + x)];
          pixel[0] = pixel[1] = pixel[2] = 0xFF;
        }
      }
    }
    x0 += kGlyphAdvance;
  }
}

} // namespace

Image FromDib(std::span<const std::uint8_t> dib) {
  if (dib.size() < kDibHeader || Le32(dib, 0) != kDibHeader || dib[14] != 24) {
    throw Failure(kExitCamera, "the thumbnail is not a 24-bit bitmap");
  }
  const std::uint32_t width = Le32(dib, 4);
  const auto height = static_cast<std::int32_t>(Le32(dib, 8));
  const std::uint32_t rows = height < 0 ? static_cast<std::uint32_t>(-height) : height;
  const std::size_t row = RowSize(width);
  if (width == 0 || width > 65535 || rows > 65535 ||
      dib.size() - kDibHeader < row * std::size_t{rows}) {
    throw Failure(kExitCamera, "the thumbnail bitmap is cut short");
  }
  Image image{width, rows, std::vector<std::uint8_t>(std::size_t{width} * rows * 3)};
  for (std::uint32_t y = 0; y < rows; ++y) {
    const std::uint32_t stored = height < 0 ? y : rows - 1 - y;
    const std::uint8_t *source = &dib[kDibHeader + stored * row];
    std::uint8_t *target = &image.pixels[std::size_t{y} * width * 3];
    for (std::uint32_t x = 0; x < width; ++x) {
      target[3 * x] = source[3 * x + 2];
      target[3 * x + 1] = source[3 * x + 1];
      target[3 * x + 2] = source[3 * x];
    }
  }
  return image;
}

namespace {
std::string Extension(const fs::path &path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
}
} // namespace

void CheckImageExtension(const fs::path &path) {
  const std::string extension = Extension(path);
  if (extension != ".bmp" && extension != ".jpg" && extension != ".jpeg") {
    throw Failure(kExitUsage, "write pictures as .bmp, .jpg or .jpeg: " + path.string());
  }
}

void WriteImage(const fs::path &path, const Image &image) {
  CheckImageExtension(path);
  constexpr int kQuality = 90;
  const std::vector<std::uint8_t> bytes =
      Extension(path) == ".bmp" ? EncodeBmp(image) : emu::encode_jpeg(image, kQuality, false);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) {
    throw Failure(kExitHost, "cannot write " + path.string());
  }
}

Image ContactSheet(const std::vector<Tile> &tiles) {
  const auto count = static_cast<std::uint32_t>(tiles.size());
  const std::uint32_t columns = std::clamp<std::uint32_t>(count, 1, kSheetColumns);
  const std::uint32_t rows = std::max<std::uint32_t>(1, (count + columns - 1) / columns);
  Image sheet{columns * kTileWidth, rows * kTileHeight, {}};
  sheet.pixels.assign(std::size_t{sheet.width} * sheet.height * 3, 0x20); // dark grey
  constexpr std::uint32_t kPicture = 64; // the thumbnail area's height
  for (std::uint32_t i = 0; i < count; ++i) {
    const Image &thumb = tiles[i].image;
    const std::uint32_t left = i % columns * kTileWidth;
    const std::uint32_t top = i / columns * kTileHeight;
    const Image fitted = thumb.width > kTileWidth - 4 || thumb.height > kPicture - 2
                             ? emu::fit(thumb, kTileWidth - 4, kPicture - 2)
                             : thumb;
    const std::uint32_t x0 = left + (kTileWidth - fitted.width) / 2;
    const std::uint32_t y0 = top + 2 + (kPicture - 2 - fitted.height) / 2;
    for (std::uint32_t y = 0; y < fitted.height; ++y) {
      std::copy_n(&fitted.pixels[std::size_t{y} * fitted.width * 3], fitted.width * 3,
                  &sheet.pixels[3 * ((y0 + y) * std::size_t{sheet.width} + x0)]);
    }
    const std::string caption = tiles[i].caption.substr(0, (kTileWidth - 2) / kGlyphAdvance);
    const auto text_width = static_cast<std::uint32_t>(caption.size()) * kGlyphAdvance;
    DrawText(sheet, left + (kTileWidth - text_width) / 2, top + kPicture + 4, caption);
  }
  return sheet;
}

} // namespace tavelo::cli
