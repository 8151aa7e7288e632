// File tags: named values the camera keeps for each file (a number or a
// short text), read and written as automation variants.
#pragma once

#include "session/camera_session.h"
#include "session/value_item.h"
#include "tavelocam.h"

namespace tavelo::files {

// The camera reads this tag as "the whole answer" rather than one value;
// the library does not ask for it.
inline constexpr ULONG kWholeAnswerTag = 0xFFFFFFFF;

// Reads one tag of a file into a new value record (image information and
// the file type query use it). The handle must name a file, not a
// directory. On success `*record` is set.
HRESULT GetTagRecord(CameraSession &session, const FH *file, ULONG tag, ValueRecordPtr *record);

// Reads one tag into `value`, a valid variant that is cleared first (but
// left untouched when an argument is refused).
HRESULT GetTag(CameraSession &session, const FH *file, ULONG tag, VARIANT *value);

// Writes one tag: a number (VT_I4, VT_UI4, VT_R4, VT_BOOL) or text
// (VT_BSTR) of at most 31 characters.
HRESULT SetTag(CameraSession &session, const FH *file, ULONG tag, const VARIANT &value);

} // namespace tavelo::files
