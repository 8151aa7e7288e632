#include "files/store_packets.h"

#include <algorithm>

namespace tavelo::files {

namespace {

// A length field of 8 or less: a bare header, no count.
constexpr std::uint32_t kBareHeaderLength = wire::kHeaderSize - wire::kLengthFieldSize;

} // namespace

EntryList::EntryList(std::span<const std::uint8_t> packet, std::size_t entrySize, CountKind kind)
    : entrySize_(entrySize) {
  if (packet.size() < kFirstEntryOffset ||
      wire::GetU32(packet, wire::kLengthOffset) <= kBareHeaderLength) {
    return;
  }
  // Bytes past the packet's own length are not part of it.
  const std::size_t length = static_cast<std::size_t>(
      std::min<std::uint64_t>(wire::DeclaredPacketSize(packet), packet.size()));
  if (length < kFirstEntryOffset) {
    return;
  }
  const std::uint32_t claimed = wire::GetU32(packet, kListCountOffset);
  if (kind == CountKind::kSigned && static_cast<std::int32_t>(claimed) <= 0) {
    return;
  }
  count_ = std::min<std::size_t>(claimed, (length - kFirstEntryOffset) / entrySize);
  entries_ = packet.subspan(kFirstEntryOffset, count_ * entrySize);
}

NameRecord BuildImageListRequest(std::span<std::uint8_t, ImageListRequest::kSize> request,
                                 std::uint32_t selector) {
  wire::BuildHeader(request, wire::kImageList);
  wire::PutU32(request, ImageListRequest::kSelectorOffset, selector);
  return request.subspan<ImageListRequest::kRecordOffset, kRecordSize>();
}

void BuildDirectoryRequest(std::span<std::uint8_t, DirectoryRequest::kSize> request,
                           std::uint16_t command, ConstNameRecord record) {
  wire::BuildHeader(request, command);
  auto part = record.first<DirectoryRequest::kRecordPart>();
  std::copy(part.begin(), part.end(), request.begin() + DirectoryRequest::kRecordOffset);
}

} // namespace tavelo::files
