// What the message table says: which codes have texts, shared texts, the %1
// insert, and that messages.txt agrees with tavelocam.h.
#include "message_files.h"
#include "resources/message_table.h"
#include "tavelocam.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace tavelo::test {
namespace {

std::vector<std::uint8_t> EmbeddedTable() {
  size_t size = 0;
  const unsigned char *bytes = tavelort_message_table(&size);
  return {bytes, bytes + size};
}

std::string TextOf(std::uint32_t code) {
  const auto entry = FindEntry(EmbeddedTable(), code);
  return entry ? Cp936ToUtf8(EntryText(*entry)) : std::string();
}

TEST(MessageTexts, SuccessAndCompletedShareTheirText) {
  const std::string success = TextOf(0x00000000u);
  EXPECT_FALSE(success.empty());
  EXPECT_EQ(TextOf(static_cast<std::uint32_t>(CAM_S_COMPLETED)), success);
  EXPECT_EQ(success, "该相机功能成功地完成。\r\n");
}

TEST(MessageTexts, FileNotFoundKeepsItsInsert) {
  EXPECT_EQ(TextOf(static_cast<std::uint32_t>(CAM_E_FILE_NOT_FOUND)),
            "在相机中找不到请求的文件 %1.\r\n");
}

TEST(MessageTexts, LongNameHasNoFinalFullStop) {
  const std::string text = TextOf(static_cast<std::uint32_t>(CAM_E_LONG_NAME));
  const std::string ending = "更短的名称\r\n";
  ASSERT_GT(text.size(), ending.size());
  EXPECT_EQ(text.substr(text.size() - ending.size()), ending);
}

// Codes without a name: the status-word errors 0x0E to 0x14 (0xCFFA0014 is
// not CAM_S_COMPLETED), numbers past 0x21, other severities.
class CodesWithoutMessage : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(CodesWithoutMessage, HaveNoEntry) {
  EXPECT_FALSE(FindEntry(EmbeddedTable(), GetParam()).has_value());
}

INSTANTIATE_TEST_SUITE_P(Unnamed, CodesWithoutMessage,
                         ::testing::Values(0xCFFA0014u, 0xCFFA000Eu, 0xCFFA0013u, 0xCFFA0000u,
                                           0xCFFA0022u, 0xCFFA03E7u, 0x0FFA0013u, 0x0FFA0015u,
                                           0x00000001u, 0x8FFA0001u, 0x8000FFFFu, 0xFFFFFFFFu),
                         [](const ::testing::TestParamInfo<std::uint32_t> &info) {
                           char name[16];
                           std::snprintf(name, sizeof name, "x%08X", info.param);
                           return std::string(name);
                         });

TEST(MessageTexts, EveryNamedResultCodeHasExactlyOneEntry) {
  const auto table = EmbeddedTable();
  std::set<std::uint32_t> inTable;
  for (const TableBlock &block : ReadBlocks(table)) {
    for (std::uint32_t id = block.low; id <= block.high; ++id) {
      EXPECT_TRUE(inTable.insert(id).second) << std::hex << id << " in two blocks";
    }
  }
  std::set<std::uint32_t> named = {0u};
  named.insert(static_cast<std::uint32_t>(CAM_S_COMPLETED));
  for (std::uint32_t n = 0x01; n <= 0x21; ++n) {
    if (n < 0x0E || n > 0x14) {
      named.insert(0xCFFA0000u | n);
    }
  }
  EXPECT_EQ(inTable, named);
}

// The generated rows TAVELO_MESSAGE(code, name) only compile when every name
// in messages.txt is a constant of tavelocam.h.
struct NamedCode {
  std::uint32_t tableCode;
  std::uint32_t headerValue;
  const char *name;
};

constexpr NamedCode kNamedCodes[] = {
#define TAVELO_MESSAGE(code, name) {code, static_cast<std::uint32_t>(name), #name},
#include "message_names.h"
#undef TAVELO_MESSAGE
};

TEST(MessageNames, EveryNameInMessagesTxtHasItsValueInTheHeader) {
  for (const NamedCode &named : kNamedCodes) {
    EXPECT_EQ(named.tableCode, named.headerValue) << named.name;
  }
}

TEST(MessageNames, GeneratedRowsAreTheRowsOfMessagesTxt) {
  const auto rows = ReadMessageRows(TAVELO_MESSAGES_TXT);
  ASSERT_EQ(rows.size(), std::size(kNamedCodes));
  std::set<std::pair<std::uint32_t, std::string>> fromText;
  std::set<std::pair<std::uint32_t, std::string>> generated;
  for (const MessageRow &row : rows) {
    fromText.insert({row.code, row.name});
  }
  for (const NamedCode &named : kNamedCodes) {
    generated.insert({named.tableCode, named.name});
  }
  EXPECT_EQ(fromText, generated);
}

} // namespace
} // namespace tavelo::test
