// The link layer under the network and serial transports and the camera
// daemon: opening sockets and serial lines, and moving one packet at a time
// over them with a deadline. Failures are HRESULT_FROM_WIN32 of the Windows
// error a Windows build would report, so callers can show a system text.
#pragma once

#include "framing.h"
#include "tavelo/win32.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tavelo::link {

using Clock = std::chrono::steady_clock;

// Windows error numbers for link failures (system and Windows Sockets).
inline constexpr DWORD kErrorCrc = 23;              // a damaged serial frame
inline constexpr DWORD kErrorGenFailure = 31;       // anything without a closer match
inline constexpr DWORD kErrorIoDevice = 1117;       // the device failed
inline constexpr DWORD kErrorTimeout = 1460;        // no complete packet in time
inline constexpr DWORD kWsaAccess = 10013;          // not allowed
inline constexpr DWORD kWsaAddressInUse = 10048;    // listening address taken
inline constexpr DWORD kWsaAddressUnknown = 10049;  // not an address of this machine
inline constexpr DWORD kWsaNetUnreachable = 10051;  // no route to the network
inline constexpr DWORD kWsaConnectionReset = 10054; // the peer closed mid-packet
inline constexpr DWORD kWsaTimedOut = 10060;        // connect timed out
inline constexpr DWORD kWsaRefused = 10061;         // nobody listens there
inline constexpr DWORD kWsaHostUnreachable = 10065; // no route to the host
inline constexpr DWORD kWsaHostNotFound = 11001;    // the name does not resolve
inline constexpr DWORD kWsaTryAgain = 11002;        // name service not reachable now

inline constexpr DWORD kErrorGracefulDisconnect = 1226; // a connection closed in order
// The peer ended the link between two packets: an orderly end, not a fault
// of the packet in progress. A connection that was closed, or a line whose
// far side is gone (the end of its data).
inline const HRESULT kClosed = HRESULT_FROM_WIN32(kErrorGracefulDisconnect);
inline const HRESULT kEndOfData = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
inline bool Ended(HRESULT result) {
  return result == kClosed || result == kEndOfData;
}

#ifndef _WIN32
HRESULT FromErrno(int error);
#endif
// A sentence for a result of this layer, for logs and for applications.
std::string ErrorText(HRESULT result);
// The exchange timeout: TAVELO_LINK_TIMEOUT_MS, or 10 s when unset or bad.
std::chrono::milliseconds LinkTimeout();

// The system's name for an open socket or line: a file descriptor, or on
// Windows a SOCKET or HANDLE (both all ones when invalid).
#ifdef _WIN32
using Native = std::uintptr_t;
inline constexpr Native kNoNative = ~Native{0};
#else
using Native = int;
inline constexpr Native kNoNative = -1;
#endif

// Owns one socket or line.
class Fd {
public:
  Fd() = default;
  explicit Fd(Native fd, bool socket = true) : fd_(fd), socket_(socket) {}
  Fd(Fd &&other) noexcept : socket_(other.socket_) { fd_ = other.release(); }
  Fd &operator=(Fd &&other) noexcept;
  ~Fd();
  Native get() const { return fd_; }
  Native release();
  explicit operator bool() const { return fd_ != kNoNative; }

private:
  Native fd_ = kNoNative;
  bool socket_ = true; // Windows closes a socket and a handle differently
};

// Opening links. Each returns S_OK and the descriptor (non-blocking), or a
// failure.
HRESULT ConnectTcp(const NetAddress &address, std::chrono::milliseconds timeout, Fd *fd);
// A serial line (on Windows "COMn", the port's own name) as raw 8N1 at the
// address's rate, no flow control, both queues flushed; one user at a time.
HRESULT OpenSerial(const SerialAddress &address, Fd *fd);
#ifndef _WIN32
// The camera daemon's side, POSIX only.
// `bound` gets the address actually listened on, as HOST:PORT.
HRESULT ListenTcp(const NetAddress &address, Fd *fd, std::string *bound);
// Accepts one waiting connection; `peer` gets its address.
HRESULT AcceptTcp(Native listener, Fd *fd, std::string *peer);
// Raw 8N1 at `baud`, no flow control, both queues flushed.
HRESULT MakeRawLine(Native fd, unsigned baud);
#endif

