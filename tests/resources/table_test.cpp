// The message table in libtavelocam.so: its bytes, its texts as FormatMessageA
// gives them (on POSIX converted back to UTF-8 by the platform runtime, so each
// text makes the round trip) and that messages.txt agrees with tavelocam.h.
#include "message_files.h"
#include "tavelo/win32.h"
#include "tavelocam.h"

#include <gtest/gtest.h>

#include <set>

namespace tavelo::test {
namespace {

// The accessor libtavelocam.so exports for the platform runtime's FormatMessageA.
extern "C" const unsigned char *tavelort_message_table(size_t *size);

// The test is linked with libtavelocam.so the way an application is, so
// LoadLibraryA finds it already in the process.
HMODULE Module() {
  static const HMODULE module = LoadLibraryA("TAVELOCAM");
  return module;
}

Bytes Table() {
  size_t size = 0;
  const unsigned char *bytes = tavelort_message_table(&size);
  return {bytes, bytes + size};
}

// FormatMessageA into a fixed buffer: as many bytes as it returns, none when
// there is no message.
std::string Format(DWORD code, DWORD language = 0, DWORD flags = FORMAT_MESSAGE_IGNORE_INSERTS,
                   const DWORD_PTR *arguments = nullptr) {
  char buffer[512] = {};
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | flags, Module(), code, language, buffer, sizeof buffer,
      reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(arguments)));
  return std::string(buffer, length);
}

TEST(MessageTable, IsTheResourceFileAlignedToFourWithExactHeaderBytes) {
  // The same bytes go into TAVELOCAM.dll.
  const Bytes table = Table();
  EXPECT_EQ(table, ReadFileBytes(TAVELO_MESSAGE_BLOB));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(tavelort_message_table(nullptr)) % 4, 0u);
  // Four blocks of low id, high id and the offset of their first entry; the
  // first entry follows the 4 + 4 * 12 header bytes.
  const Bytes header = {
      0x04, 0x00, 0x00, 0x00,                                                 // block count
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x34, 0x00, 0x00, 0x00, // 0
      0x14, 0x00, 0xFA, 0x0F, 0x14, 0x00, 0xFA, 0x0F, 0x54, 0x00, 0x00, 0x00, // 0x0FFA0014
      0x01, 0x00, 0xFA, 0xCF, 0x0D, 0x00, 0xFA, 0xCF, 0x74, 0x00, 0x00, 0x00, // 01-0D
      0x15, 0x00, 0xFA, 0xCF, 0x21, 0x00, 0xFA, 0xCF, 0xA4, 0x02, 0x00, 0x00, // 15-21
  };
  ASSERT_GE(table.size(), header.size());
  EXPECT_EQ(Bytes(table.begin(), table.begin() + 52), header);
}

TEST(MessageTable, EntriesFillTheTableAndEveryNamedCodeHasOne) {
  const Bytes table = Table();
  std::set<std::uint32_t> ids;
  std::size_t at = 52;
  for (const TableBlock &block : ReadBlocks(table)) {
    ASSERT_EQ(block.offset, at);
    for (std::uint32_t id = block.low; id <= block.high; ++id) {
      EXPECT_TRUE(ids.insert(id).second) << std::hex << id << " in two blocks";
      at += Le16(table, at);
    }
  }
  EXPECT_EQ(at, table.size()) << "no gaps, no tail";
  // Named: success, CAM_S_COMPLETED and the errors 0x01 to 0x21 except the
  // status-word errors 0x0E to 0x14 (0xCFFA0014 is not CAM_S_COMPLETED).
  std::set<std::uint32_t> named = {0u, static_cast<std::uint32_t>(CAM_S_COMPLETED)};
  for (std::uint32_t n = 0x01; n <= 0x21; ++n) {
    if (n < 0x0E || n > 0x14) {
      named.insert(0xCFFA0000u | n);
    }
  }
  EXPECT_EQ(ids, named);
}

// Every row of messages.txt: FormatMessageA gives it back, in any language and
// in Chinese Simplified, from an entry of 8-bit text ending in CR LF, then one
// to four NULs up to a multiple of four bytes.
class EveryMessage : public ::testing::TestWithParam<MessageRow> {};

