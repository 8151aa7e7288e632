// Listing helpers shared by the file and transfer commands.
#pragma once

#include "format.h"
#include "tavelo.h"

#include <vector>

namespace tavelo::cli {

// The subdirectories, then the files, of `dir` (null: the root of the default
// drive); with `recursive`, each directory is followed by what it holds.
std::vector<FileHandle> ListTree(Camera &camera, const FH *dir, bool recursive);

// One entry of a listing as `ls --json` prints it; `details` adds what -l
// shows (type, size, dimensions, date).
Json Describe(Camera &camera, const FH &file, bool details);

// A file's thumbnail, or with a null file the viewfinder picture.
Image Thumbnail(Camera &camera, const FH *file);

} // namespace tavelo::cli
