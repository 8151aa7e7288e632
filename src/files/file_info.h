// What the camera knows of one file: its size and its image information;
// and deleting files and directories.
#pragma once

#include "session/camera_session.h"
#include "tavelocam.h"

namespace tavelo::files {

// The size in bytes of the file `file` names (command 0x40 with selector 0).
// A directory handle is refused. `*size` is left as it was when the camera
// answers with no entry.
HRESULT QueryFileSize(CameraSession &session, const FH *file, ULONG *size);

// Deletes the file `file` names (command 0x43). A directory handle removes
// the directory: command 0x52 first, and when that fails command 0x50. The
// root of a drive is refused.
HRESULT DeleteCameraFile(CameraSession &session, const FH *file);

// Fills the image information record of `file`: its type, then for an
// image (a type below 5) the tags imwd, imht, impn, date, time and sdss,
// each its own command, and its size. A file that is not an image gets only
// its type. A tag that cannot be read ends the operation with its failure;
// the fields read so far stay in the record.
HRESULT GetImageInfo(CameraSession &session, const FH *file, IMAGE_INFO *info);

} // namespace tavelo::files
