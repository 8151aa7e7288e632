// Writing files to the camera with command 0x47: new file handles in a
// camera directory, the upload engine behind TaveloCreateFile and
// TaveloWriteFile, and the copy of a host file.
#pragma once

#include "files/file_name_record.h"
#include "session/camera_session.h"
#include "tavelocam.h"

#include <array>
#include <functional>
#include <span>

namespace tavelo::files {

// What TaveloCreateFile writes into a new file: "New File\r\n" and a zero.
inline constexpr std::array<BYTE, 11> kNewFileContent = {'N', 'e', 'w',  ' ',  'F', 'i',
                                                         'l', 'e', '\r', '\n', 0};

// A handle for the file `name` in the directory `dir`. The name may have
// up to 12 characters (CAM_E_LONG_NAME otherwise); its 8.3 form is checked
// only when an upload converts the handle back.
HRESULT MakeNewFileHandle(const FH *dir, const char *name, FileHandlePtr *handle);

// Where an upload's bytes come from: fills `into` with the bytes at
// `offset`; false when they cannot be read.
using UploadSource = std::function<bool(ULONG offset, std::span<BYTE> into)>;

// Replaces the content of the camera file `file` with `length` bytes from
// `source`: deletes the file, then sends the data in chunks that fill a
// request of `mhbs` bytes, each read straight into its request, all inside
// one command gate. Progress is reported after every accepted chunk; a
// cancel stops the upload and deletes the file again (CAM_E_ABORTED), and
// so does a failure once a chunk went out. `unreadable` is the result when
// the source cannot give its bytes.
HRESULT Upload(CameraSession &session, const FH *file, ULONG length, const UploadSource &source,
               HRESULT unreadable);

// The same from `length` bytes at `data` in the caller's memory, copied
// under the fault guard (CAM_E_BAD_PARAMETER when they cannot be read).
HRESULT Upload(CameraSession &session, const FH *file, const BYTE *data, ULONG length);

// TaveloCreateFile: a new handle for `name` in `dir`, and the placeholder
// content uploaded to it. `*handle` is set whenever the handle was made,
// whatever the upload's result.
HRESULT CreateNewFile(CameraSession &session, const FH *dir, const char *name,
                      FileHandlePtr *handle);

// TaveloCopyFileToCamera: uploads the host file `hostPath`, read chunk by
// chunk into the requests, as `name` in `dir`. `*handle` is set only when the
// upload succeeded.
HRESULT CopyHostFile(CameraSession &session, const char *hostPath, const FH *dir, const char *name,
                     FileHandlePtr *handle);

} // namespace tavelo::files
