#include "files/pages_ahead.h"

#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

namespace tavelo::files {

void MapPagesForWriting(BYTE *from, std::size_t bytes) {
  // The page holding `from` is mapped whole (the block owns at least its
  // start of it, and the rest of it is mapped memory too); the last page is
  // left to the next request or to the copy, so windows never overlap.
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(from) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(from) + bytes) & ~(page - 1);
  if (end > begin) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a page address
    madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
  }
}

} // namespace tavelo::files