// The host sends requests and waits for their answers; the camera side
// receives requests and answers each.
enum class Role { host, camera };

// How the camera daemon's fault switches spoil a packet on the wire.
enum class Damage {
  none,
  cut,  // only the first half of the bytes (a serial frame then ends)
  flip, // one bit of the middle byte flipped
  drop, // nothing written (a serial camera still answers a repeat with it)
};

// One packet at a time over a descriptor, each way with a deadline. Not
// thread-safe: one exchange at a time.
class Channel {
public:
  virtual ~Channel() = default;
  Channel(const Channel &) = delete;
  Channel &operator=(const Channel &) = delete;

  // Writes `packet` (one write where the kernel takes it all).
  virtual HRESULT Send(std::span<const std::uint8_t> packet, Clock::time_point deadline,
                       Damage damage = Damage::none) = 0;
  // Receives one whole packet into `out`; `*size` is its size. kClosed (a
  // socket) or kEndOfData (a line) when the peer ended the link before the
  // packet began. A serial host sends its
  // request again when the answer comes damaged or not at all, and gives up
  // at the deadline plus the line time of the largest answer `out` holds,
  // however many bytes keep arriving.
  virtual HRESULT Receive(std::span<std::uint8_t> out, Clock::time_point deadline,
                          std::size_t *size) = 0;
  // The camera side's receive, without waiting: S_OK and `*size` once a
  // whole request is in `out`; S_FALSE while it is not (what came is kept
  // for the next call, which passes the same `out`); kClosed, kEndOfData or
  // a failure.
  // A serial camera answers a request sent again from its last answer,
  // without handing it on.
  virtual HRESULT Poll(std::span<std::uint8_t> out, std::size_t *size) = 0;
  // True while a request has begun to arrive and is not complete.
  virtual bool Partial() const = 0;
  // True when bytes already read wait to be decoded, so polling the
  // descriptor would not show them.
  virtual bool Buffered() const { return false; }
  // True when the peer has closed the link or sent bytes nobody asked for,
  // so a request sent now could not be answered in step. Does not block.
  bool Stale() const;
  Native fd() const { return fd_.get(); }

protected:
  Channel(Fd fd, bool socket) : fd_(std::move(fd)), socket_(socket) {}
  // The system's I/O, in link_posix.cpp and link_win32.cpp.
  // Makes a socket's reads wait in the read (ReadWaiting); sends never block.
  void WaitInReads();
  HRESULT Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline);
  // Reads what is there, waiting for something until the deadline; `*n` is
  // 0 when the peer closed.
  HRESULT ReadSome(std::span<std::uint8_t> out, Clock::time_point deadline, std::size_t *n);
  // Reads what is there without waiting: S_FALSE when nothing is.
  HRESULT ReadNow(std::span<std::uint8_t> out, std::size_t *n);
  // The same for a socket in blocking mode: the wait is the read itself,
  // bounded by a receive timeout, so an answer costs one system call.
  HRESULT ReadWaiting(std::span<std::uint8_t> out, Clock::time_point deadline, std::size_t *n);
  bool outOfStep_ = false; // bytes past a packet were read: Stale() from now on

private:
  Fd fd_;
  bool socket_;
  std::chrono::microseconds receiveTimeout_{0}; // as set on the socket; 0: none yet
};

// A host's channel reads each answer whole where it can (one blocking read);
// the camera's stays non-blocking for its poll loop and never reads past a
// request.
std::unique_ptr<Channel> MakeTcpChannel(Fd fd, Role role = Role::host);

struct SerialOptions {
  // When not 0, the channel carries bytes no faster than a real 8N1 line of
  // that many baud would: a request counts as arrived when its last byte
  // would have, and an answer goes out in pieces, each written when the line
  // would have finished carrying it. For a pseudo-terminal, which moves bytes
  // at any speed, standing in for a real line.
  unsigned pace = 0;
  // When not 0, one bit of every `flipEvery`-th byte written or read is
  // flipped: a noisy line, for tests and measures.
  unsigned flipEvery = 0;
};
std::unique_ptr<Channel> MakeSerialChannel(Fd fd, Role role, unsigned baud,
                                           SerialOptions options = {});

} // namespace tavelo::link
