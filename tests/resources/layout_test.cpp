// The message table's bytes: block headers, entry layout and exact texts.
#include "message_files.h"
#include "resources/message_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace tavelo::test {
namespace {

std::vector<std::uint8_t> EmbeddedTable() {
  size_t size = 0;
  const unsigned char *bytes = tavelort_message_table(&size);
  return {bytes, bytes + size};
}

class MessageTableLayout : public ::testing::Test {
protected:
  std::vector<std::uint8_t> table = EmbeddedTable();
};

TEST_F(MessageTableLayout, EmbeddedBytesAreTheResourceFile) {
  // libtavelocam.so and TAVELOCAM.dll carry the same table.
  EXPECT_EQ(table, ReadFileBytes(TAVELO_MESSAGE_BLOB));
}

TEST_F(MessageTableLayout, AccessorAcceptsNullSizeAndAlignsToFour) {
  const unsigned char *bytes = tavelort_message_table(nullptr);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bytes) % 4, 0u);
}

TEST_F(MessageTableLayout, HeaderBytesAreExact) {
  // Four blocks; the first entry follows the 4 + 4 * 12 header bytes.
  const std::vector<std::uint8_t> expected = {
      0x04, 0x00, 0x00, 0x00,                                                 // block count
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x34, 0x00, 0x00, 0x00, // 0
      0x14, 0x00, 0xFA, 0x0F, 0x14, 0x00, 0xFA, 0x0F, 0x54, 0x00, 0x00, 0x00, // 0x0FFA0014
      0x01, 0x00, 0xFA, 0xCF, 0x0D, 0x00, 0xFA, 0xCF, 0x74, 0x00, 0x00, 0x00, // 01-0D
      0x15, 0x00, 0xFA, 0xCF, 0x21, 0x00, 0xFA, 0xCF, 0xA4, 0x02, 0x00, 0x00, // 15-21
  };
  ASSERT_GE(table.size(), expected.size());
  EXPECT_EQ(std::vector<std::uint8_t>(table.begin(), table.begin() + 52), expected);
}

struct ExpectedBlock {
  std::uint32_t low;
  std::uint32_t high;
};

class MessageTableBlocks : public MessageTableLayout,
                           public ::testing::WithParamInterface<std::size_t> {};

constexpr ExpectedBlock kBlocks[] = {
    {0x00000000u, 0x00000000u},
    {0x0FFA0014u, 0x0FFA0014u},
    {0xCFFA0001u, 0xCFFA000Du},
    {0xCFFA0015u, 0xCFFA0021u},
};

TEST_P(MessageTableBlocks, RangeAndOffset) {
  const auto blocks = ReadBlocks(table);
  ASSERT_EQ(blocks.size(), 4u);
  const std::size_t index = GetParam();
  EXPECT_EQ(blocks[index].low, kBlocks[index].low);
  EXPECT_EQ(blocks[index].high, kBlocks[index].high);

  // Each block's entries start where the previous block's entries end.
  std::size_t expectedOffset = 4 + 12 * blocks.size();
  for (std::size_t i = 0; i < index; ++i) {
    for (std::uint32_t id = blocks[i].low; id <= blocks[i].high; ++id) {
      expectedOffset += Le16(table, expectedOffset);
    }
  }
  EXPECT_EQ(blocks[index].offset, expectedOffset);
}

INSTANTIATE_TEST_SUITE_P(AllBlocks, MessageTableBlocks, ::testing::Range<std::size_t>(0, 4));

TEST_F(MessageTableLayout, EntriesFillTheTableWithoutGapsOrTail) {
  const auto blocks = ReadBlocks(table);
  std::size_t at = 4 + 12 * blocks.size();
  std::size_t count = 0;
  for (const TableBlock &block : blocks) {
    ASSERT_EQ(block.offset, at);
    for (std::uint32_t id = block.low; id <= block.high; ++id, ++count) {
      at += Le16(table, at);
    }
  }
  EXPECT_EQ(count, 28u);
  EXPECT_EQ(at, table.size());
}

// Every row of messages.txt, one test each.
class MessageTableEntry : public MessageTableLayout,
                          public ::testing::WithParamInterface<MessageRow> {};

