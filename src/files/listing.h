// Listing what the camera stores: the files and subdirectories of a
// directory, the groups, the system files, the images in no group, all
// images and the files the camera reported as new; and the default drive
// that a listing without a directory uses.
#pragma once

#include "files/handle_list.h"
#include "session/camera_session.h"
#include "tavelocam.h"

#include <cstddef>

namespace tavelo::files {

// The drive the camera stores on unless told otherwise. Asked once per
// session with command 0x05, whose request echoes the camera's product
// items vdid, ptid and sern, and cached in session.defaultDrive once the
// camera has answered. `*drive` is always set: to the camera's answer, or
// to drive 2, which stands in for it whenever the camera does not name one
// (the query then gives the failure, or CAM_E_BAD_DATA for an answer too
// short to hold a drive, and is asked again next time).
HRESULT QueryDefaultDrive(CameraSession &session, ULONG *drive);

// Asks the camera for the files it has newly stored (command 0x41; each is
// reported once) and adds them to the session's new-file list, after those
// no application has taken yet, so that a refresh never loses files that
// were reported but not collected. A failure leaves the list as it was.
HRESULT FetchNewFiles(CameraSession &session);

// Sends command 0x40 with selector 1 (every file) and gives only the
// outcome: the mapped status word or the transport's failure. The entries
// are not read.
HRESULT RequestAllFiles(CameraSession &session);

// What a listing found: the handles, and how many entries the camera
// reported, which is the size of the array handed out (entries left out
// leave slots unused).
struct Listing {
  HandleList handles;
  std::size_t slots = 0;
};

enum class DirectoryPart { kFiles, kSubdirectories };

// The files or the subdirectories of a directory (command 0x4A); without a
// directory, of the default drive's root. A file handle lists the directory
// that holds the file. With `excludeCameraFiles`, files of types 5 and 6
// are left out (and so is a file whose type cannot be had). A camera that
// does not support 0x4A is answered from the other listings: the files of
// a directory are the images whose path names begin with it (subdirectories
// included), the root's files are the ungrouped images, and the root's
// subdirectories are the groups; a subdirectory's subdirectories stay
// CAM_E_NOT_SUPPORTED.
HRESULT ListDirectory(CameraSession &session, const FH *directory, DirectoryPart part,
                      bool excludeCameraFiles, Listing *listing);

// Every image on the camera (command 0x40 with selector 1).
HRESULT ListAllImages(CameraSession &session, Listing *listing);

// The groups (command 0x51), each as a directory handle.
HRESULT ListGroups(CameraSession &session, Listing *listing);

// The files of the system directory (command 0xB0), named on the default
// drive: "2:SYSTEM/HELLO.CSM".
HRESULT ListSystemFiles(CameraSession &session, Listing *listing);

// The images whose path names begin with no group's path name.
HRESULT ListUngroupedImages(CameraSession &session, Listing *listing);

} // namespace tavelo::files
