// The message table in libtavelocam.so: its bytes, its texts as FormatMessageA
// gives them (on POSIX converted back to UTF-8 by the platform runtime, so each
// text makes the round trip), that messages.txt agrees with tavelocam.h, and
// the generator on inputs of its own. The readers below are written apart from
// the generator so that they check it.
#include "tavelo/win32.h"
#include "tavelocam.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef _WIN32
// TAVELOCAM.dll's message table (type 11, id 1, language 2052).
extern "C" const unsigned char *tavelort_message_table(size_t *size) {
  const HMODULE module = LoadLibraryA("TAVELOCAM");
  const HRSRC found = FindResourceExA(module, MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(1), 2052);
  if (size != nullptr) {
    *size = SizeofResource(module, found);
  }
  return static_cast<const unsigned char *>(LockResource(LoadResource(module, found)));
}
#else
// The accessor libtavelocam.so exports for the platform runtime's FormatMessageA.
extern "C" const unsigned char *tavelort_message_table(size_t *size);
#endif

namespace tavelo::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct MessageRow {
  std::uint32_t code;
  std::string name;
  std::string text; // UTF-8, without CR LF
};

// The rows of messages.txt in file order: code, name and text between tabs.
std::vector<MessageRow> ReadMessageRows(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<MessageRow> rows;
  for (std::string line, code; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') {
      std::istringstream fields(line);
      MessageRow &row = rows.emplace_back();
      std::getline(std::getline(std::getline(fields, code, '\t'), row.name, '\t'), row.text);
      row.code = static_cast<std::uint32_t>(std::stoul(code, nullptr, 16));
    }
  }
  return rows;
}

Bytes ReadFileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t Le16(const Bytes &bytes, std::size_t offset) {
  return bytes.at(offset) | bytes.at(offset + 1) << 8;
}

std::uint32_t Le32(const Bytes &bytes, std::size_t offset) {
  return Le16(bytes, offset) | Le16(bytes, offset + 2) << 16;
}

struct TableBlock {
  std::uint32_t low, high, offset;
};

std::vector<TableBlock> ReadBlocks(const Bytes &table) {
  std::vector<TableBlock> blocks(Le32(table, 0));
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    blocks[i] = {Le32(table, 4 + 12 * i), Le32(table, 8 + 12 * i), Le32(table, 12 + 12 * i)};
  }
  return blocks;
}

// The whole entry of id, header included, found the way FormatMessageA finds
// it: through the block that holds the id and the entry lengths before it.
std::optional<Bytes> FindEntry(const Bytes &table, std::uint32_t id) {
  for (const TableBlock &block : ReadBlocks(table)) {
    if (id >= block.low && id <= block.high) {
      std::size_t at = block.offset;
      for (std::uint32_t skip = block.low; skip != id; ++skip) {
        at += Le16(table, at);
      }
      const std::size_t length = Le16(table, at);
      if (length < 4 || at + length > table.size()) {
        throw std::runtime_error("entry runs past the table");
      }
      const auto begin = table.begin() + static_cast<std::ptrdiff_t>(at);
      return Bytes(begin, begin + static_cast<std::ptrdiff_t>(length));
    }
  }
  return std::nullopt;
}

// The entry's text up to its first NUL byte.
std::string EntryText(const Bytes &entry) {
  const auto text = entry.begin() + 4;
  return {text, std::find(text, entry.end(), 0)};
}

Bytes Table() {
  size_t size = 0;
  const unsigned char *bytes = tavelort_message_table(&size);
  return {bytes, bytes + size};
}

// FormatMessageA from libtavelocam.so, linked the way an application links
// it, into a fixed buffer: as many bytes as it returns, none when there is no
// message. Windows hands out the entry's own code page 936 bytes, the POSIX
// runtime UTF-8; the Windows text is converted so both compare in UTF-8.
std::string Format(DWORD code, DWORD language = 0, DWORD flags = FORMAT_MESSAGE_IGNORE_INSERTS,
                   const DWORD_PTR *arguments = nullptr) {
  static const HMODULE module = LoadLibraryA("TAVELOCAM");
  char buffer[512] = {};
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | flags, module, code, language, buffer, sizeof buffer,
      reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(arguments)));
