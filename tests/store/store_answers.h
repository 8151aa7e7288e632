// Camera answers and requests of the file store commands, built byte by
// byte in the tests (not with the library's own layouts).
#pragma once

#include "answer_builders.h"
#include "bound_camera.h"

#include <cstring>
#include <string>
#include <vector>

namespace tavelo::test {

using Names = std::vector<std::string>;

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

// Each call must have been refused as a bad parameter; `i` numbers them.
inline void ExpectRefused(std::initializer_list<HRESULT> results) {
  int i = 0;
  for (HRESULT result : results) {
    EXPECT_EQ(result, CAM_E_BAD_PARAMETER) << "call " << i++;
  }
}

} // namespace tavelo::test
