// The exports that work on file handles alone, without the camera:
// equality, parent, display name and release.
#pragma once

#include "files/file_name_record.h"

#include <string_view>

namespace tavelo::files {

// The path name of a handle, never read past its 64-byte field.
std::string_view PathName(const FH &handle);

// Turns the record of a file into the record of its directory, and the
// record of a directory into that of its parent. False when there is none:
// for a file or a directory at the root.
bool ToParent(NameRecord record);

// What an application shows for a handle: a file's name, a directory's own
// name without its '/', a root entry without the drive prefix.
std::string_view DisplayName(std::string_view path);

} // namespace tavelo::files
