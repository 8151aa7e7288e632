#include "session/small_answer.h"

#include <algorithm>

namespace tavelo {

HRESULT TransactSmall(CameraSession &session, std::uint16_t command, std::span<const BYTE> request,
                      std::span<BYTE> answer, ULONG lengthHint) {
  std::fill(answer.begin(), answer.end(), BYTE{0});
  std::span<BYTE> buffer = session.ExchangeBuffer();
  if (buffer.size() < answer.size()) {
    return CAM_E_COMM; // no adapter: an earlier exchange of this command dropped it
  }
  std::span<BYTE> window = buffer.first(answer.size());
  std::size_t received = 0;
  HRESULT result = session.Transact(command, request, window, lengthHint, &received);
  if (SUCCEEDED(result)) {
    std::copy_n(window.begin(), std::min(received, answer.size()), answer.begin());
  }
  return result;
}

} // namespace tavelo
