// File handles that a listing has made and not yet handed out, and the
// hand-out itself: the array of handle pointers that the session keeps.
#pragma once

#include "files/file_name_record.h"
#include "session/camera_session.h"
#include "tavelocam.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tavelo::files {

using RecordBytes = std::array<std::uint8_t, kRecordSize>;

// A name record made of a drive number, a directory path field and a file
// name field (each copied no further than its record field; either may be
// empty).
RecordBytes ComposeRecord(std::uint32_t drive, std::span<const std::uint8_t> directory,
                          std::span<const std::uint8_t> name);

// Handles still held when the list goes are released, so every way out of
// a listing cleans up after itself.
class HandleList {
public:
  // Adds a new handle naming `record`; false when no memory is left.
  bool Add(ConstNameRecord record);
  // Adds a new handle with the same contents as `file`.
  bool AddCopy(const FH &file);

  // Releases the handle added last.
  void DropLast() { handles_.pop_back(); }

  std::size_t size() const { return handles_.size(); }
  const FH &operator[](std::size_t index) const { return *handles_[index]; }
  // The handles, still owned by the list.
  std::vector<FH *> Pointers() const;
  // Gives up ownership of every handle (they have been handed over).
  void Disown();

  // Hands the handles out: an array of `slots` pointers (at least size())
  // kept with the session's result blocks, then count and array to the
  // caller. With 0 slots the array is null and no block is kept. On
  // CAM_E_OUT_OF_MEMORY the handles stay with the list.
  HRESULT HandOut(CameraSession &session, std::size_t slots, ULONG *count, FH ***array);

private:
  std::vector<FileHandlePtr> handles_;
};

} // namespace tavelo::files
