// The page's files, embedded in the program at build time (embed.cmake).
#pragma once

#include <cstddef>
#include <span>

namespace tavelo::cli::serve {

struct PageFile {
  const char *path; // the URL path, such as "/app.js"
  const char *type; // the content type
  const unsigned char *data;
  std::size_t size;
};

std::span<const PageFile> PageFiles();

} // namespace tavelo::cli::serve
