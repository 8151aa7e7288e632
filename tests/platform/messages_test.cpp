// FormatMessageA over a handcrafted message table in a test module, and the
// module functions it relies on.
#include "test_modules.h"

#include "tavelo/tavelort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

// "在相机中找不到请求的文件 %1." and "相机" in code page 936.
const std::string kNotFoundGbk = "\xD4\xDA\xCF\xE0\xBB\xFA\xD6\xD0\xD5\xD2\xB2\xBB\xB5\xBD\xC7\xEB"
                                 "\xC7\xF3\xB5\xC4\xCE\xC4\xBC\xFE %1.\r\n";
const std::string kCameraGbk = "\xCF\xE0\xBB\xFA\r\n";

struct Entry {
  std::uint16_t flags; // 0: 8-bit, 1: UTF-16
  std::string bytes;
};

struct Block {
  std::uint32_t low;
  std::vector<Entry> entries;
};

void put32(std::vector<unsigned char> &out, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
  }
}

// Lays blocks out as the resource compiler does: header, block records, then
// each block's entries with their text padded to four bytes.
std::vector<unsigned char> build_table(const std::vector<Block> &blocks) {
  std::vector<unsigned char> out(4 + 12 * blocks.size());
  put32(out, 0, static_cast<std::uint32_t>(blocks.size()));
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const std::size_t record = 4 + 12 * b;
    put32(out, record, blocks[b].low);
    put32(out, record + 4,
          blocks[b].low + static_cast<std::uint32_t>(blocks[b].entries.size()) - 1);
    put32(out, record + 8, static_cast<std::uint32_t>(out.size()));
    for (const Entry &entry : blocks[b].entries) {
      std::string text = entry.bytes;
      do {
        text.push_back('\0');
      } while ((text.size() % 4) != 0);
      const auto length = static_cast<std::uint16_t>(4 + text.size());
      out.push_back(static_cast<unsigned char>(length));
      out.push_back(static_cast<unsigned char>(length >> 8));
      out.push_back(static_cast<unsigned char>(entry.flags));
      out.push_back(0);
      out.insert(out.end(), text.begin(), text.end());
    }
  }
  return out;
}

std::string utf16le(const std::u16string &text) {
  std::string out;
  for (const char16_t unit : text) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  }
  return out;
}

class MessageTable : public testing::Test {
protected:
  void SetUp() override {
    module_ = LoadLibraryA("TaveloMsgTest"); // libtavelomsgtest.so beside the runtime
    ASSERT_NE(module_, nullptr);
    // Through a plain function pointer type: FARPROC has another signature.
    set_table_ = reinterpret_cast<test_set_message_table_fn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module_, TEST_SET_MESSAGE_TABLE)));
    ASSERT_NE(set_table_, nullptr);
    use(build_table({{0x00000000, {{0, "ok\r\n"}}},
                     {0xCFFA0005, {{0, "five\r\n"}, {0, "six\r\n"}, {0, kNotFoundGbk}}},
                     {0xCFFA0015, {{1, utf16le(u"宽 %1 and %2!d!\r\n")}, {0, kCameraGbk}}}}));
  }
  void TearDown() override {
    if (set_table_ != nullptr) {
      set_table_(nullptr, 0);
    }
    if (module_ != nullptr) {
      EXPECT_TRUE(FreeLibrary(module_));
    }
  }

  // Keeps the table in a block of exactly its size, so the sanitizer build
  // catches any read past its end.
  void use(const std::vector<unsigned char> &table) {
    table_ = std::make_unique<unsigned char[]>(table.size());
    std::copy(table.begin(), table.end(), table_.get());
    set_table_(table_.get(), table.size());
  }

  // Formats `id` into a 256-byte buffer; returns the text, or the error
  // number in `error` and an empty text.
  std::string format(DWORD id, DWORD flags = 0, DWORD language = 0, DWORD *error = nullptr, ...) {
    va_list arguments;
    va_start(arguments, error);
    std::array<char, 256> buffer{};
    SetLastError(0);
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | flags, module_, id, language, buffer.data(),
                       static_cast<DWORD>(buffer.size()), &arguments);
    va_end(arguments);
    if (error != nullptr) {
      *error = length == 0 ? GetLastError() : 0;
    }
    EXPECT_EQ(length, std::char_traits<char>::length(buffer.data()));
    return std::string(buffer.data(), length);
  }

  HMODULE module_ = nullptr;
  test_set_message_table_fn set_table_ = nullptr;
  std::unique_ptr<unsigned char[]> table_;
};

