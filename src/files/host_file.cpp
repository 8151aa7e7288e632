// What the two host file implementations share.
#include "files/host_file.h"

#include "api/fault_guard.h"

#include <cstring>

namespace tavelo::files {

HRESULT HostError(DWORD error) {
  return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

bool CopyGuarded(std::span<const BYTE> from, BYTE *to) noexcept {
  if (from.empty()) {
    return true;
  }
  return RunGuarded([&] { std::memcpy(to, from.data(), from.size()); });
}

} // namespace tavelo::files
