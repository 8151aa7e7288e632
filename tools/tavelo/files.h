// Listing helpers shared by the file and transfer commands.
#pragma once

#include "format.h"
#include "tavelo.h"

#include <string>
#include <vector>

namespace tavelo::cli {

// The directories a walk could not list. A walk goes on past them: each is
// named once on stderr as it is met, and Finish ends the command with a
// failure when there were any, after everything else was done.
class Unlisted {
public:
  void Note(const FH *dir, CAMRESULT result);
  bool empty() const { return dirs_.empty(); }
  void Finish(const std::string &command) const;

private:
  std::vector<std::string> dirs_;
};

// The subdirectories, then the files, of `dir` (null: the root of the default
// drive); with `recursive`, each directory is followed by what it holds.
// Without `unlisted` a listing that fails ends the command; with it, the
// directory is noted there and the walk goes on.
std::vector<FileHandle> ListTree(Camera &camera, const FH *dir, bool recursive,
                                 Unlisted *unlisted = nullptr);

// Every file of the default drive, in the order of ls -R, without the
// directories: the files `get 1-20` and `ls --numbers` count.
std::vector<FileHandle> NumberedFiles(Camera &camera, Unlisted &unlisted);

// Every image of the camera: the camera's own list, or when that fails (a
// card too large for one answer), the image files found by walking the
// default drive outside SYSTEM/.
std::vector<FileHandle> AllImages(Camera &camera, Unlisted &unlisted);

// One entry of a listing as `ls --json` prints it; `details` adds what -l
// shows (type, size, dimensions, date).
Json Describe(Camera &camera, const FH &file, bool details);

// A file's thumbnail, or with a null file the viewfinder picture.
Image Thumbnail(Camera &camera, const FH *file);

} // namespace tavelo::cli
