// Listing what the camera stores: the files and subdirectories of a
// directory, the groups, the system files, the images in no group, all
// images and the files the camera reported as new; and the default drive
// that a listing without a directory uses.
#pragma once

#include "session/camera_session.h"
#include "tavelocam.h"

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

} // namespace tavelo::files
