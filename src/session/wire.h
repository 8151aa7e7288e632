// Packet framing shared by every command: the 12-byte header, the status
// word, the command codes and the big-endian field helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tavelo::wire {

// Every packet starts with this header; bodies begin at offset 12.
inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::size_t kLengthOffset = 0;  // packet length less 4, big-endian
inline constexpr std::size_t kVersionOffset = 4; // always 1 in requests
inline constexpr std::size_t kCommandOffset = 8; // big-endian command code
inline constexpr std::size_t kStatusOffset = 10; // big-endian status word, 0 in requests
inline constexpr std::uint8_t kVersion = 1;
// The length field counts the bytes after itself.
inline constexpr std::size_t kLengthFieldSize = 4;

// Command codes, by what they ask the camera for.
enum Command : std::uint16_t {
  kProductInfo = 0x01,
  kStatus = 0x03,
  kDefaultDrive = 0x05,
  kParameterCapabilities = 0x10,
  kGetParameter = 0x11,
  kSetParameter = 0x12,
  kGetParameterDefault = 0x13,
  kSetParameterUserDefault = 0x14,
  kRestoreParameterDefault = 0x15,
  kGetPowerMode = 0x19,
  kPowerOff = 0x1A,
  kShutterHalfway = 0x1E,
  kStartCapture = 0x30,
  kStopCapture = 0x31,
  kImageList = 0x40,
  kNewFileList = 0x41,
  kReadFileData = 0x42,
  kDeleteFile = 0x43,
  kImageCount = 0x44,
  kCreateDirectory = 0x45,
  kCreateGroup = 0x46,
  kWriteFileData = 0x47,
  kGetFileTag = 0x48,
  kSetFileTag = 0x49,
  kFileList = 0x4A,
  kRemoveDirectoryAlt = 0x50,
  kGroupList = 0x51,
  kRemoveDirectory = 0x52,
  kGetClock = 0x70,
  kSetClock = 0x71,
  kEcho = 0x92,
  kSystemFileList = 0xB0,
  kRunApp = 0xB1,
  kScriptDescription = 0xB6,
};

inline std::uint16_t GetU16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

inline std::uint32_t GetU32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return (std::uint32_t{bytes[offset]} << 24) | (std::uint32_t{bytes[offset + 1]} << 16) |
         (std::uint32_t{bytes[offset + 2]} << 8) | std::uint32_t{bytes[offset + 3]};
}

inline void PutU16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value >> 8);
  bytes[offset + 1] = static_cast<std::uint8_t>(value);
}

inline void PutU32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value >> 24);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 16);
  bytes[offset + 2] = static_cast<std::uint8_t>(value >> 8);
  bytes[offset + 3] = static_cast<std::uint8_t>(value);
}

// Writes the header of a request that fills the whole of `packet`: the
// length field always comes from the buffer's size. The caller has cleared
// the buffer and fills the body afterwards.
inline void BuildHeader(std::span<std::uint8_t> packet, std::uint16_t command) {
  PutU32(packet, kLengthOffset, static_cast<std::uint32_t>(packet.size() - kLengthFieldSize));
  packet[kVersionOffset] = kVersion;
  packet[kVersionOffset + 1] = 0;
  packet[kVersionOffset + 2] = 0;
  packet[kVersionOffset + 3] = 0;
  PutU16(packet, kCommandOffset, command);
  PutU16(packet, kStatusOffset, 0);
}

inline std::uint16_t StatusWord(std::span<const std::uint8_t> response) {
  return GetU16(response, kStatusOffset);
}

// The size of the packet as its own length field gives it.
inline std::uint64_t DeclaredPacketSize(std::span<const std::uint8_t> response) {
  return std::uint64_t{GetU32(response, kLengthOffset)} + kLengthFieldSize;
}

} // namespace tavelo::wire
