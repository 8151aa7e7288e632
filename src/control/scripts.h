// Scripts stored on the camera: running one (command 0xB1) and reading its
// description (command 0xB6). Both name the script by the 8.3 file name of
// its handle alone; the directory is not sent.
#pragma once

#include "session/camera_session.h"
#include "tavelocam.h"

#include <cstddef>

namespace tavelo::control {

// The caller's description buffer, and the text that stands for an empty
// description.
inline constexpr std::size_t kScriptDescriptionBufferSize = 32;
inline constexpr char kUnnamedScript[] = "Unnamed or system script";

HRESULT RunApp(CameraSession &session, const FH *script);

// Writes the script's description (at most 31 characters and a zero byte)
// into `buffer`, which holds 32 bytes, only when the camera gave one.
HRESULT GetScriptDescription(CameraSession &session, const FH *script, char *buffer);

} // namespace tavelo::control
