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
#include <optional>
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
    Known{ERROR_HANDLE_EOF, "The line ended: its other side is gone."},
    Known{kErrorGracefulDisconnect, "The camera closed the connection."},
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

// How long a line of `baud` takes to carry `bytes` (8N1: ten bits a byte).
Clock::duration LineByteTime(std::size_t bytes, unsigned baud) {
  return std::chrono::microseconds(bytes * kBitsPerByte * 1000000 / baud);
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
    if (damage == Damage::none || damage == Damage::drop) {
      return damage == Damage::none ? Write(packet, deadline) : S_OK;
    }
    wire_.assign(packet.begin(), packet.end());
    Spoil(wire_, damage);
    return Write(wire_, deadline);
  }

  HRESULT Receive(std::span<std::uint8_t> out, Clock::time_point deadline,
                  std::size_t *size) override {
    PacketReader reader(out, host_);
    for (;;) {
      std::size_t n = 0;
      const HRESULT hr =
          host_ ? ReadWaiting(reader.Want(), deadline, &n) : ReadSome(reader.Want(), deadline, &n);
      if (FAILED(hr)) {
        return hr;
      }
      if (const HRESULT got = Took(reader, n, size); got != S_FALSE) {
        return got;
      }
    }
  }

  HRESULT Poll(std::span<std::uint8_t> out, std::size_t *size) override {
    if (!reader_ || out.data() != readerOut_) {
      reader_.emplace(out);
      readerOut_ = out.data();
    }
    for (;;) {
      std::size_t n = 0;
      if (const HRESULT hr = ReadNow(reader_->Want(), &n); hr != S_OK) {
        return hr;
      }
      if (const HRESULT got = Took(*reader_, n, size); got != S_FALSE) {
        reader_.reset();
        return got;
      }
    }
  }

  bool Partial() const override { return reader_ && reader_->started(); }

private:
  // `n` bytes arrived for `reader`: S_FALSE while the packet is not whole.
  HRESULT Took(PacketReader &reader, std::size_t n, std::size_t *size) {
    if (n == 0) {
      return reader.started() ? Win(kWsaConnectionReset) : kClosed;
    }
    const Read read = reader.Got(n);
    if (read == Read::more) {
      return S_FALSE;
    }
    if (read != Read::done) {
      return FromReadResult(read);
    }
    outOfStep_ = outOfStep_ || reader.surplus();
    *size = reader.size();
    return S_OK;
  }

  bool host_;
  std::vector<std::uint8_t> wire_;     // a spoilt copy, for the daemon's faults
  std::optional<PacketReader> reader_; // the camera's request in progress
  const std::uint8_t *readerOut_ = nullptr;
};

class SerialChannel final : public Channel {
public:
  // A host starts its sequence anywhere, so that a late answer meant for an
  // earlier link on the same line is unlikely to match.
  SerialChannel(Fd fd, Role role, unsigned baud, SerialOptions options)
      : Channel(std::move(fd), false), host_(role == Role::host), baud_(baud), options_(options),
        sequence_(static_cast<std::uint8_t>(Clock::now().time_since_epoch().count() >> 10)) {}

  HRESULT Send(std::span<const std::uint8_t> packet, Clock::time_point deadline,
               Damage damage) override {
    if (host_) {
      ++sequence_;
    }
    EncodeFrame(host_ ? kFromHost : kFromCamera, sequence_, packet, frame_);
    if (!host_) {
      answered_ = true; // frame_ now answers a repeat of the request
    }
    if (damage == Damage::drop) {
      return S_OK;
    }
    if (damage == Damage::none) {
      return WriteFrame(frame_, deadline);
    }
    wire_ = frame_;
    Spoil(wire_, damage);
    return WriteFrame(wire_, deadline);
  }

  HRESULT Receive(std::span<std::uint8_t> out, Clock::time_point deadline,
                  std::size_t *size) override {
    if (!host_) {
      for (;;) {
        const HRESULT hr = Poll(out, size);
        if (hr != S_FALSE) {
          return hr;
        }
        if (const HRESULT filled = Fill(deadline); FAILED(filled)) {
          return filled;
        }
      }
    }
    const auto end = deadline + LineTime(MaxFrameSize(out.size()));
    FrameDecoder decoder(out, kFromCamera, sequence_);
    auto quiet = kFirstResend + LineTime(frame_.size()); // silence that calls for a resend
    auto lastSign = Clock::now();                        // of life: a send or a byte
    unsigned resends = 0;
    HRESULT fault = Win(kErrorTimeout);
    const auto resend = [&] {
      ++resends;
      decoder.Restart();
      lastSign = Clock::now();
      return WriteFrame(frame_, end);
    };
    for (;;) {
      if (begin_ == end_) {
        const auto now = Clock::now();
        if (now >= end) {
          return fault;
        }
        const bool canResend = resends < kMaxResends;
        if (canResend && now >= lastSign + quiet) {
          quiet *= 2; // a slow command is not asked again and again
          if (const HRESULT hr = resend(); FAILED(hr)) {
            return hr;
          }
          continue;
        }
        const HRESULT hr = Fill(canResend ? std::min(end, lastSign + quiet) : end);
        if (hr == Win(kErrorTimeout)) {
          continue;
        }
        if (hr != S_OK) {
          return hr;
        }
        lastSign = Clock::now();
      }
      const auto step = decoder.Feed(std::span(raw_).subspan(begin_, end_ - begin_));
      begin_ += step.used;
      if (step.read == Read::done) {
        *size = decoder.size();
        return S_OK;
      }
      if (step.read == Read::bad_length) {
        return FromReadResult(step.read); // arrived intact: the camera means it
      }
      if (step.read != Read::more) {
        fault = FromReadResult(step.read); // damaged on the way: ask again
        if (resends < kMaxResends) {
          if (const HRESULT hr = resend(); FAILED(hr)) {
            return hr;
          }
        }
      }
    }
  }

