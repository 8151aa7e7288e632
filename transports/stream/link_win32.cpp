// The links' Windows side: TCP through Windows Sockets (non-blocking sockets,
// waits with select) and serial lines through the communications API (a COM
// port's handle, its DCB and COMMTIMEOUTS). Errors are the system's own
// numbers, which the shared texts already know.
#include "link.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <memory>

namespace tavelo::link {

namespace {

HRESULT Win(DWORD error) {
  return HRESULT_FROM_WIN32(error);
}

HRESULT LastSocketError() {
  return Win(static_cast<DWORD>(WSAGetLastError()));
}

SOCKET Socket(Native fd) {
  return static_cast<SOCKET>(fd);
}

HANDLE Line(Native fd) {
  return reinterpret_cast<HANDLE>(fd);
}

constexpr DWORD kReadSliceMs = 10; // the longest wait of one serial read

// Milliseconds left until `deadline`, at least 1 while any is left, 0 after.
DWORD Left(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(left, 1 << 30));
}

// Windows Sockets once per process; it stays started until the process ends,
// since sockets of other modules may use it too.
bool SocketsStarted() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

// Waits until the socket can be written (or a connect finished, either way)
// or read, or the deadline passes.
HRESULT Wait(SOCKET s, bool write, Clock::time_point deadline) {
  for (;;) {
    const DWORD left = Left(deadline);
    if (left == 0) {
      return Win(kErrorTimeout);
    }
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval limit{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
    const int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &limit);
    if (n > 0) {
      return S_OK;
    }
    if (n == SOCKET_ERROR) {
      return LastSocketError();
    }
  }
}

void SetOption(SOCKET s, int level, int option, BOOL value) {
  setsockopt(s, level, option, reinterpret_cast<const char *>(&value), sizeof value);
}

// Read and write timeouts of a serial line: a read returns as soon as bytes
// are there, or empty after `read` ms (0: at once, with what the port
// holds); a write takes at most `write` ms.
bool SetLineTimeouts(HANDLE line, DWORD read, DWORD write) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = read == 0 ? 0 : MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = read;
  timeouts.WriteTotalTimeoutConstant = write;
  return SetCommTimeouts(line, &timeouts) != 0;
}

} // namespace

Fd::~Fd() {
  if (fd_ == kNoNative) {
    return;
  }
  if (socket_) {
    closesocket(Socket(fd_));
  } else {
    CloseHandle(Line(fd_));
  }
}

HRESULT ConnectTcp(const NetAddress &address, std::chrono::milliseconds timeout, Fd *fd) {
  if (!SocketsStarted()) {
    return Win(kErrorGenFailure);
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *list = nullptr;
  if (const int error = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &list);
      error != 0) {
    return Win(static_cast<DWORD>(error)); // WSAHOST_NOT_FOUND and the like
  }
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(list, &freeaddrinfo);
  const auto deadline = Clock::now() + timeout;
  HRESULT last = Win(kWsaHostNotFound);
  std::size_t left = 0;
  for (const addrinfo *a = list; a != nullptr; a = a->ai_next) {
    ++left;
  }
  // Every address gets its own share of what is left of the time, so one
  // that swallows packets cannot use up the time of the next.
  for (const addrinfo *a = list; a != nullptr; a = a->ai_next, --left) {
    Fd s(static_cast<Native>(socket(a->ai_family, a->ai_socktype, a->ai_protocol)), true);
    if (!s) {
      last = LastSocketError();
      continue;
    }
    u_long nonBlocking = 1;
    ioctlsocket(Socket(s.get()), FIONBIO, &nonBlocking);
    if (connect(Socket(s.get()), a->ai_addr, static_cast<int>(a->ai_addrlen)) == SOCKET_ERROR) {
      if (WSAGetLastError() != WSAEWOULDBLOCK) {
        last = LastSocketError();
        continue;
      }
      const auto share = (deadline - Clock::now()) / static_cast<int>(left);
      if (FAILED(Wait(Socket(s.get()), true, Clock::now() + share))) {
        last = Win(kWsaTimedOut);
        continue;
      }
      int error = 0;
      int size = sizeof error;
      getsockopt(Socket(s.get()), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &size);
      if (error != 0) {
        last = Win(static_cast<DWORD>(error));
        continue;
      }
    }
    SetOption(Socket(s.get()), IPPROTO_TCP, TCP_NODELAY, TRUE); // one packet, one segment
    SetOption(Socket(s.get()), SOL_SOCKET, SO_KEEPALIVE, TRUE);
    *fd = std::move(s);
    return S_OK;
  }
  return last;
}

