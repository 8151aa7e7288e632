// Listing helpers shared by the file and transfer commands.
#pragma once

#include "tavelo.h"

#include <vector>

namespace tavelo::cli {

// The subdirectories, then the files, of `dir` (null: the root of the default
// drive); with `recursive`, each directory is followed by what it holds.
std::vector<FileHandle> ListTree(Camera &camera, const FH *dir, bool recursive);

} // namespace tavelo::cli