#ifdef _WIN32
  WCHAR wide[512];
  const int units = MultiByteToWideChar(936, 0, buffer, static_cast<int>(length), wide, 512);
  return std::string(buffer, WideCharToMultiByte(CP_UTF8, 0, wide, units, buffer, sizeof buffer,
                                                 nullptr, nullptr));
#endif
  return std::string(buffer, length);
}

TEST(MessageTable, IsTheResourceFileAlignedToFourWithExactHeaderAndNoGaps) {
  // The same bytes go into TAVELOCAM.dll.
  const Bytes table = Table();
  EXPECT_EQ(table, ReadFileBytes(TAVELO_MESSAGE_BLOB));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(tavelort_message_table(nullptr)) % 4, 0u);
  // Four blocks of low id, high id and the offset of their first entry: the
  // named codes are success, CAM_S_COMPLETED and the errors 0x01 to 0x22
  // except the status-word errors 0x0E to 0x14.
  const Bytes header = {
      0x04, 0x00, 0x00, 0x00,                                                 // block count
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x34, 0x00, 0x00, 0x00, // 0
      0x14, 0x00, 0xFA, 0x0F, 0x14, 0x00, 0xFA, 0x0F, 0x54, 0x00, 0x00, 0x00, // 0x0FFA0014
      0x01, 0x00, 0xFA, 0xCF, 0x0D, 0x00, 0xFA, 0xCF, 0x74, 0x00, 0x00, 0x00, // 01-0D
      0x15, 0x00, 0xFA, 0xCF, 0x22, 0x00, 0xFA, 0xCF, 0xA4, 0x02, 0x00, 0x00, // 15-22
  };
  ASSERT_GE(table.size(), header.size());
  EXPECT_EQ(Bytes(table.begin(), table.begin() + 52), header);
  std::size_t at = header.size(); // each block's entries follow the one before
  for (const TableBlock &block : ReadBlocks(table)) {
    ASSERT_EQ(block.offset, at);
    for (std::uint32_t id = block.low; id <= block.high; ++id) {
      at += Le16(table, at);
    }
  }
  EXPECT_EQ(at, table.size()) << "no tail";
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

TEST(MessageTable, CompletedReadsAsSuccessAndFileNotFoundKeepsOrFillsItsInsert) {
  EXPECT_EQ(Format(0), "该相机功能成功地完成。\r\n");
  EXPECT_EQ(Format(static_cast<DWORD>(CAM_S_COMPLETED)), Format(0));
  const auto code = static_cast<DWORD>(CAM_E_FILE_NOT_FOUND);
  EXPECT_EQ(Format(code), "在相机中找不到请求的文件 %1.\r\n");
  const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>("IMG_0001.JPG")};
  EXPECT_EQ(Format(code, 0, FORMAT_MESSAGE_ARGUMENT_ARRAY, arguments),
            "在相机中找不到请求的文件 IMG_0001.JPG.\r\n");
  // Its bytes: code page 936, the insert left in ASCII; 34 bytes and 2 NULs.
  EXPECT_EQ(FindEntry(Table(), code),
            (Bytes{0x24, 0x00, 0x00, 0x00, 0xD4, 0xDA, 0xCF, 0xE0, 0xBB, 0xFA, 0xD6, 0xD0,
                   0xD5, 0xD2, 0xB2, 0xBB, 0xB5, 0xBD, 0xC7, 0xEB, 0xC7, 0xF3, 0xB5, 0xC4,
                   0xCE, 0xC4, 0xBC, 0xFE, 0x20, 0x25, 0x31, 0x2E, 0x0D, 0x0A, 0x00, 0x00}));
}

