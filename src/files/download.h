// Reading data out of the camera with command 0x42: whole files and the
// second chunked kind in chunks the camera sizes through `mhbs`, the
// thumbnail (as a bitmap) and the third kind in one packet, and the copy of
// a whole file into a host file.
#pragma once

#include "files/thumbnail.h"
#include "session/camera_session.h"
#include "tavelocam.h"

namespace tavelo::files {

// Data kinds of command 0x42.
inline constexpr ULONG kDataFile = 0;      // chunked: the file's bytes
inline constexpr ULONG kDataThumbnail = 1; // one packet: converted to a bitmap
inline constexpr ULONG kDataChunked = 2;   // chunked: the camera's own second kind
inline constexpr ULONG kDataPacket = 3;    // one packet: passed on as sent

// The viewfinder image, read as the thumbnail of this path name.
inline constexpr const char *kViewfinderPath = "1:VIEWFIND";
inline constexpr LONG kViewfinderDrive = 1;

// Data of `kind` for `file` (null only for the viewfinder's thumbnail) in a
// new task-allocator block of `*size` bytes.
HRESULT GetFileData(CameraSession &session, const FH *file, ULONG kind, TaskBlock *data,
                    ULONG *size);

// Kinds 0 and 2: one command gate for all chunks, progress after each,
// cancel honoured between them. Resets the transfer counters first.
HRESULT ChunkedDownload(CameraSession &session, const FH *file, ULONG kind, TaskBlock *data,
                        ULONG *size);

// Kinds 1 and 3 in one packet; the transfer counters are not touched.
HRESULT OnePacketRead(CameraSession &session, const FH *file, ULONG kind, TaskBlock *data,
                      ULONG *size);

// Downloads the whole file, then writes it to `hostPath` (created anew).
HRESULT CopyFileFromCamera(CameraSession &session, const char *hostPath, const FH *file);

} // namespace tavelo::files