TEST_F(MessageTable, FindsEntriesInEveryBlock) {
  EXPECT_EQ(format(0, FORMAT_MESSAGE_IGNORE_INSERTS), "ok\r\n");
  EXPECT_EQ(format(0xCFFA0005, FORMAT_MESSAGE_IGNORE_INSERTS), "five\r\n");
  EXPECT_EQ(format(0xCFFA0006, FORMAT_MESSAGE_IGNORE_INSERTS), "six\r\n");
  EXPECT_EQ(format(0xCFFA0016, FORMAT_MESSAGE_IGNORE_INSERTS), "相机\r\n");
}

TEST_F(MessageTable, ConvertsCodePage936AndFillsInserts) {
  EXPECT_EQ(format(0xCFFA0007, 0, 2052, nullptr, "IMG_0001.JPG"),
            "在相机中找不到请求的文件 IMG_0001.JPG.\r\n");
  EXPECT_EQ(format(0xCFFA0015, 0, 0, nullptr, "x", 42), "宽 x and 42\r\n");
}

TEST_F(MessageTable, IgnoreInsertsKeepsThemLiterally) {
  EXPECT_EQ(format(0xCFFA0007, FORMAT_MESSAGE_IGNORE_INSERTS), "在相机中找不到请求的文件 %1.\r\n");
  EXPECT_EQ(format(0xCFFA0015, FORMAT_MESSAGE_IGNORE_INSERTS), "宽 %1 and %2!d!\r\n");
}

TEST_F(MessageTable, MaximumWidthTurnsLineBreaksIntoSpaces) {
  EXPECT_EQ(format(0xCFFA0006, FORMAT_MESSAGE_MAX_WIDTH_MASK), "six ");
}

TEST_F(MessageTable, InsertsWithoutArgumentsAreRefused) {
  std::array<char, 64> buffer{};
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, module_, 0xCFFA0007, 0, buffer.data(), 64,
                           nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(MessageTable, MissingIdsAndOtherLanguagesAreReported) {
  DWORD error = 0;
  EXPECT_EQ(format(0xCFFA000E, FORMAT_MESSAGE_IGNORE_INSERTS, 0, &error), "");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  EXPECT_EQ(format(0x0FFA0014, FORMAT_MESSAGE_IGNORE_INSERTS, 0, &error), "");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  EXPECT_EQ(format(0, FORMAT_MESSAGE_IGNORE_INSERTS, 0x0409, &error), "");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST_F(MessageTable, ShortBufferIsReportedAndUntouched) {
  std::array<char, 8> buffer{};
  buffer.fill('x');
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module_,
                           0xCFFA0005, 0, buffer.data(), 6, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(buffer[0], 'x');
  // "five\r\n" needs seven bytes with its terminator.
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module_,
                           0xCFFA0005, 0, buffer.data(), 7, nullptr),
            6u);
}

TEST_F(MessageTable, AllocatesTheBufferWhenAsked) {
  char *text = nullptr;
  const char *argument = "A.JPG";
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                          FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                      module_, 0xCFFA0007, 0, reinterpret_cast<LPSTR>(&text), 0,
                                      reinterpret_cast<va_list *>(&argument));
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), "在相机中找不到请求的文件 A.JPG.\r\n");
  EXPECT_EQ(length, std::char_traits<char>::length(text));
  EXPECT_EQ(LocalFree(text), nullptr);
}

struct Corruption {
  const char *name;
  std::vector<unsigned char> table;
};

void PrintTo(const Corruption &value, std::ostream *out) {
  *out << value.name;
}

