// Output of the tavelo tool: aligned text tables and pictures (BMP or JPEG by
// the file's extension), including the contact sheet of thumbnails.
#pragma once

#include "image.h" // the RGB image and JPEG codec shared with the virtual camera

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace tavelo::cli {

class Table {
public:
  explicit Table(std::vector<std::string> header) : rows_{std::move(header)} {}
  void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  // Columns padded to their widest cell, two spaces apart.
  void Print() const;

private:
  std::vector<std::vector<std::string>> rows_;
};

using Image = emu::Rgb;

// The picture in a 24-bit bottom-up device-independent bitmap (a header of 40
// bytes and the rows, as thumbnails come from the library). Throws a Failure
// for a block that does not hold one.
Image FromDib(std::span<const std::uint8_t> dib);

// Writes a .bmp or a .jpg/.jpeg file; throws a Failure for another extension
// or when the file cannot be written.
void WriteImage(const std::filesystem::path &path, const Image &image);
// Checks the extension before anything is transferred.
void CheckImageExtension(const std::filesystem::path &path);

// One picture of tiles in rows, each with its caption under it.
struct Tile {
  Image image;
  std::string caption;
};
constexpr std::uint32_t kTileWidth = 96;  // room for an 80x60 thumbnail and a 12-character name
constexpr std::uint32_t kTileHeight = 80; // the thumbnail, then a line of text
constexpr std::uint32_t kSheetColumns = 6;
Image ContactSheet(const std::vector<Tile> &tiles);

} // namespace tavelo::cli
