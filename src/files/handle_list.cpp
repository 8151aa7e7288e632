#include "files/handle_list.h"

#include "session/wire.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tavelo::files {

RecordBytes ComposeRecord(std::uint32_t drive, std::span<const std::uint8_t> directory,
                          std::span<const std::uint8_t> name) {
  RecordBytes record{};
  wire::PutU32(record, kDriveOffset, drive);
  std::copy_n(directory.begin(), std::min(directory.size(), kDirectorySize),
              record.begin() + kDirectoryOffset);
  std::copy_n(name.begin(), std::min(name.size(), kNameSize), record.begin() + kNameOffset);
  return record;
}

bool HandleList::Add(ConstNameRecord record) {
  FileHandlePtr handle = NewFileHandle(record);
  if (!handle) {
    return false;
  }
  try {
    handles_.push_back(std::move(handle));
  } catch (const std::bad_alloc &) {
    return false;
  }
  return true;
}

bool HandleList::AddCopy(const FH &file) {
  FileHandlePtr handle(static_cast<FH *>(HeapAlloc(GetProcessHeap(), 0, sizeof(FH))));
  if (!handle) {
    return false;
  }
  std::memcpy(handle.get(), &file, sizeof(FH));
  try {
    handles_.push_back(std::move(handle));
  } catch (const std::bad_alloc &) {
    return false;
  }
  return true;
}

std::vector<FH *> HandleList::Pointers() const {
  std::vector<FH *> pointers;
  pointers.reserve(handles_.size());
  for (const FileHandlePtr &handle : handles_) {
    pointers.push_back(handle.get());
  }
  return pointers;
}

void HandleList::Disown() {
  for (FileHandlePtr &handle : handles_) {
    static_cast<void>(handle.release());
  }
  handles_.clear();
}

HRESULT HandleList::HandOut(CameraSession &session, std::size_t slots, ULONG *count, FH ***array) {
  *count = 0;
  *array = nullptr;
  slots = std::max(slots, handles_.size());
  if (slots == 0) {
    return S_OK;
  }
  auto **block = static_cast<FH **>(session.KeepResultBlock(slots * sizeof(FH *)));
  if (block == nullptr) {
    return CAM_E_OUT_OF_MEMORY;
  }
  for (std::size_t i = 0; i < handles_.size(); ++i) {
    block[i] = handles_[i].get();
  }
  *count = static_cast<ULONG>(handles_.size());
  *array = block;
  Disown();
  return S_OK;
}

} // namespace tavelo::files
