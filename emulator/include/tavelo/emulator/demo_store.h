// A ready-made store for demos and tests: real JPEG photos in two albums, a
// group, a sound annotation and system scripts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tavelo::emu {

// Fills `store`, which must be missing or empty. Throws StoreError otherwise
// or when a file cannot be written.
void make_demo_store(const std::filesystem::path &store);

// A card of generated photos: `photos` small JPEGs named IMG0001.JPG on,
// numbered across folders 2/DCIM/100TAVEL/, 101TAVEL/, ... of `per_folder`
// each (the last one takes the rest). Every photo's bytes differ. The
// camera's next picture number follows the last photo.
struct PhotoCard {
  std::uint32_t photos = 0;
  std::uint32_t per_folder = 999;
  std::uint32_t width = 160;
  std::uint32_t height = 120;
};
void make_photo_store(const std::filesystem::path &store, const PhotoCard &card);

// What would trouble a host in a store: each directory that holds more
// entries than one listing answer can carry, as one warning text each.
std::vector<std::string> check_store(const std::filesystem::path &store);

} // namespace tavelo::emu
