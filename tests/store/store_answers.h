// Camera answers and requests of the file store commands, built byte by
// byte in the tests (not with the library's own layouts), and a fixture
// that runs the listing exports.
#pragma once

#include "answer_builders.h"
#include "bound_camera.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace tavelo::test {

using Names = std::vector<std::string>;

// A file name record: drive, 32-byte directory path, 16-byte name.
inline Bytes Record(std::uint32_t drive, const std::string &directory,
                    const std::string &name = "") {
  return Join({Be32(drive), Field(directory, 32), Field(name, 16)});
}

// An entry of the image lists (0x40, 0x41): record, size, 4 more bytes.
inline Bytes ImageItem(std::uint32_t drive, const std::string &directory, const std::string &name,
                       std::uint32_t size = 0) {
  return Join({Record(drive, directory, name), Be32(size), Be32(0)});
}

// A counted list body: the count, then the entries.
inline Bytes List(const std::vector<Bytes> &entries) {
  Bytes body = Be32(static_cast<std::uint32_t>(entries.size()));
  for (const Bytes &entry : entries) {
    Append(body, entry);
  }
  return body;
}

inline FH Handle(const std::string &path, LONG drive = 0) {
  FH handle{};
  handle.kind = 1;
  handle.drive = drive;
  std::memcpy(handle.path, path.data(), std::min(path.size(), sizeof handle.path));
  return handle;
}

// The path names of listed handles, which are then released.
inline Names Release(HCAMERA camera, ULONG count, FH **handles) {
  Names paths;
  for (ULONG i = 0; i < count; ++i) {
    paths.emplace_back(handles[i]->path, strnlen(handles[i]->path, sizeof handles[i]->path));
    EXPECT_EQ(TaveloCloseFile(camera, handles[i]), S_OK);
  }
  return paths;
}

// Each call must have been refused as a bad parameter; `i` numbers them.
inline void ExpectRefused(std::initializer_list<HRESULT> results) {
  int i = 0;
  for (HRESULT result : results) {
    EXPECT_EQ(result, CAM_E_BAD_PARAMETER) << "call " << i++;
  }
}

using ListExport = CAMRESULT(TAVELOAPI *)(HCAMERA, ULONG *, FH ***);

class StoreTest : public BoundCameraTest {
protected:
  // Runs a listing; gives the path names (releasing the handles) and keeps
  // the array. After a failure both outputs must be cleared.
  Names Run(const std::function<HRESULT(ULONG *, FH ***)> &list, HRESULT expected = S_OK) {
    ULONG count = 99;
    array_ = reinterpret_cast<FH **>(this);
    EXPECT_EQ(list(&count, &array_), expected);
    if (FAILED(expected)) {
      EXPECT_EQ(count, 0u);
      EXPECT_EQ(array_, nullptr);
    }
    return Release(handle_, count, array_);
  }
  Names Run(ListExport list, HRESULT expected = S_OK) {
    return Run(std::bind_front(list, handle_), expected);
  }

  FH **array_ = nullptr; // the array of the last listing
};

} // namespace tavelo::test
