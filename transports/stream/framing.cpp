#include "framing.h"

#include <algorithm>
#include <charconv>
#include <zlib.h>

namespace tavelo::link {

namespace {

constexpr std::array<unsigned, 22> kStandardRates = {
    300,    600,    1200,   1800,   2400,   4800,    9600,    19200,   38400,   57600,   115200,
    230400, 460800, 500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000, 3000000, 4000000};
constexpr unsigned kMaxPort = 65535;

template <typename Number>
bool ParseNumber(std::string_view text, Number *value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return !text.empty() && error == std::errc{} && end == text.data() + text.size();
}

} // namespace

std::uint32_t Crc(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint32_t>(crc32_z(crc, bytes.data(), bytes.size()));
}

std::uint32_t GetU32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return std::uint32_t{bytes[at]} << 24 | std::uint32_t{bytes[at + 1]} << 16 |
         std::uint32_t{bytes[at + 2]} << 8 | std::uint32_t{bytes[at + 3]};
}

void PutU32(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
  bytes[at] = static_cast<std::uint8_t>(value >> 24);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 16);
  bytes[at + 2] = static_cast<std::uint8_t>(value >> 8);
  bytes[at + 3] = static_cast<std::uint8_t>(value);
}

std::span<std::uint8_t> PacketReader::Want() {
  if (need_ == 0) {
    return whole_ ? out_.subspan(have_) : std::span(head_).subspan(have_);
  }
  return out_.subspan(have_, need_ - have_);
}

Read PacketReader::Got(std::size_t n) {
  have_ += n;
  if (need_ == 0) {
    if (have_ < kLengthFieldSize) {
      return Read::more;
    }
    const std::uint32_t field = whole_ ? GetU32(out_, 0) : GetU32(head_, 0);
    if (field < kMinLengthField) {
      return Read::bad_length;
    }
    if (field > out_.size() - std::min(out_.size(), kLengthFieldSize)) {
      return Read::too_large;
    }
    need_ = kLengthFieldSize + field; // at least a header, so all of head_ fits
    if (!whole_) {
      std::copy_n(head_.begin(), have_, out_.begin());
    }
  }
  return have_ >= need_ ? Read::done : Read::more;
}

void EncodeFrame(std::uint8_t sender, std::uint8_t sequence, std::span<const std::uint8_t> packet,
                 std::vector<std::uint8_t> &out) {
  const std::array<std::uint8_t, kFramePrefix> prefix = {sender, sequence};
  std::array<std::uint8_t, kCrcSize> crc{};
  PutU32(crc, 0, Crc(Crc(0, prefix), packet));
  out.clear();
  out.reserve(packet.size() + packet.size() / 64 + 16);
  const auto put = [&out](std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) {
      if (byte == kEnd || byte == kEsc) {
        out.push_back(kEsc);
        out.push_back(byte == kEnd ? kEscEnd : kEscEsc);
      } else {
        out.push_back(byte);
      }
    }
  };
  out.push_back(kEnd); // ends whatever noise came before
  put(prefix);
  put(packet);
  put(crc);
  out.push_back(kEnd);
}

void FrameDecoder::Start() {
  prefix_ = 0;
  total_ = 0;
}

std::uint8_t FrameDecoder::At(std::size_t i) const {
  return i < out_.size() ? out_[i] : spill_[i - out_.size()];
}

// One decoded byte of the frame's content.
std::optional<Read> FrameDecoder::Put(std::uint8_t byte) {
  if (prefix_ == 0) {
    ++prefix_;
    sender_ = byte;
    if (byte != from_) {
      state_ = State::hunt; // our own frame echoed, or noise: not ours to judge
    }
    return std::nullopt;
  }
  if (prefix_ == 1) {
    ++prefix_;
    sequence_ = byte;
    if (expect_ && byte != *expect_) {
      state_ = State::hunt; // a late answer to an earlier request
    }
    return std::nullopt;
  }
  if (total_ < out_.size()) {
    out_[total_] = byte;
  } else if (total_ - out_.size() < kCrcSize) {
    spill_[total_ - out_.size()] = byte;
  } else {
    state_ = State::hunt;
    return Read::too_large;
  }
  ++total_;
  return std::nullopt;
}

// The frame's END arrived.
Read FrameDecoder::Finish() {
  if (total_ < kCrcSize) {
    return Read::bad_frame;
  }
  const std::size_t size = total_ - kCrcSize;
  const std::uint32_t sent = std::uint32_t{At(size)} << 24 | std::uint32_t{At(size + 1)} << 16 |
                             std::uint32_t{At(size + 2)} << 8 | At(size + 3);
  const std::array<std::uint8_t, kFramePrefix> prefix = {sender_, sequence_};
  if (prefix_ < kFramePrefix || Crc(Crc(0, prefix), out_.first(size)) != sent) {
    return Read::bad_frame;
  }
  // The length field must count exactly the bytes that came: a packet that
  // claims fewer would carry bytes nobody reads, one that claims more would
  // make a reader wait for bytes that never come.
  if (size < kHeaderSize || GetU32(out_, 0) != size - kLengthFieldSize) {
    return Read::bad_length;
  }
  size_ = size;
  return Read::done;
}

FrameDecoder::Step FrameDecoder::Feed(std::span<const std::uint8_t> in) {
  for (std::size_t i = 0; i < in.size(); ++i) {
    std::uint8_t byte = in[i];
    switch (state_) {
    case State::hunt:
      if (byte == kEnd) {
        state_ = State::idle;
      }
      continue;
    case State::idle:
      if (byte == kEnd) {
        continue; // an empty frame: nothing between two ENDs
      }
      Start();
      state_ = State::body;
      [[fallthrough]];
    case State::body:
      if (byte == kEnd) {
        state_ = State::idle;
        return {Finish(), i + 1};
      }
      if (byte == kEsc) {
        state_ = State::escaped;
        continue;
      }
      break;
    case State::escaped:
      if (byte != kEscEnd && byte != kEscEsc) {
        state_ = byte == kEnd ? State::idle : State::hunt;
        return {Read::bad_frame, i + 1};
      }
      byte = byte == kEscEnd ? kEnd : kEsc;
      state_ = State::body;
      break;
    }
    if (const auto fault = Put(byte)) {
      return {*fault, i + 1};
    }
  }
  return {Read::more, in.size()};
}

std::optional<NetAddress> ParseNetAddress(std::string_view text) {
  NetAddress address;
  std::string_view port;
  if (text.starts_with('[')) {
    const auto close = text.find("]:");
    if (close == std::string_view::npos || close == 1) {
      return std::nullopt;
    }
    address.host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 ||
        text.substr(0, colon).find(':') != std::string_view::npos) {
      return std::nullopt; // an IPv6 address needs its brackets
    }
    address.host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  unsigned number = 0;
  if (!ParseNumber(port, &number) || number > kMaxPort) {
    return std::nullopt;
  }
  address.port = std::to_string(number);
  return address;
}

std::optional<SerialAddress> ParseSerialAddress(std::string_view text) {
  const auto at = text.rfind('@');
  if (at == std::string_view::npos || at == 0) {
    return std::nullopt;
  }
  SerialAddress address{std::string(text.substr(0, at)), 0};
  if (!ParseNumber(text.substr(at + 1), &address.baud) ||
      std::find(kStandardRates.begin(), kStandardRates.end(), address.baud) ==
          kStandardRates.end()) {
    return std::nullopt;
  }
  return address;
}

} // namespace tavelo::link
