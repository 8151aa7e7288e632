// The links' POSIX side: sockets and serial lines as file descriptors,
// waits with poll, errors mapped from errno to the Windows numbers.
#include "link.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace tavelo::link {

namespace {

HRESULT Win(DWORD error) {
  return HRESULT_FROM_WIN32(error);
}

constexpr int kListenBacklog = 4;
constexpr int kKeepIdleSeconds = 30; // a silent peer is probed after this
constexpr int kKeepIntervalSeconds = 10;
constexpr int kKeepProbes = 3;
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

Fd::~Fd() {
  if (fd_ >= 0) {
    close(fd_);
  }
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

HRESULT AcceptTcp(Native listener, Fd *fd, std::string *peer) {
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

HRESULT MakeRawLine(Native fd, unsigned baud) {
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

void Channel::WaitInReads() {
  // Sends still never block (MSG_DONTWAIT); reads wait in the read.
  fcntl(fd(), F_SETFL, fcntl(fd(), F_GETFL) & ~O_NONBLOCK);
}

} // namespace tavelo::link
