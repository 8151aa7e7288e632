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
#include <string>
#include <utility>
#include <vector>

namespace {

// "相机" in code page 936.
const std::string kCameraGbk = "\xCF\xE0\xBB\xFA\r\n";

// An entry's text flags (0: 8-bit, 1: UTF-16) and bytes; a block's lowest id
// and entries.
using Entry = std::pair<std::uint16_t, std::string>;
using Block = std::pair<std::uint32_t, std::vector<Entry>>;

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
    const auto &[low, entries] = blocks[b];
    put32(out, 4 + 12 * b, low);
    put32(out, 8 + 12 * b, low + static_cast<std::uint32_t>(entries.size()) - 1);
    put32(out, 12 + 12 * b, static_cast<std::uint32_t>(out.size()));
    for (const auto &[flags, bytes] : entries) {
      std::string text = bytes;
      text.append(4 - text.size() % 4, '\0'); // terminated and padded
      const std::size_t at = out.size();
      out.resize(at + 4);
      put32(out, at, static_cast<std::uint32_t>(4 + text.size()) | (std::uint32_t{flags} << 16));
      out.insert(out.end(), text.begin(), text.end());
    }
  }
  return out;
}

// The bytes of UTF-16 text in memory order (little-endian on the test hosts).
std::string utf16(const std::u16string &text) {
  return std::string(reinterpret_cast<const char *>(text.data()), 2 * text.size());
}

constexpr DWORD kNoInserts = FORMAT_MESSAGE_IGNORE_INSERTS;

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
                     {0xCFFA0005, {{0, "five\r\n"}, {0, "six\r\n"}}},
                     {0xCFFA0015, {{1, utf16(u"宽 %1 and %2!d!\r\n")}, {0, kCameraGbk}}}}));
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

  // Formats `id` into `room` bytes; returns the text, or an empty text and
  // the error number.
  std::pair<std::string, DWORD> format(DWORD id, DWORD flags, DWORD language, DWORD room, ...) {
    va_list arguments;
    va_start(arguments, room);
    std::string buffer(room + 1, 'x');
    SetLastError(0);
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | flags, module_, id, language,
                                        buffer.data(), room, &arguments);
    va_end(arguments);
    EXPECT_EQ(buffer[length], length > 0 ? '\0' : 'x'); // terminated, or untouched
    EXPECT_EQ(buffer[room], 'x');
    return {buffer.substr(0, length), length == 0 ? GetLastError() : 0};
  }

  HMODULE module_ = nullptr;
  test_set_message_table_fn set_table_ = nullptr;
  std::unique_ptr<unsigned char[]> table_;
};

TEST_F(MessageTable, FormatsEntriesOrReportsWhyNot) {
  const struct {
    DWORD id, flags, language, room;
    const char *text;
    DWORD error;
  } cases[] = {
      {0, kNoInserts, 0, 256, "ok\r\n", 0},
      {0xCFFA0016, kNoInserts, 0, 256, "相机\r\n", 0},
      {0xCFFA0015, 0, 0, 256, "宽 IMG_0001.JPG and 42\r\n", 0},
      {0xCFFA0015, kNoInserts, 0, 256, "宽 %1 and %2!d!\r\n", 0},
      {0xCFFA0006, FORMAT_MESSAGE_MAX_WIDTH_MASK, 0, 256, "six ", 0},
      {0xCFFA0005, kNoInserts, 0, 7, "five\r\n", 0}, // just room for the terminator
      {0xCFFA0005, kNoInserts, 0, 6, "", ERROR_INSUFFICIENT_BUFFER},
      {0xCFFA000E, kNoInserts, 0, 256, "", ERROR_MR_MID_NOT_FOUND}, // between blocks
      {0x0FFA0015, kNoInserts, 0, 256, "", ERROR_MR_MID_NOT_FOUND}, // other high bits
      {0, kNoInserts, 0x0409, 256, "", ERROR_RESOURCE_LANG_NOT_FOUND},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.id << " " << c.flags << " " << c.room);
    EXPECT_EQ(format(c.id, c.flags, c.language, c.room, "IMG_0001.JPG", 42),
              std::make_pair(std::string(c.text), c.error));
  }
  std::array<char, 64> buffer{}; // inserts but no arguments
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, module_, 0xCFFA0015, 0, buffer.data(), 64,
                           nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(FormatFromString, ExpandsEscapesAndTypedInsertsFromAnArgumentArray) {
  std::array<char, 128> buffer{};
  const std::array<DWORD_PTR, 3> arguments = {reinterpret_cast<DWORD_PTR>("cam"), 255, 7};
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                           "%1: %2!04X! %3!-3d!|%%%n%t%!%0 never shown", 0, 0, buffer.data(), 128,
                           reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(arguments.data()))),
            19u);
  EXPECT_STREQ(buffer.data(), "cam: 00FF 7  |%\r\n\t!");
}

TEST_F(MessageTable, CorruptTablesAreReportedWithoutReadingOutsideThem) {
  const auto good = build_table({{0xCFFA0005, {{0, "five\r\n"}, {0, "six\r\n"}}}});
  auto cut = [&](std::size_t keep) {
    return std::vector<unsigned char>(good.begin(), good.begin() + static_cast<long>(keep));
  };
  auto patch = [&](std::size_t at, std::uint32_t value) {
    auto table = good;
    put32(table, at, value);
    return table;
  };
  const std::vector<unsigned char> tables[] = {{},                    // empty
                                               cut(10),               // block record cut
                                               cut(16 + 12 + 2),      // entry header cut
                                               cut(16 + 12 + 6),      // entry text cut
                                               patch(0, 0x40000000),  // absurd block count
                                               patch(12, 0xFFFFFFF0), // entries outside the table
                                               patch(16, 0x0000FFFF), // entry longer than the table
                                               patch(16, 0x00000000), // zero-length entry
                                               patch(28, 0x0007000C)}; // unknown text flags
  for (std::size_t i = 0; i < std::size(tables); ++i) {
    SCOPED_TRACE(i);
    use(tables[i]);
    EXPECT_NE(format(0xCFFA0006, kNoInserts, 0, 256).second, 0u);
  }
}

TEST_F(MessageTable, ModulesAreFoundByTheirWindowsNamesAndUnknownOnesRefused) {
  EXPECT_EQ(LoadLibraryA("TAVELOMSGTEST.DLL"), module_);
  EXPECT_TRUE(FreeLibrary(module_));
  EXPECT_EQ(GetModuleHandleA("tavelomsgtest"), module_);
  EXPECT_EQ(GetProcAddress(module_, "no_such_function"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(LoadLibraryA("NoSuchModuleAnywhere"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  const HMODULE table = module_;
  int not_a_module = 0;
  module_ = reinterpret_cast<HMODULE>(&not_a_module);
  EXPECT_EQ(format(5, kNoInserts, 0, 64).second, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // The program has no table and there is no system table.
  module_ = nullptr;
  EXPECT_EQ(format(5, kNoInserts | FORMAT_MESSAGE_FROM_SYSTEM, 0, 64).second,
            static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  // This module has no table of its own; the one it depends on has id 0.
  module_ = LoadLibraryA(TEST_NOT_PLUGIN_PATH);
  ASSERT_NE(module_, nullptr);
  EXPECT_EQ(format(0, kNoInserts, 0, 64).second, static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
  EXPECT_TRUE(FreeLibrary(module_));
  module_ = table;
}

} // namespace