TEST_P(EveryMessage, FormatsToItsRowFromAPaddedEightBitEntry) {
  const std::string expected = GetParam().text + "\r\n";
  EXPECT_EQ(Format(GetParam().code), expected);
  EXPECT_EQ(Format(GetParam().code, 0x0804), expected); // language 2052
  const Bytes entry = FindEntry(Table(), GetParam().code).value();
  EXPECT_EQ(Le16(entry, 2), 0u) << "flags: 8-bit text, not Unicode";
  const std::string text = EntryText(entry);
  EXPECT_TRUE(text.ends_with("\r\n"));
  const Bytes padding(entry.begin() + static_cast<std::ptrdiff_t>(4 + text.size()), entry.end());
  EXPECT_EQ(padding, Bytes(padding.size(), 0));
  EXPECT_TRUE(!padding.empty() && padding.size() <= 4 && entry.size() % 4 == 0) << padding.size();
}

INSTANTIATE_TEST_SUITE_P(MessagesTxt, EveryMessage,
                         ::testing::ValuesIn(ReadMessageRows(TAVELO_MESSAGES_TXT)),
                         [](const auto &info) { return info.param.name; });

TEST(MessageTable, SuccessAndCompletedGiveTheSameText) {
  EXPECT_EQ(Format(0), "该相机功能成功地完成。\r\n");
  EXPECT_EQ(Format(static_cast<DWORD>(CAM_S_COMPLETED)), Format(0));
}

TEST(MessageTable, FileNotFoundKeepsItsInsertOrFillsItFromAnArgumentArray) {
  const auto code = static_cast<DWORD>(CAM_E_FILE_NOT_FOUND);
  EXPECT_EQ(Format(code), "在相机中找不到请求的文件 %1.\r\n");
  const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>("IMG_0001.JPG")};
  EXPECT_EQ(Format(code, 0, FORMAT_MESSAGE_ARGUMENT_ARRAY, arguments),
            "在相机中找不到请求的文件 IMG_0001.JPG.\r\n");
}

TEST(MessageTable, StatusWordsWithoutANameHaveNoMessage) {
  // 0xCFFA0014 among them: it is not the success code 0x0FFA0014.
  for (const DWORD code : {0xCFFA0014u, 0xCFFA000Eu, 0xCFFA0022u}) {
    SetLastError(0);
    EXPECT_EQ(Format(code), "") << std::hex << code;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND)) << std::hex << code;
  }
}

TEST(MessageTable, ExactBytesOfTwoEntries) {
  const Bytes table = Table();
  // "放弃操作。": 4 header + 10 text + CR LF = 16 bytes, so a whole word of NULs.
  EXPECT_EQ(FindEntry(table, 0xCFFA0019u),
            (Bytes{0x14, 0x00, 0x00, 0x00, 0xB7, 0xC5, 0xC6, 0xFA, 0xB2, 0xD9,
                   0xD7, 0xF7, 0xA1, 0xA3, 0x0D, 0x0A, 0x00, 0x00, 0x00, 0x00}));
  // "在相机中找不到请求的文件 %1.": the insert stays ASCII; 34 bytes, 2 NULs.
  EXPECT_EQ(FindEntry(table, 0xCFFA0007u),
            (Bytes{0x24, 0x00, 0x00, 0x00, 0xD4, 0xDA, 0xCF, 0xE0, 0xBB, 0xFA, 0xD6, 0xD0,
                   0xD5, 0xD2, 0xB2, 0xBB, 0xB5, 0xBD, 0xC7, 0xEB, 0xC7, 0xF3, 0xB5, 0xC4,
                   0xCE, 0xC4, 0xBC, 0xFE, 0x20, 0x25, 0x31, 0x2E, 0x0D, 0x0A, 0x00, 0x00}));
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

TEST(MessageNames, AreTheRowsOfMessagesTxtWithTheirValuesInTheHeader) {
  std::set<std::pair<std::uint32_t, std::string>> fromText;
  std::set<std::pair<std::uint32_t, std::string>> generated;
  for (const MessageRow &row : ReadMessageRows(TAVELO_MESSAGES_TXT)) {
    fromText.insert({row.code, row.name});
  }
  for (const NamedCode &named : kNamedCodes) {
    EXPECT_EQ(named.tableCode, named.headerValue) << named.name;
    generated.insert({named.tableCode, named.name});
  }
  EXPECT_EQ(fromText, generated);
}

} // namespace
} // namespace tavelo::test
