#include "link.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <zlib.h>

namespace tavelo::link {

namespace {

constexpr std::chrono::milliseconds kDefaultTimeout{10000};
constexpr int kListenBacklog = 4;
constexpr int kKeepIdleSeconds = 30; // a silent peer is probed after this
constexpr int kKeepIntervalSeconds = 10;
constexpr int kKeepProbes = 3;
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

HRESULT FromResolver(int error) {
  switch (error) {
  case EAI_NONAME:
  case EAI_NODATA:
  case EAI_FAMILY:
    return Win(kWsaHostNotFound);
  case EAI_AGAIN:
    return Win(kWsaTryAgain);
  case EAI_SYSTEM:
    return FromErrno(errno);
  default:
    return Win(kErrorGenFailure);
  }
}

// Waits until `fd` is ready for `events` or the deadline passes.
HRESULT Wait(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return Win(kErrorTimeout);
    }
    pollfd p{fd, events, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
    if (ready > 0) {
      return S_OK;
    }
    if (ready < 0 && errno != EINTR) {
      return FromErrno(errno);
    }
  }
}

std::string Text(const sockaddr *address, socklen_t size) {
  std::array<char, NI_MAXHOST> host{};
  std::array<char, NI_MAXSERV> port{};
  if (getnameinfo(address, size, host.data(), host.size(), port.data(), port.size(),
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  const std::string name = host.data();
  return (name.find(':') != std::string::npos ? "[" + name + "]" : name) + ":" + port.data();
}

void SetOption(int fd, int level, int option, int value) {
  setsockopt(fd, level, option, &value, sizeof value); // best effort
}

void TuneConnection(int fd) {
  SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1); // one packet, one segment, no waiting
  SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleSeconds);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalSeconds);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepProbes);
}

struct AddressList {
  addrinfo *first = nullptr;
  ~AddressList() {
    if (first != nullptr) {
      freeaddrinfo(first);
    }
  }
};

HRESULT Resolve(const NetAddress &address, bool passive, AddressList *list) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  const int error = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &list->first);
  return error == 0 ? S_OK : FromResolver(error);
}

