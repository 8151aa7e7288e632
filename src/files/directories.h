// Making directories and groups on the camera, and the system directory.
#pragma once

#include "session/camera_session.h"
#include "tavelocam.h"

#include <cstddef>

namespace tavelo::files {

// A directory name: 1 to 15 characters.
inline constexpr std::size_t kMaxDirectoryNameLength = 15;

// Makes the directory `name` in `parent` (null: the root of the default
// drive) with command 0x45. The new handle names "<parent path>NAME/"; made
// without a parent it has no drive prefix ("NAME/") and carries the default
// drive in its drive field. `*created` receives the handle as soon as it
// exists, and the caller owns it whatever the result; it stays null when
// the name is refused or no memory is left.
HRESULT CreateCameraDirectory(CameraSession &session, const FH *parent, const char *name,
                              FH **created);

// The handle of the system directory "SYSTEM/" on the default drive, made
// on the camera if need be. Succeeds whenever a handle was made, also when
// the camera refused to make the directory (it usually has one already).
HRESULT MakeSystemDirectory(CameraSession &session, FH **created);

// A group name: 1 to 15 characters, sent in upper case.
inline constexpr std::size_t kMaxGroupNameLength = 15;

// Makes the group `name` of `count` files (command 0x46). The name is
// turned to upper case in place. A count of 0 goes with a null array.
HRESULT CreateGroup(CameraSession &session, char *name, FH *const *members, LONG count);

} // namespace tavelo::files
