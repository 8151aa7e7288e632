// A ready-made store for demos and tests: real JPEG photos in two albums, a
// group, a sound annotation and system scripts.
#pragma once

#include <filesystem>

namespace tavelo::emu {

// Fills `store`, which must be missing or empty. Throws StoreError otherwise
// or when a file cannot be written.
void make_demo_store(const std::filesystem::path &store);

} // namespace tavelo::emu
