// The pages of a download's result block are mapped in ahead of the copy
// that fills it, a bounded window at a time: the copy then does not fault
// page by page, and a block that a camera announced but never fills costs
// no more memory than the bytes that did arrive and one window.
#pragma once

#include "tavelo/win32.h"

#include <cstddef>

namespace tavelo::files {

// How far past the bytes about to be written the pages are mapped.
inline constexpr std::size_t kPagesAheadWindow = std::size_t{8} << 20;

// Blocks smaller than this are left to fault their few pages in as they are
// written: asking the system costs more than that.
inline constexpr std::size_t kPagesAheadFrom = std::size_t{1} << 20;

class PagesAhead {
public:
  PagesAhead(BYTE *block, std::size_t size) : block_(block), size_(size) {}
  // Call before the bytes up to `end` (from the block's start) are written.
  void Before(std::size_t end);

private:
  BYTE *block_;
  std::size_t size_;
  std::size_t mapped_ = 0; // bytes from the start mapped in, or asked to be
};

// Maps in the whole pages of [from, from + bytes) for writing, in one
// request where the system offers one; best effort.
void MapPagesForWriting(BYTE *from, std::size_t bytes);

} // namespace tavelo::files
