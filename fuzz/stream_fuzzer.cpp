// The two links' framing, fed a hostile byte stream: the first byte picks
// the link (bit 0: serial frames, else TCP packets), a small buffer (bit 1),
// an expected sequence byte (bit 2, the second byte) and the sender taken
// (bit 3: the host, else the camera); the rest arrives
// in pieces of the sizes the stream bytes themselves suggest.
#include "framing.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using tavelo::link::Read;
  if (size < 2) {
    return 0;
  }
  std::vector<std::uint8_t> out((data[0] & 2) != 0 ? 64 : 65536);
  std::span<const std::uint8_t> in(data + 2, size - 2);
  if ((data[0] & 1) == 0) {
    tavelo::link::PacketReader reader(out);
    for (Read read = Read::more; read == Read::more && !in.empty();) {
      const auto want = reader.Want();
      const std::size_t n = std::min({want.size(), in.size(), std::size_t{data[1]} + 1});
      std::copy_n(in.begin(), n, want.begin());
      in = in.subspan(n);
      read = reader.Got(n);
      if ((read == Read::more && n == 0) || (read == Read::done && reader.size() > out.size())) {
        std::abort(); // waits while it takes nothing, or a packet past its buffer
      }
    }
    return 0;
  }
  tavelo::link::FrameDecoder decoder(
      out, (data[0] & 8) != 0 ? tavelo::link::kFromHost : tavelo::link::kFromCamera,
      (data[0] & 4) != 0 ? std::optional(data[1]) : std::nullopt);
  while (!in.empty()) {
    const auto step = decoder.Feed(in);
    if (step.used == 0 || step.used > in.size() ||
        (step.read == Read::done && decoder.size() > out.size())) {
      std::abort(); // no progress, or a claim past the input or the buffer
    }
    in = in.subspan(step.used);
  }
  return 0;
}
