// What the links share on every system: the packet and frame exchange over
// a channel, the error texts and the timeout. The system's own I/O (opening
// sockets and lines, reading, writing, waiting) is in link_posix.cpp and
// link_win32.cpp.
#include "link.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

namespace tavelo::link {

namespace {

constexpr std::chrono::milliseconds kDefaultTimeout{10000};
constexpr unsigned kBitsPerByte = 10; // 8N1: start, eight data bits, stop
constexpr std::size_t kSerialChunk = 4096;
constexpr std::size_t kPacedPiece = 64; // bytes per paced write: 5.6 ms at 115200 baud

struct Known {
  DWORD error;
  const char *text;
};
constexpr std::array kTexts = {
    Known{ERROR_FILE_NOT_FOUND, "The device does not exist."},
    Known{ERROR_ACCESS_DENIED, "Access is denied."},
    Known{ERROR_INVALID_DATA, "The camera sent a packet with an impossible length."},
    Known{kErrorCrc, "A frame from the camera arrived damaged (CRC error)."},
    Known{kErrorGenFailure, "The link failed."},
    Known{ERROR_SHARING_VIOLATION, "The device is in use by another program."},
    Known{ERROR_HANDLE_EOF, "The peer closed the link."},
    Known{ERROR_NOT_SUPPORTED, "The device is not a serial line."},
    Known{ERROR_INVALID_PARAMETER, "The device identifier is not valid."},
    Known{ERROR_INSUFFICIENT_BUFFER, "The camera's answer does not fit the buffer."},
    Known{kErrorIoDevice, "The device reported an input/output error."},
    Known{kErrorTimeout, "The camera did not answer in time."},
    Known{kWsaAccess, "Permission denied."},
    Known{kWsaAddressInUse, "The address is already in use."},
    Known{kWsaAddressUnknown, "The address is not valid on this machine."},
    Known{kWsaNetUnreachable, "The network cannot be reached."},
    Known{kWsaConnectionReset, "The connection was closed in the middle of a packet."},
    Known{kWsaTimedOut, "The connection attempt timed out."},
    Known{kWsaRefused, "The connection was refused: nothing listens at that address."},
    Known{kWsaHostUnreachable, "The host cannot be reached."},
    Known{kWsaHostNotFound, "The host name is not known."},
    Known{kWsaTryAgain, "The host name cannot be looked up right now."},
};

HRESULT Win(DWORD error) {
  return HRESULT_FROM_WIN32(error);
}

HRESULT FromReadResult(Read read) {
  switch (read) {
  case Read::bad_length:
    return Win(ERROR_INVALID_DATA);
  case Read::too_large:
    return Win(ERROR_INSUFFICIENT_BUFFER);
  default:
    return Win(kErrorCrc);
  }
}

// Spoils bytes on the wire. A cut serial frame still ends, and a flipped
// bit never makes or unmakes a SLIP byte, so each fault stays one fault.
void Spoil(std::vector<std::uint8_t> &wire, Damage damage) {
  const auto special = [](std::uint8_t b) { return b == kEnd || b == kEsc; };
  if (damage == Damage::cut) {
    const bool framed = !wire.empty() && wire.back() == kEnd;
    wire.resize(wire.size() / 2);
    if (framed) {
      wire.push_back(kEnd);
    }
  } else if (damage == Damage::flip) {
    for (std::size_t i = wire.size() / 2; i < wire.size(); ++i) {
      const auto flipped = static_cast<std::uint8_t>(wire[i] ^ 0x01);
      if (!special(wire[i]) && !special(flipped)) {
        wire[i] = flipped;
        return;
      }
    }
  }
}

class TcpChannel final : public Channel {
public:
  TcpChannel(Fd fd, Role role) : Channel(std::move(fd), true), host_(role == Role::host) {
    if (host_) {
      WaitInReads();
    }
  }

  HRESULT Send(std::span<const std::uint8_t> packet, Clock::time_point deadline,
               Damage damage) override {
    if (damage == Damage::none) {
      return Write(packet, deadline);
    }
    wire_.assign(packet.begin(), packet.end());
    Spoil(wire_, damage);
    return Write(wire_, deadline);
  }

  HRESULT Receive(std::span<std::uint8_t> out, Clock::time_point deadline,
                  std::size_t *size) override {
    PacketReader reader(out, host_);
    bool started = false;
    for (;;) {
      std::size_t n = 0;
      const HRESULT hr =
          host_ ? ReadWaiting(reader.Want(), deadline, &n) : ReadSome(reader.Want(), deadline, &n);
      if (FAILED(hr)) {
        return hr;
      }
      if (n == 0) {
        return started ? Win(kWsaConnectionReset) : kClosed;
      }
      started = true;
      const Read read = reader.Got(n);
      if (read == Read::done) {
        outOfStep_ = outOfStep_ || reader.surplus();
        *size = reader.size();
        return S_OK;
      }
      if (read != Read::more) {
        return FromReadResult(read);
      }
    }
  }

private:
  bool host_;
  std::vector<std::uint8_t> wire_; // a spoilt copy, for the daemon's faults
};

class SerialChannel final : public Channel {
public:
  // A host starts its sequence anywhere, so that a late answer meant for an
  // earlier link on the same line is unlikely to match.
  SerialChannel(Fd fd, Role role, unsigned baud, unsigned pace)
      : Channel(std::move(fd), false), role_(role), baud_(baud), pace_(pace),
        sequence_(static_cast<std::uint8_t>(Clock::now().time_since_epoch().count() >> 10)) {}