  HRESULT Poll(std::span<std::uint8_t> out, std::size_t *size) override {
    if (!decoder_ || out.data() != decoderOut_) {
      decoder_.emplace(out, kFromHost);
      decoderOut_ = out.data();
    }
    for (;;) {
      if (begin_ == end_) {
        if (const HRESULT hr = Fill(); hr != S_OK) {
          return hr;
        }
      }
      if (consumed_ == 0) {
        firstByte_ = Clock::now();
      }
      const auto step = decoder_->Feed(std::span(raw_).subspan(begin_, end_ - begin_));
      begin_ += step.used;
      consumed_ += step.used;
      if (step.read == Read::more) {
        continue;
      }
      if (options_.pace != 0) {
        std::this_thread::sleep_until(firstByte_ + PacedTime(consumed_));
      }
      consumed_ = 0;
      if (step.read != Read::done) {
        return FromReadResult(step.read);
      }
      const auto request = out.first(decoder_->size());
      const std::uint32_t check = Crc(0, request);
      if (answered_ && decoder_->sequence() == sequence_ && check == requestCheck_) {
        // The host did not get our answer: the same again, without running
        // the command twice.
        if (const HRESULT hr = WriteFrame(frame_, Clock::now() + LinkTimeout()); FAILED(hr)) {
          return hr;
        }
        continue;
      }
      sequence_ = decoder_->sequence();
      requestCheck_ = check;
      answered_ = false;
      *size = request.size();
      return S_OK;
    }
  }

  bool Partial() const override { return decoder_ && decoder_->inside(); }
  bool Buffered() const override { return begin_ != end_; }

private:
  static constexpr auto kFirstResend = std::chrono::milliseconds(300);
  static constexpr unsigned kMaxResends = 16;

  // How long a line of `baud` takes to carry `bytes`.
  Clock::duration LineTime(std::size_t bytes) const { return LineByteTime(bytes, baud_); }
  Clock::duration PacedTime(std::size_t bytes) const { return LineByteTime(bytes, options_.pace); }

  // Reads what has arrived into raw_: S_OK, S_FALSE when nothing has,
  // kEndOfData when the other side is gone. Given a deadline, waits for
  // bytes until then (the timeout error when none came): the wait is the
  // system's read, since a Windows port can only wait in a read.
  HRESULT Fill(std::optional<Clock::time_point> deadline = std::nullopt) {
    std::size_t n = 0;
    begin_ = end_ = 0;
    if (const HRESULT hr = deadline ? ReadSome(raw_, *deadline, &n) : ReadNow(raw_, &n);
        hr != S_OK) {
      return hr;
    }
    if (n == 0) {
      return kEndOfData;
    }
    Noise(std::span(raw_).first(n));
    end_ = n;
    return S_OK;
  }

  // The noisy-line switch: flips one bit of every flipEvery-th byte.
  void Noise(std::span<std::uint8_t> bytes) {
    if (options_.flipEvery == 0) {
      return;
    }
    for (std::uint8_t &byte : bytes) {
      if (++noiseCount_ == options_.flipEvery) {
        noiseCount_ = 0;
        byte ^= static_cast<std::uint8_t>(1U << (noiseBit_++ % 8));
      }
    }
  }

  // Writes a frame, paced like a real line when asked to.
  HRESULT WriteFrame(std::span<const std::uint8_t> frame, Clock::time_point deadline) {
    if (options_.flipEvery != 0) {
      noisy_.assign(frame.begin(), frame.end());
      Noise(noisy_);
      frame = noisy_;
    }
    if (options_.pace == 0) {
      return Write(frame, deadline + LineTime(frame.size()));
    }
    const auto start = Clock::now();
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

  bool host_;
  unsigned baud_;
  SerialOptions options_;
  std::uint8_t sequence_ = 0;       // the host's last request, or the request being answered
  std::vector<std::uint8_t> frame_; // the last frame sent, to send again
  std::vector<std::uint8_t> wire_;  // a spoilt copy, for the daemon's faults
  std::vector<std::uint8_t> noisy_;
  std::array<std::uint8_t, kSerialChunk> raw_{};
  std::size_t begin_ = 0; // received bytes not decoded yet
  std::size_t end_ = 0;
  // The camera side.
  std::optional<FrameDecoder> decoder_; // the request in progress
  const std::uint8_t *decoderOut_ = nullptr;
  std::size_t consumed_ = 0; // line bytes of that request, for pacing
  Clock::time_point firstByte_;
  bool answered_ = false;          // frame_ answers the request of sequence_
  std::uint32_t requestCheck_ = 0; // CRC of that request, to tell a repeat
  unsigned noiseCount_ = 0;
  unsigned noiseBit_ = 0;
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

std::unique_ptr<Channel> MakeSerialChannel(Fd fd, Role role, unsigned baud, SerialOptions options) {
  return std::make_unique<SerialChannel>(std::move(fd), role, baud, options);
}

} // namespace tavelo::link
