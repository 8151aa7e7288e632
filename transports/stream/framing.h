// How camera packets travel over a byte stream, as pure code without any
// file descriptor, so that tests and fuzzers can drive it directly.
//
// TCP: the packet as it is. Its own first four bytes, the big-endian length
// field, say how many bytes follow.
//
// Serial line: one SLIP frame per packet (RFC 1055 escaping, an END byte
// before and after), carrying a sender byte (host or camera), a sequence
// byte, the packet and a big-endian CRC-32 (zlib's) over all of them. A
// damaged frame is detected and dropped at the next END, so the line never
// stays out of step. The sender byte keeps an echoing line (a loopback plug,
// a half-duplex adapter) from handing a request back as its answer; the
// sequence byte lets the host ignore a late answer to an earlier request, and
// lets the camera side recognise a request sent again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavelo::link {

inline constexpr std::size_t kHeaderSize = 12;     // every packet starts with it
inline constexpr std::size_t kLengthFieldSize = 4; // counts the bytes after itself
inline constexpr std::uint32_t kMinLengthField = kHeaderSize - kLengthFieldSize;
// The largest packet of an exchange that does not say its buffer's size.
inline constexpr std::size_t kMaxPlainPacket = std::size_t{64} << 20;

// SLIP bytes.
inline constexpr std::uint8_t kEnd = 0xC0;
inline constexpr std::uint8_t kEsc = 0xDB;
inline constexpr std::uint8_t kEscEnd = 0xDC;
inline constexpr std::uint8_t kEscEsc = 0xDD;
inline constexpr std::size_t kCrcSize = 4;
// The CRC-32 of a frame's content, continuing from `crc` (0 to start).
std::uint32_t Crc(std::uint32_t crc, std::span<const std::uint8_t> bytes);
// The first byte of a frame's content: who sent it.
inline constexpr std::uint8_t kFromHost = 'H';
inline constexpr std::uint8_t kFromCamera = 'C';
// Sender and sequence bytes, then the packet, then the CRC.
inline constexpr std::size_t kFramePrefix = 2;
// The most line bytes a frame of a `packet`-byte packet can take: every
// content byte escaped, and an END before and after.
constexpr std::size_t MaxFrameSize(std::size_t packet) {
  return 2 * (kFramePrefix + packet + kCrcSize) + 2;
}

std::uint32_t GetU32(std::span<const std::uint8_t> bytes, std::size_t at);
void PutU32(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value);

// What reading one packet came to so far.
enum class Read {
  more,       // not complete yet
  done,       // a whole packet is in the buffer
  bad_length, // length field below 8, or not the packet's size (serial)
  too_large,  // the packet does not fit the buffer
  bad_frame,  // serial: bad escape, too short, or CRC mismatch
};

// Reads one length-prefixed packet into `out`, straight from the stream:
// receive into Want(), report with Got(). The first read asks for at most a
// header, which every packet has, so it never takes bytes past the packet;
// the length field is checked before any byte of the body is asked for, so a
// bad claim costs nothing.
//
// `whole` lets the first read take all of `out` instead, so that a packet
// that has arrived whole costs one read; bytes past the packet are then
// reported by surplus(). For a host, which expects nothing after an answer.
class PacketReader {
public:
  explicit PacketReader(std::span<std::uint8_t> out, bool whole = false)
      : out_(out), whole_(whole && out.size() >= kHeaderSize) {}

  // Where the next bytes go; never more than the packet still needs.
  std::span<std::uint8_t> Want();
  // `n` bytes arrived at Want(). After anything but `more`, stop.
  Read Got(std::size_t n);
  std::size_t size() const { return need_; } // the packet's size once `done`
  // Once `done`: bytes past the packet were read (and dropped).
  bool surplus() const { return have_ > need_; }
  bool started() const { return have_ > 0; }

private:
  std::span<std::uint8_t> out_;
  bool whole_;
  std::array<std::uint8_t, kHeaderSize> head_{}; // until the length field is in
  std::size_t have_ = 0;
  std::size_t need_ = 0; // 0 until the length field is in
};

// The frame of `packet` from `sender` with `sequence`, into `out` (cleared
// first; its capacity is kept, so a reused vector allocates only to grow).
void EncodeFrame(std::uint8_t sender, std::uint8_t sequence, std::span<const std::uint8_t> packet,
                 std::vector<std::uint8_t> &out);

// Decodes the frames `from` one sender into `out`; frames of the other
// sender (an echo of our own) are skipped silently, and so is a frame whose
// sequence byte differs from `expect` (when set). Starts by looking for an
// END, so bytes of a frame cut in half are never taken for a packet.
class FrameDecoder {
public:
  explicit FrameDecoder(std::span<std::uint8_t> out, std::uint8_t from,
                        std::optional<std::uint8_t> expect = std::nullopt)
      : out_(out), from_(from), expect_(expect) {}

  struct Step {
    Read read;
    std::size_t used; // bytes of the input consumed
  };
  // Consumes input up to the end of one frame or the first fault. A fault
  // is reported at once; the rest of that frame is skipped by later calls.
  Step Feed(std::span<const std::uint8_t> in);
  std::size_t size() const { return size_; }          // packet bytes once `done`
  std::uint8_t sequence() const { return sequence_; } // of the last frame
  // True while inside a frame: some of it came, its END not yet.
  bool inside() const { return state_ == State::body || state_ == State::escaped; }
  // Forgets a frame in progress and looks for the next one.
  void Restart() { state_ = State::hunt; }

private:
  enum class State { hunt, idle, body, escaped };
  void Start();
  std::optional<Read> Put(std::uint8_t byte);
  Read Finish();
  std::uint8_t At(std::size_t i) const;

  std::span<std::uint8_t> out_;
  std::uint8_t from_;
  std::optional<std::uint8_t> expect_;
  State state_ = State::hunt;
  std::size_t prefix_ = 0; // sender and sequence bytes read of this frame
  std::uint8_t sender_ = 0;
  std::uint8_t sequence_ = 0;
  std::size_t total_ = 0;                      // decoded bytes after the sequence byte
  std::array<std::uint8_t, kCrcSize> spill_{}; // bytes past `out_`: the CRC
  std::size_t size_ = 0;
};

// Device addresses. "HOST:PORT" with an IPv4 address, a name, or an IPv6
// address in brackets; the port is 0 to 65535.
struct NetAddress {
  std::string host;
  std::string port;
};
std::optional<NetAddress> ParseNetAddress(std::string_view text);

// "DEVICE@BAUD", a standard rate.
struct SerialAddress {
  std::string device;
  unsigned baud = 0;
};
std::optional<SerialAddress> ParseSerialAddress(std::string_view text);

} // namespace tavelo::link
