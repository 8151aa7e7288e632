// The answers tavelo mount reads itself: a listing never read past its
// packet, and a chunk accepted only when it is the one asked for.
#include "../../tools/tavelo/mount/packets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using tavelo::cli::wire::CheckChunk;
using tavelo::cli::wire::ParseListing;

// An answer header with `status`, then big-endian words.
std::vector<BYTE> Answer(std::uint16_t status, std::vector<std::uint32_t> words) {
  std::vector<BYTE> packet(12, 0);
  packet[10] = static_cast<BYTE>(status >> 8);
  packet[11] = static_cast<BYTE>(status);
  for (const std::uint32_t word : words) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      packet.push_back(static_cast<BYTE>(word >> shift));
    }
  }
  return packet;
}

struct ChunkCase {
  const char *what;
  std::vector<std::uint32_t> words; // offset, length, total, then data words
  std::uint64_t offset, known;
  CAMRESULT result;
  std::uint16_t status = 0;
};

TEST(MountPackets, ChunksAreCheckedBeforeUse) {
  const ChunkCase cases[] = {
      {"first chunk", {0, 4, 8, 0xAABBCCDD}, 0, UINT64_MAX, S_OK, 0},
      {"last chunk", {4, 4, 8, 1}, 4, 8, S_OK, 0},
      {"empty file", {0, 0, 0}, 0, UINT64_MAX, S_OK, 0},
      {"status word", {0, 0, 0}, 0, UINT64_MAX, CAM_E_STATUS(7), 7},
      {"another offset", {4, 4, 8, 1}, 0, UINT64_MAX, CAM_E_BAD_DATA, 0},
      {"longer than the packet", {0, 400, 800, 1}, 0, UINT64_MAX, CAM_E_BAD_DATA, 0},
      {"past the total", {4, 8, 8, 1, 2}, 4, 8, CAM_E_BAD_DATA, 0},
      {"empty before the end", {4, 0, 8}, 4, 8, CAM_E_BAD_DATA, 0},
      {"total changed", {4, 4, 12, 1}, 4, 8, CAM_E_BAD_DATA, 0},
      {"no chunk header", {0}, 0, UINT64_MAX, CAM_E_BAD_DATA, 0},
  };
  for (const auto &c : cases) {
    const auto packet = Answer(c.status, c.words);
    std::uint64_t chunk = 0;
    std::uint64_t total = 0;
    EXPECT_EQ(CheckChunk(packet, c.offset, c.known, &chunk, &total), c.result) << c.what;
  }
}

TEST(MountPackets, ListingStaysInsideItsPacket) {
  auto packet = Answer(0, {3}); // claims three entries, carries one
  packet.resize(packet.size() + 48, 0);
  std::memcpy(&packet[16], "DCIM", 4);
  packet[16 + 44] = 0x80;
  std::vector<std::pair<std::string, bool>> names;
  ASSERT_EQ(ParseListing(packet, &names), S_OK);
  ASSERT_EQ(names.size(), 1U);
  EXPECT_EQ(names[0], std::make_pair(std::string("DCIM"), true));
  EXPECT_EQ(ParseListing(Answer(0x0A, {}), &names), CAM_E_STATUS(0x0A));
}

} // namespace
