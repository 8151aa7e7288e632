// The packets of `tavelo mount`; see packets.h.
#include "packets.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace tavelo::cli::wire {

namespace {

constexpr std::size_t kCommandAt = 8;
constexpr std::size_t kStatusAt = 10;
constexpr std::size_t kHeaderSize = 12;
constexpr std::uint8_t kVersion = 1;
// Directory requests: drive, then directory path.
constexpr std::size_t kDriveAt = 12;
constexpr std::size_t kDirectoryAt = 16;
constexpr std::size_t kDirectorySize = kMaxDirectoryPath + 1;
// Listing answers: a count, then 48-byte entries of a name and flags.
constexpr std::size_t kCountAt = 12;
constexpr std::size_t kEntriesAt = 16;
constexpr std::size_t kEntrySize = 48;
constexpr std::size_t kNameSize = 16;
constexpr std::size_t kEntryFlagsAt = 44;
constexpr std::uint8_t kDirectoryFlag = 0x80;
// Read requests: the file name record (drive, directory, name), data kind 0
// (the file's bytes) at 64, offset at 68.
constexpr std::uint16_t kReadData = 0x42;
constexpr std::size_t kRecordNameAt = 48;
constexpr std::size_t kReadOffsetAt = 68;
// Read answers: the chunk's offset, length and the data's total.
constexpr std::size_t kChunkOffsetAt = 12;
constexpr std::size_t kChunkLengthAt = 16;
constexpr std::size_t kTotalAt = 20;

void PutU32(std::span<BYTE> packet, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) {
    packet[at + i] = static_cast<BYTE>(value >> (24 - 8 * i));
  }
}
std::uint32_t GetU32(std::span<const BYTE> packet, std::size_t at) {
  return std::uint32_t{packet[at]} << 24 | std::uint32_t{packet[at + 1]} << 16 |
         std::uint32_t{packet[at + 2]} << 8 | packet[at + 3];
}

void PutHeader(std::span<BYTE> packet, std::uint16_t command) {
  PutU32(packet, 0, static_cast<std::uint32_t>(packet.size() - 4));
  packet[4] = kVersion;
  packet[kCommandAt] = static_cast<BYTE>(command >> 8);
  packet[kCommandAt + 1] = static_cast<BYTE>(command);
}

void PutText(std::span<BYTE> packet, std::size_t at, std::size_t field, const std::string &text) {
  std::memcpy(&packet[at], text.data(), std::min(text.size(), field - 1));
}

} // namespace

std::array<BYTE, kDirectoryRequestSize> DirectoryRequest(std::uint16_t command, LONG drive,
                                                         const std::string &directory) {
  std::array<BYTE, kDirectoryRequestSize> request{};
  PutHeader(request, command);
  PutU32(request, kDriveAt, static_cast<std::uint32_t>(drive));
  PutText(request, kDirectoryAt, kDirectorySize, directory);
  return request;
}

CAMRESULT StatusResult(std::span<const BYTE> packet) {
  if (packet.size() < kHeaderSize) {
    return CAM_E_BAD_DATA;
  }
  const auto status = static_cast<std::uint16_t>(packet[kStatusAt] << 8 | packet[kStatusAt + 1]);
  return status == 0 ? S_OK : CAM_E_STATUS(status);
}

CAMRESULT ParseListing(std::span<const BYTE> packet,
                       std::vector<std::pair<std::string, bool>> *names) {
  if (const CAMRESULT status = StatusResult(packet); status < 0) {
    return status;
  }
  if (packet.size() < kEntriesAt) {
    return S_OK; // no count: no entries
  }
  // Never past the packet, whatever the count says.
  const std::size_t count =
      std::min<std::size_t>(GetU32(packet, kCountAt), (packet.size() - kEntriesAt) / kEntrySize);
  for (std::size_t i = 0; i < count; ++i) {
    const auto entry = packet.subspan(kEntriesAt + i * kEntrySize, kEntrySize);
    const char *name = reinterpret_cast<const char *>(entry.data());
    std::string text(name, strnlen(name, kNameSize));
    if (!text.empty()) {
      names->emplace_back(std::move(text), (entry[kEntryFlagsAt] & kDirectoryFlag) != 0);
    }
  }
  return S_OK;
}

std::array<BYTE, kReadRequestSize> ReadRequest(const std::string &path) {
  std::array<BYTE, kReadRequestSize> request{};
  PutHeader(request, kReadData);
  const auto colon = path.find(':');
  const auto slash = path.rfind('/');
  const auto name_at = slash == std::string::npos ? colon + 1 : slash + 1;
  PutU32(request, kDriveAt, static_cast<std::uint32_t>(std::atoi(path.c_str())));
  PutText(request, kDirectoryAt, kDirectorySize, path.substr(colon + 1, name_at - colon - 1));
  PutText(request, kRecordNameAt, kNameSize, path.substr(name_at));
  return request;
}

void SetReadOffset(std::span<BYTE, kReadRequestSize> request, std::uint64_t offset) {
  PutU32(request, kReadOffsetAt, static_cast<std::uint32_t>(offset));
}

CAMRESULT CheckChunk(std::span<const BYTE> packet, std::uint64_t offset, std::uint64_t known,
                     std::uint64_t *chunk, std::uint64_t *total) {
  if (const CAMRESULT status = StatusResult(packet); status < 0) {
    return status;
  }
  if (packet.size() < kChunkAt) {
    return CAM_E_BAD_DATA;
  }
  *chunk = GetU32(packet, kChunkLengthAt);
  *total = GetU32(packet, kTotalAt);
  const bool last = offset + *chunk >= *total;
  if (GetU32(packet, kChunkOffsetAt) != offset || *chunk > packet.size() - kChunkAt ||
      offset + *chunk > *total || (*chunk == 0 && !last) ||
      (known != UINT64_MAX && known != *total)) {
    return CAM_E_BAD_DATA;
  }
  return S_OK;
}

} // namespace tavelo::cli::wire