speed_t Speed(unsigned baud) {
  constexpr std::array<std::pair<unsigned, speed_t>, 22> kSpeeds = {{
      {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
      {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},
      {38400, B38400},     {57600, B57600},     {115200, B115200},   {230400, B230400},
      {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
      {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
      {3000000, B3000000}, {4000000, B4000000},
  }};
  for (const auto &[rate, speed] : kSpeeds) {
    if (rate == baud) {
      return speed;
    }
  }
  return B0;
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
      // Sends still never block (MSG_DONTWAIT); reads wait in the read.
      fcntl(this->fd(), F_SETFL, fcntl(this->fd(), F_GETFL) & ~O_NONBLOCK);
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
        if (const HRESULT waited = Wait(fd(), POLLIN, deadline); FAILED(waited)) {
          return waited;
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
        const HRESULT hr = Wait(fd(), POLLIN, canResend ? std::min(end, lastSign + quiet) : end);
        if (hr == Win(kErrorTimeout)) {
          continue;
        }
        if (FAILED(hr)) {
          return hr;
        }
        if (const HRESULT got = Fill(); got != S_OK) {
          if (got == S_FALSE) {
            continue; // woken for nothing
          }
          return got;
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

  static std::uint32_t Crc(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint32_t>(crc32_z(crc, bytes.data(), bytes.size()));
  }
  // How long a line of `baud` takes to carry `bytes`.
  Clock::duration LineTime(std::size_t bytes) const { return LineByteTime(bytes, baud_); }
  Clock::duration PacedTime(std::size_t bytes) const { return LineByteTime(bytes, options_.pace); }

  // Reads what has arrived into raw_: S_OK, S_FALSE when nothing has,
  // kEndOfData when the other side is gone.
  HRESULT Fill() {
    std::size_t n = 0;
    begin_ = end_ = 0;
    if (const HRESULT hr = ReadNow(raw_, &n); hr != S_OK) {
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

HRESULT FromErrno(int error) {
  switch (error) {
  case ENOENT:
  case ENODEV:
  case ENXIO:
    return Win(ERROR_FILE_NOT_FOUND);
  case EACCES:
  case EPERM:
    return Win(ERROR_ACCESS_DENIED);
  case EBUSY:
  case EWOULDBLOCK:
    return Win(ERROR_SHARING_VIOLATION);
  case ENOTTY:
    return Win(ERROR_NOT_SUPPORTED);
  case EIO:
    return Win(kErrorIoDevice);
  case ECONNREFUSED:
    return Win(kWsaRefused);
  case ETIMEDOUT:
    return Win(kWsaTimedOut);
  case EHOSTUNREACH:
    return Win(kWsaHostUnreachable);
  case ENETUNREACH:
    return Win(kWsaNetUnreachable);
  case ECONNRESET:
  case EPIPE:
    return Win(kWsaConnectionReset);
  case EADDRINUSE:
    return Win(kWsaAddressInUse);
  case EADDRNOTAVAIL:
    return Win(kWsaAddressUnknown);
  default:
    return Win(kErrorGenFailure);
  }
}

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
    Fd old(std::exchange(fd_, other.release()));
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

int Fd::release() {
  return std::exchange(fd_, -1);
}

HRESULT ConnectTcp(const NetAddress &address, std::chrono::milliseconds timeout, Fd *fd) {
  AddressList list;
  if (const HRESULT hr = Resolve(address, false, &list); FAILED(hr)) {
    return hr;
  }
  const auto deadline = Clock::now() + timeout;
  HRESULT last = Win(kWsaHostNotFound);
  std::size_t left = 0;
  for (const addrinfo *a = list.first; a != nullptr; a = a->ai_next) {
    ++left;
  }
  // Every address gets its own share of what is left of the time, so one
  // that swallows packets (an IPv6 route that goes nowhere) cannot use up
  // the time of the next.
  for (const addrinfo *a = list.first; a != nullptr; a = a->ai_next, --left) {
    Fd s(socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!s) {
      last = FromErrno(errno);
      continue;
    }
    if (connect(s.get(), a->ai_addr, a->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        last = FromErrno(errno);
        continue;
      }
      const auto share = (deadline - Clock::now()) / static_cast<int>(left);
      if (HRESULT hr = Wait(s.get(), POLLOUT, Clock::now() + share); FAILED(hr)) {
        last = Win(kWsaTimedOut);
        continue;
      }
      int error = 0;
      socklen_t size = sizeof error;
      getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &error, &size);
      if (error != 0) {
        last = FromErrno(error);
        continue;
      }
    }
    TuneConnection(s.get());
    *fd = std::move(s);
    return S_OK;
  }
  return last;
}

HRESULT ListenTcp(const NetAddress &address, Fd *fd, std::string *bound) {
  AddressList list;
  if (const HRESULT hr = Resolve(address, true, &list); FAILED(hr)) {
    return hr;
  }
  HRESULT last = Win(kWsaAddressUnknown);
  for (const addrinfo *a = list.first; a != nullptr; a = a->ai_next) {
    Fd s(socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!s) {
      last = FromErrno(errno);
      continue;
    }
    SetOption(s.get(), SOL_SOCKET, SO_REUSEADDR, 1); // a restarted daemon gets its port back
    if (bind(s.get(), a->ai_addr, a->ai_addrlen) != 0 || listen(s.get(), kListenBacklog) != 0) {
      last = FromErrno(errno);
      continue;
    }
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    getsockname(s.get(), reinterpret_cast<sockaddr *>(&local), &size);
    *bound = Text(reinterpret_cast<sockaddr *>(&local), size);
    *fd = std::move(s);
    return S_OK;
  }
  return last;
}

HRESULT AcceptTcp(int listener, Fd *fd, std::string *peer) {
  sockaddr_storage remote{};
  socklen_t size = sizeof remote;
  Fd s(accept4(listener, reinterpret_cast<sockaddr *>(&remote), &size,
               SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!s) {
    return FromErrno(errno);
  }
  *peer = Text(reinterpret_cast<sockaddr *>(&remote), size);
  TuneConnection(s.get());
  *fd = std::move(s);
  return S_OK;
}

HRESULT MakeRawLine(int fd, unsigned baud) {
  termios line{};
  if (tcgetattr(fd, &line) != 0) {
    return FromErrno(errno);
  }
  cfmakeraw(&line);
  line.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
  line.c_cflag |= CS8 | CLOCAL | CREAD;
  line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  line.c_cc[VMIN] = 1;
  line.c_cc[VTIME] = 0;
  const speed_t speed = Speed(baud);
  if (speed == B0) {
    return Win(ERROR_INVALID_PARAMETER);
  }
  if (cfsetispeed(&line, speed) != 0 || cfsetospeed(&line, speed) != 0 ||
      tcsetattr(fd, TCSANOW, &line) != 0) {
    return FromErrno(errno);
  }
  tcflush(fd, TCIOFLUSH); // whatever an earlier user left behind
  return S_OK;
}

HRESULT OpenSerial(const SerialAddress &address, Fd *fd) {
  Fd line(open(address.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!line) {
    return FromErrno(errno);
  }
  // One host per line: two programs framing on one line would corrupt both.
  if (flock(line.get(), LOCK_EX | LOCK_NB) != 0) {
    return FromErrno(errno);
  }
  if (const HRESULT hr = MakeRawLine(line.get(), address.baud); FAILED(hr)) {
    return hr;
  }
  *fd = std::move(line);
  return S_OK;
}

HRESULT Channel::Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    const ssize_t n = socket_
                          ? send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT)
                          : write(fd_.get(), bytes.data(), bytes.size());
    if (n >= 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return FromErrno(errno);
    }
    if (const HRESULT hr = Wait(fd_.get(), POLLOUT, deadline); FAILED(hr)) {
      return hr;
    }
  }
  return S_OK;
}

HRESULT Channel::ReadSome(std::span<std::uint8_t> out, Clock::time_point deadline, std::size_t *n) {
  for (;;) {
    const ssize_t got = read(fd_.get(), out.data(), out.size());
    if (got >= 0) {
      *n = static_cast<std::size_t>(got);
      return S_OK;
    }
    if (errno == EIO && !socket_) {
      *n = 0; // a pseudo-terminal whose other side is gone
      return S_OK;
    }
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return FromErrno(errno);
    }
    if (errno != EINTR) {
      if (const HRESULT hr = Wait(fd_.get(), POLLIN, deadline); FAILED(hr)) {
        return hr;
      }
    }
  }
}

HRESULT Channel::ReadNow(std::span<std::uint8_t> out, std::size_t *n) {
  for (;;) {
    const ssize_t got = socket_ ? recv(fd_.get(), out.data(), out.size(), MSG_DONTWAIT)
                                : read(fd_.get(), out.data(), out.size());
    if (got >= 0) {
      *n = static_cast<std::size_t>(got);
      return S_OK;
    }
    if (errno == EIO && !socket_) {
      *n = 0; // a pseudo-terminal whose other side is gone
      return S_OK;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return S_FALSE;
    }
    if (errno != EINTR) {
      return FromErrno(errno);
    }
  }
}

HRESULT Channel::ReadWaiting(std::span<std::uint8_t> out, Clock::time_point deadline,
                             std::size_t *n) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return Win(kErrorTimeout);
    }
    // The timeout set on the socket is reused while it stays close to what
    // is left (at most 1/64 more, at least half), so a steady exchange costs
    // no extra system call and the deadline is kept to within 1/64.
    if (receiveTimeout_.count() == 0 || receiveTimeout_ > left + left / 64 ||
        receiveTimeout_ < left / 2) {
      timeval limit{static_cast<time_t>(left.count() / 1000000),
                    static_cast<suseconds_t>(left.count() % 1000000)};
      if (setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        return FromErrno(errno);
      }
      receiveTimeout_ = left;
    }
    const ssize_t got = recv(fd_.get(), out.data(), out.size(), 0);
    if (got >= 0) {
      *n = static_cast<std::size_t>(got);
      return S_OK;
    }
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return FromErrno(errno);
    }
  }
}

bool Channel::Stale() const {
  if (outOfStep_) {
    return true;
  }
  std::uint8_t byte = 0;
  if (socket_) {
    const ssize_t n = recv(fd_.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
  }
  pollfd p{fd_.get(), POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

std::unique_ptr<Channel> MakeTcpChannel(Fd fd, Role role) {
  return std::make_unique<TcpChannel>(std::move(fd), role);
}

std::unique_ptr<Channel> MakeSerialChannel(Fd fd, Role role, unsigned baud, SerialOptions options) {
  return std::make_unique<SerialChannel>(std::move(fd), role, baud, options);
}

} // namespace tavelo::link
