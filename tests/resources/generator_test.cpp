// mkmsgtable on inputs of its own: ids sorted into blocks of consecutive
// runs, and the inputs it refuses.
#include "message_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace tavelo::test {
namespace {

namespace fs = std::filesystem;

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

} // namespace
} // namespace tavelo::test
