#include "files/pages_ahead.h"

#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

namespace tavelo::files {

void MapPagesForWriting(BYTE *from, std::size_t bytes) {
  // Whole pages: the one holding `from` is mapped memory, whatever else it
  // holds, and populating it changes no byte; the last, partial page is left
  // to the next request or to the copy, so requests never overlap.
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(from) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(from) + bytes) & ~(page - 1);
  if (end > begin) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a page address
    madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
  }
}

} // namespace tavelo::files