  HRESULT Send(std::span<const std::uint8_t> packet, Clock::time_point deadline,
               Damage damage) override {
    if (role_ == Role::host) {
      ++sequence_;
    }
    EncodeFrame(sequence_, packet, frame_);
    Spoil(frame_, damage);
    if (pace_ == 0) {
      return Write(frame_, deadline + LineTime(frame_.size()));
    }
    const auto start = Clock::now();
    const std::span<const std::uint8_t> frame(frame_);
    for (std::size_t at = 0; at < frame.size(); at += kPacedPiece) {
      const std::size_t end = std::min(frame.size(), at + kPacedPiece);
      std::this_thread::sleep_until(start + PacedTime(end));
      if (const HRESULT hr = Write(frame.subspan(at, end - at), deadline + PacedTime(end));
          FAILED(hr)) {
        return hr;
      }
    }
    return S_OK;
  }

  HRESULT Receive(std::span<std::uint8_t> out, Clock::time_point deadline,
                  std::size_t *size) override {
    FrameDecoder decoder(out, role_ == Role::host ? std::optional(sequence_) : std::nullopt);
    std::size_t consumed = 0; // line bytes of this packet, for pacing
    auto firstByte = Clock::now();
    for (;;) {
      if (begin_ == end_) {
        std::size_t n = 0;
        begin_ = end_ = 0;
        if (const HRESULT hr = ReadSome(raw_, deadline, &n); FAILED(hr)) {
          return hr;
        }
        if (n == 0) {
          return kClosed;
        }
        end_ = n;
        deadline += LineTime(n); // a slow line may take its time, but no more
      }
      if (consumed == 0) {
        firstByte = Clock::now();
      }
      const auto step = decoder.Feed(std::span(raw_).subspan(begin_, end_ - begin_));
      begin_ += step.used;
      consumed += step.used;
      if (step.read == Read::done) {
        sequence_ = decoder.sequence();
        *size = decoder.size();
        if (pace_ != 0) {
          std::this_thread::sleep_until(firstByte + PacedTime(consumed));
        }
        return S_OK;
      }
      if (step.read != Read::more) {
        return FromReadResult(step.read);
      }
    }
  }

  bool Buffered() const override { return begin_ != end_; }

private:
  // How long a line of `baud` takes to carry `bytes`.
  static Clock::duration ByteTime(std::size_t bytes, unsigned baud) {
    return std::chrono::microseconds(bytes * kBitsPerByte * 1000000 / baud);
  }
  Clock::duration LineTime(std::size_t bytes) const { return ByteTime(bytes, baud_); }
  Clock::duration PacedTime(std::size_t bytes) const { return ByteTime(bytes, pace_); }

  Role role_;
  unsigned baud_;
  unsigned pace_;             // 0, or the line rate bytes are held to
  std::uint8_t sequence_ = 0; // the host's last request, or the request being answered
  std::vector<std::uint8_t> frame_;
  std::array<std::uint8_t, kSerialChunk> raw_{};
  std::size_t begin_ = 0; // received bytes not decoded yet
  std::size_t end_ = 0;
};

} // namespace

std::string ErrorText(HRESULT result) {
  for (const Known &known : kTexts) {
    if (result == Win(known.error)) {
      return known.text;
    }
  }
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "Error 0x%08X.", static_cast<unsigned>(result));
  return text.data();
}

std::chrono::milliseconds LinkTimeout() {
  const char *text = std::getenv("TAVELO_LINK_TIMEOUT_MS");
  unsigned long value = 0;
  if (text == nullptr || std::from_chars(text, text + std::strlen(text), value).ec != std::errc{} ||
      value == 0) {
    return kDefaultTimeout;
  }
  return std::chrono::milliseconds(value);
}

Fd &Fd::operator=(Fd &&other) noexcept {
  if (this != &other) {
    const bool socket = std::exchange(socket_, other.socket_);
    Fd old(std::exchange(fd_, other.release()), socket);
  }
  return *this;
}

Native Fd::release() {
  return std::exchange(fd_, kNoNative);
}

std::unique_ptr<Channel> MakeTcpChannel(Fd fd, Role role) {
  return std::make_unique<TcpChannel>(std::move(fd), role);
}

std::unique_ptr<Channel> MakeSerialChannel(Fd fd, Role role, unsigned baud, unsigned pace) {
  return std::make_unique<SerialChannel>(std::move(fd), role, baud, pace);
}

} // namespace tavelo::link
