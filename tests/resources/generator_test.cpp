// mkmsgtable on inputs of its own: how ids become blocks, padding, and the
// inputs it refuses.
#include "message_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace tavelo::test {
namespace {

namespace fs = std::filesystem;

class Generator : public ::testing::Test {
protected:
  void SetUp() override {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("tavelo-mkmsgtable-" + std::to_string(getpid()) + "-" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the generator on the given messages.txt content; returns its exit
  // status.
  int Run(const std::string &input) {
    {
      std::ofstream out(dir_ / "in.txt", std::ios::binary);
      out << input;
    }
    const std::string command = std::string(TAVELO_MKMSGTABLE) + " --input " +
                                (dir_ / "in.txt").string() + " --blob " + Blob().string() + " 2>" +
                                (dir_ / "stderr.txt").string();
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  fs::path Blob() const { return dir_ / "out.bin"; }

  fs::path dir_;
};

TEST_F(Generator, RunsOfConsecutiveIdsBecomeBlocksInIdOrder) {
  ASSERT_EQ(Run("0x00000007\tC\tc\n"
                "0x00000001\tA\ta\n"
                "0x00000002\tB\tb\n"
                "0x80000000\tD\td\n"),
            0);
  const auto table = ReadFileBytes(Blob().string());
  const auto blocks = ReadBlocks(table);
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0].low, 1u);
  EXPECT_EQ(blocks[0].high, 2u);
  EXPECT_EQ(blocks[1].low, 7u);
  EXPECT_EQ(blocks[1].high, 7u);
  EXPECT_EQ(blocks[2].low, 0x80000000u);
  EXPECT_EQ(blocks[2].high, 0x80000000u);
  EXPECT_EQ(blocks[0].offset, 4u + 3 * 12);
  ASSERT_TRUE(FindEntry(table, 7).has_value());
  EXPECT_EQ(EntryText(*FindEntry(table, 7)), "c\r\n");
  EXPECT_EQ(EntryText(*FindEntry(table, 0x80000000u)), "d\r\n");
  EXPECT_FALSE(FindEntry(table, 3).has_value());
}

TEST_F(Generator, TextThatFillsFourBytesStillGetsATerminator) {
  // "ab" + CR LF + the 4-byte header is 8 bytes: a whole word of NULs follows.
  ASSERT_EQ(Run("0x00000001\tA\tab\n"), 0);
  const auto table = ReadFileBytes(Blob().string());
  const auto entry = FindEntry(table, 1);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->bytes,
            (std::vector<std::uint8_t>{12, 0, 0, 0, 'a', 'b', '\r', '\n', 0, 0, 0, 0}));
}

TEST_F(Generator, AcceptsCrLfLineEndsAndComments) {
  ASSERT_EQ(Run("# comment\r\n\r\n0x00000001\tA\txyz\r\n"), 0);
  const auto table = ReadFileBytes(Blob().string());
  ASSERT_TRUE(FindEntry(table, 1).has_value());
  EXPECT_EQ(EntryText(*FindEntry(table, 1)), "xyz\r\n");
}

struct BadInput {
  const char *name;
  const char *content;
};

void PrintTo(const BadInput &input, std::ostream *out) {
  *out << input.name;
}

class GeneratorRefuses : public Generator, public ::testing::WithParamInterface<BadInput> {};

TEST_P(GeneratorRefuses, ExitsWithErrorAndWritesNothing) {
  EXPECT_EQ(Run(GetParam().content), 1);
  EXPECT_FALSE(fs::exists(Blob()));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, GeneratorRefuses,
    ::testing::Values(BadInput{"Empty", "# nothing\n"}, BadInput{"MissingText", "0x00000001\tA\n"},
                      BadInput{"EmptyText", "0x00000001\tA\t\n"},
                      BadInput{"ShortCode", "0x1\tA\ta\n"},
                      BadInput{"BadHex", "0x0000000G\tA\ta\n"},
                      BadInput{"NameNotIdentifier", "0x00000001\tA B\ta\n"},
                      BadInput{"DuplicateCode", "0x00000001\tA\ta\n0x00000001\tB\tb\n"},
                      BadInput{"DuplicateName", "0x00000001\tA\ta\n0x00000002\tA\tb\n"},
                      BadInput{"NotInCodePage936", "0x00000001\tA\t\xF0\x9F\x98\x80\n"},
                      BadInput{"InvalidUtf8", "0x00000001\tA\t\xFF\xFE\n"}),
    [](const ::testing::TestParamInfo<BadInput> &info) { return std::string(info.param.name); });

} // namespace
} // namespace tavelo::test