class CorruptTable : public MessageTable, public testing::WithParamInterface<Corruption> {};

TEST_P(CorruptTable, IsReportedWithoutReadingOutsideIt) {
  use(GetParam().table);
  DWORD error = 0;
  EXPECT_EQ(format(0xCFFA0006, FORMAT_MESSAGE_IGNORE_INSERTS, 0, &error), "");
  EXPECT_NE(error, 0u);
}

std::vector<unsigned char> truncated(std::size_t keep) {
  auto table = build_table({{0xCFFA0005, {{0, "five\r\n"}, {0, "six\r\n"}}}});
  table.resize(keep);
  return table;
}

std::vector<unsigned char> patched(std::size_t at, std::uint32_t value) {
  auto table = build_table({{0xCFFA0005, {{0, "five\r\n"}, {0, "six\r\n"}}}});
  put32(table, at, value);
  return table;
}

INSTANTIATE_TEST_SUITE_P(
    MessageTable, CorruptTable,
    testing::Values(Corruption{"Empty", {}}, Corruption{"CountCut", {1, 0}},
                    Corruption{"BlockRecordCut", truncated(10)},
                    Corruption{"EntryHeaderCut", truncated(16 + 12 + 2)},
                    Corruption{"EntryTextCut", truncated(16 + 12 + 6)},
                    Corruption{"AbsurdBlockCount", patched(0, 0x40000000)},
                    Corruption{"EntriesOutside", patched(12, 0xFFFFFFF0)},
                    Corruption{"EntryLongerThanTable", patched(16, 0x0000FFFF)},
                    Corruption{"ZeroLengthEntry", patched(16, 0x00000000)},
                    Corruption{"UnknownTextFlags", patched(28, 0x0007000C)}),
    [](const testing::TestParamInfo<Corruption> &info) { return std::string(info.param.name); });

TEST(Modules, MapWindowsNamesToSharedObjects) {
  const HMODULE by_name = LoadLibraryA("TaveloMsgTest");
  ASSERT_NE(by_name, nullptr);
  const HMODULE with_suffix = LoadLibraryA("TAVELOMSGTEST.DLL");
  EXPECT_EQ(with_suffix, by_name);
  EXPECT_EQ(GetModuleHandleA("tavelomsgtest"), by_name);
  EXPECT_EQ(GetProcAddress(by_name, "no_such_function"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_TRUE(FreeLibrary(with_suffix));
  EXPECT_TRUE(FreeLibrary(by_name));
  EXPECT_EQ(LoadLibraryA("NoSuchModuleAnywhere"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(Modules, TheCameraLibraryIsFoundByItsWindowsName) {
  const HMODULE library = LoadLibraryA("TAVELOCAM");
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(GetModuleHandleA("TaveloCam.dll"), library);
  EXPECT_TRUE(FreeLibrary(library));
  EXPECT_FALSE(FreeLibrary(library)); // no load left to give back
}

TEST(Modules, FormatMessageRefusesUnknownHandlesAndTablesOfDependencies) {
  std::array<char, 64> buffer{};
  int not_a_module = 0;
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                           &not_a_module, 0, 0, buffer.data(), 64, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // The program has no table and there is no system table.
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, 5, 0, buffer.data(), 64, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));

  // This module has no table of its own; the one it depends on has.
  const HMODULE module = LoadLibraryA(TEST_NOT_PLUGIN_PATH);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module, 0,
                           0, buffer.data(), 64, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
  EXPECT_TRUE(FreeLibrary(module));
}

TEST(FormatFromString, ExpandsEscapesAndTypedInserts) {
  std::array<char, 128> buffer{};
  const std::array<DWORD_PTR, 3> arguments = {reinterpret_cast<DWORD_PTR>("cam"), 255, 7};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                     "%1: %2!04X! %3!-3d!|%%%n%t%!%0 never shown", 0, 0, buffer.data(), 128,
                     reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(arguments.data())));
  EXPECT_EQ(std::string(buffer.data(), length), "cam: 00FF 7  |%\r\n\t!");
}

} // namespace
