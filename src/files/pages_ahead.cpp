#include "files/pages_ahead.h"

#include <algorithm>

namespace tavelo::files {

void PagesAhead::Before(std::size_t end) {
  if (end <= mapped_ || block_ == nullptr || size_ < kPagesAheadFrom) {
    return;
  }
  const std::size_t until = std::min(size_, end + kPagesAheadWindow);
  MapPagesForWriting(block_ + mapped_, until - mapped_);
  mapped_ = until;
}

} // namespace tavelo::files
