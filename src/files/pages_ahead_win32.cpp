#include "files/pages_ahead.h"

namespace tavelo::files {

// Left to the system's own mapping on first write.
void MapPagesForWriting(BYTE * /*from*/, std::size_t /*bytes*/) {}

} // namespace tavelo::files