HRESULT OpenSerial(const SerialAddress &address, Fd *fd) {
  // "COM10" and above are only reachable through the device namespace.
  const std::string path =
      address.device.starts_with("\\\\") ? address.device : "\\\\.\\" + address.device;
  // No sharing: one host per line, two programs framing on one line would
  // corrupt both.
  Fd line(reinterpret_cast<Native>(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                               nullptr, OPEN_EXISTING, 0, nullptr)),
          false);
  if (!line) {
    return Win(GetLastError());
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(Line(line.get()), &dcb)) {
    return Win(ERROR_NOT_SUPPORTED);
  }
  dcb.BaudRate = address.baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  if (!SetCommState(Line(line.get()), &dcb)) {
    return Win(GetLastError());
  }
  PurgeComm(Line(line.get()), PURGE_RXCLEAR | PURGE_TXCLEAR); // what an earlier user left
  *fd = std::move(line);
  return S_OK;
}

HRESULT Channel::Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD n = 0;
    if (socket_) {
      const int sent =
          send(Socket(fd_.get()), reinterpret_cast<const char *>(bytes.data()), want, 0);
      if (sent == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
          return LastSocketError();
        }
        if (const HRESULT hr = Wait(Socket(fd_.get()), true, deadline); FAILED(hr)) {
          return hr;
        }
        continue;
      }
      n = static_cast<DWORD>(sent);
    } else {
      const DWORD left = Left(deadline);
      if (left == 0) {
        return Win(kErrorTimeout);
      }
      if (!SetLineTimeouts(Line(fd_.get()), left, left) ||
          !WriteFile(Line(fd_.get()), bytes.data(), want, &n, nullptr)) {
        return Win(GetLastError());
      }
    }
    bytes = bytes.subspan(n);
  }
  return S_OK;
}

HRESULT Channel::ReadSome(std::span<std::uint8_t> out, Clock::time_point deadline, std::size_t *n) {
  const int want = static_cast<int>(std::min<std::size_t>(out.size(), 1u << 30));
  for (;;) {
    if (socket_) {
      const int got = recv(Socket(fd_.get()), reinterpret_cast<char *>(out.data()), want, 0);
      if (got != SOCKET_ERROR) {
        *n = static_cast<std::size_t>(got);
        return S_OK;
      }
      if (WSAGetLastError() != WSAEWOULDBLOCK) {
        return LastSocketError();
      }
      if (const HRESULT hr = Wait(Socket(fd_.get()), false, deadline); FAILED(hr)) {
        return hr;
      }
      continue;
    }
    // A serial read returns as soon as bytes are there, or empty after a
    // short slice, and is tried again until the deadline. Short slices
    // because Wine does not end a read of this kind when bytes arrive: one
    // waiting for the whole time left never returned there.
    const DWORD left = Left(deadline);
    if (left == 0) {
      return Win(kErrorTimeout);
    }
    DWORD got = 0;
    if (!SetLineTimeouts(Line(fd_.get()), std::min(left, kReadSliceMs), left) ||
        !ReadFile(Line(fd_.get()), out.data(), static_cast<DWORD>(want), &got, nullptr)) {
      return Win(GetLastError());
    }
    if (got > 0) {
      *n = got;
      return S_OK;
    }
  }
}

HRESULT Channel::ReadNow(std::span<std::uint8_t> out, std::size_t *n) {
  const int want = static_cast<int>(std::min<std::size_t>(out.size(), 1u << 30));
  if (socket_) {
    const int got = recv(Socket(fd_.get()), reinterpret_cast<char *>(out.data()), want, 0);
    if (got != SOCKET_ERROR) {
      *n = static_cast<std::size_t>(got);
      return S_OK;
    }
    return WSAGetLastError() == WSAEWOULDBLOCK ? S_FALSE : LastSocketError();
  }
  // A port has no end of data: a read that finds nothing is only nothing yet.
  DWORD got = 0;
  if (!SetLineTimeouts(Line(fd_.get()), 0, 0) ||
      !ReadFile(Line(fd_.get()), out.data(), static_cast<DWORD>(want), &got, nullptr)) {
    return Win(GetLastError());
  }
  *n = got;
  return got == 0 ? S_FALSE : S_OK;
}

// Sockets stay non-blocking here: a wait in select and one read cost the same
// as a read with a receive timeout.
HRESULT Channel::ReadWaiting(std::span<std::uint8_t> out, Clock::time_point deadline,
                             std::size_t *n) {
  return ReadSome(out, deadline, n);
}

void Channel::WaitInReads() {}

bool Channel::Stale() const {
  if (outOfStep_) {
    return true;
  }
  if (!socket_) {
    DWORD errors = 0;
    return !ClearCommError(Line(fd_.get()), &errors, nullptr); // the port is gone
  }
  char byte = 0;
  const int n = recv(Socket(fd_.get()), &byte, 1, MSG_PEEK);
  return n != SOCKET_ERROR || WSAGetLastError() != WSAEWOULDBLOCK;
}

} // namespace tavelo::link