TEST_P(MessageTableEntry, IsEightBitTextWithCrLfAndZeroPadding) {
  const auto entry = FindEntry(table, GetParam().code);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->flags, 0u) << "8-bit text, not Unicode";
  EXPECT_EQ(entry->offset % 4, 0u);
  EXPECT_EQ(entry->length % 4, 0u);

  const std::string text = EntryText(*entry);
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_EQ(text.find("\r\n"), text.size() - 2) << "one line end, at the end";

  // After the text: at least one NUL, all NULs, and fewer than four more
  // than needed.
  const std::size_t used = 4 + text.size();
  ASSERT_LT(used, entry->length);
  EXPECT_LE(entry->length - used, 4u);
  for (std::size_t i = used; i < entry->length; ++i) {
    EXPECT_EQ(entry->bytes[i], 0u) << "padding byte " << i;
  }
}

TEST_P(MessageTableEntry, TextRoundTripsToMessagesTxt) {
  const auto entry = FindEntry(table, GetParam().code);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(Cp936ToUtf8(EntryText(*entry)), GetParam().text + "\r\n");
}

std::string RowName(const ::testing::TestParamInfo<MessageRow> &info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(MessagesTxt, MessageTableEntry,
                         ::testing::ValuesIn(ReadMessageRows(TAVELO_MESSAGES_TXT)), RowName);

// Exact bytes of a few entries, header and padding included.
struct ExactEntry {
  const char *name;
  std::uint32_t code;
  std::vector<std::uint8_t> bytes;
};

void PrintTo(const ExactEntry &entry, std::ostream *out) {
  *out << entry.name;
}

class MessageTableExactEntry : public MessageTableLayout,
                               public ::testing::WithParamInterface<ExactEntry> {};

TEST_P(MessageTableExactEntry, BytesAreExact) {
  const auto entry = FindEntry(table, GetParam().code);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->bytes, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    KnownTexts, MessageTableExactEntry,
    ::testing::Values(
        // "放弃操作。": 10 text bytes + CR LF + 4 header = 16, so 4 NULs.
        ExactEntry{"Aborted", 0xCFFA0019u, {0x14, 0x00, 0x00, 0x00, 0xB7, 0xC5, 0xC6,
                                            0xFA, 0xB2, 0xD9, 0xD7, 0xF7, 0xA1, 0xA3,
                                            0x0D, 0x0A, 0x00, 0x00, 0x00, 0x00}},
        // "不支持的功能。"
        ExactEntry{"Feature", 0xCFFA001Bu, {0x18, 0x00, 0x00, 0x00, 0xB2, 0xBB, 0xD6, 0xA7,
                                            0xB3, 0xD6, 0xB5, 0xC4, 0xB9, 0xA6, 0xC4, 0xDC,
                                            0xA1, 0xA3, 0x0D, 0x0A, 0x00, 0x00, 0x00, 0x00}},
        // "相机发生错误。"
        ExactEntry{"Camera", 0xCFFA001Au, {0x18, 0x00, 0x00, 0x00, 0xCF, 0xE0, 0xBB, 0xFA,
                                           0xB7, 0xA2, 0xC9, 0xFA, 0xB4, 0xED, 0xCE, 0xF3,
                                           0xA1, 0xA3, 0x0D, 0x0A, 0x00, 0x00, 0x00, 0x00}},
        // "在相机中找不到请求的文件 %1.": the insert stays as ASCII "%1"; 34 bytes
        // before padding, so 2 NULs.
        ExactEntry{"FileNotFound",
                   0xCFFA0007u,
                   {0x24, 0x00, 0x00, 0x00, 0xD4, 0xDA, 0xCF, 0xE0, 0xBB, 0xFA, 0xD6, 0xD0,
                    0xD5, 0xD2, 0xB2, 0xBB, 0xB5, 0xBD, 0xC7, 0xEB, 0xC7, 0xF3, 0xB5, 0xC4,
                    0xCE, 0xC4, 0xBC, 0xFE, 0x20, 0x25, 0x31, 0x2E, 0x0D, 0x0A, 0x00, 0x00}}),
    [](const ::testing::TestParamInfo<ExactEntry> &info) { return std::string(info.param.name); });

} // namespace
} // namespace tavelo::test