// The generated rows TAVELO_MESSAGE(code, name) only compile when every name
// in messages.txt is a constant of tavelocam.h.
TEST(MessageNames, AreTheRowsOfMessagesTxtWithTheirValuesInTheHeader) {
  struct NamedCode {
    std::uint32_t tableCode, headerValue;
    const char *name;
  } const named[] = {
#define TAVELO_MESSAGE(code, name) {code, static_cast<std::uint32_t>(name), #name},
#include "message_names.h"
#undef TAVELO_MESSAGE
  };
  std::set<std::pair<std::uint32_t, std::string>> fromText, generated;
  for (const MessageRow &row : ReadMessageRows(TAVELO_MESSAGES_TXT)) {
    fromText.insert({row.code, row.name});
  }
  for (const NamedCode &code : named) {
    EXPECT_EQ(code.tableCode, code.headerValue) << code.name;
    generated.insert({code.tableCode, code.name});
  }
  EXPECT_EQ(fromText, generated);
}

#ifndef _WIN32 // the generator is a program of the build machine
class Generator : public ::testing::Test {
protected:
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the generator on `input` as messages.txt; returns its exit status.
  int Run(const std::string &input) {
    fs::create_directories(dir_);
    std::ofstream(dir_ / "in.txt", std::ios::binary) << input;
    const std::string command = std::string(TAVELO_MKMSGTABLE) + " --input " +
                                (dir_ / "in.txt").string() + " --blob " + blob_.string() +
                                " 2>/dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Tests in one process run one after another.
  const fs::path dir_ =
      fs::temp_directory_path() / ("tavelo-mkmsgtable-" + std::to_string(getpid()));
  const fs::path blob_ = dir_ / "out.bin";
};

TEST_F(Generator, SortsIdsIntoBlocksOfConsecutiveRuns) {
  ASSERT_EQ(Run("# comment\r\n\r\n0x00000007\tC\tc\r\n0x00000001\tA\ta\n"
                "0x00000002\tB\tb\n0x80000000\tD\td\n"),
            0);
  const Bytes table = ReadFileBytes(blob_.string());
  std::vector<std::uint32_t> ranges;
  for (const TableBlock &block : ReadBlocks(table)) {
    ranges.insert(ranges.end(), {block.low, block.high});
  }
  EXPECT_EQ(ranges, (std::vector<std::uint32_t>{1, 2, 7, 7, 0x80000000u, 0x80000000u}));
  EXPECT_EQ(EntryText(FindEntry(table, 7).value()), "c\r\n");
  EXPECT_EQ(EntryText(FindEntry(table, 0x80000000u).value()), "d\r\n");
}

class GeneratorRefuses
    : public Generator,
      public ::testing::WithParamInterface<std::pair<const char *, const char *>> {};

TEST_P(GeneratorRefuses, ExitsWithErrorAndWritesNothing) {
  EXPECT_EQ(Run(GetParam().second), 1);
  EXPECT_FALSE(fs::exists(blob_));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, GeneratorRefuses,
    ::testing::Values(std::pair{"Empty", "# nothing\n"},
                      std::pair{"MissingText", "0x00000001\tA\n"},
                      std::pair{"EmptyText", "0x00000001\tA\t\n"},
                      std::pair{"ShortCode", "0x1\tA\ta\n"},
                      std::pair{"BadHex", "0x0000000G\tA\ta\n"},
                      std::pair{"NameNotIdentifier", "0x00000001\tA B\ta\n"},
                      std::pair{"DuplicateCode", "0x00000001\tA\ta\n0x00000001\tB\tb\n"},
                      std::pair{"DuplicateName", "0x00000001\tA\ta\n0x00000002\tA\tb\n"},
                      std::pair{"NotInCodePage936", "0x00000001\tA\t\xF0\x9F\x98\x80\n"},
                      std::pair{"InvalidUtf8", "0x00000001\tA\t\xFF\xFE\n"}),
    [](const auto &info) { return std::string(info.param.first); });
#endif

} // namespace
} // namespace tavelo::test
