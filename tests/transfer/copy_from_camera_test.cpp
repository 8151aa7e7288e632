// Downloads into host files: the file is replaced only by a complete copy,
// and host errors come back as Windows errors.
#include "scripted_store.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/resource.h>

namespace tavelo::test {
namespace {

namespace fs = std::filesystem;

class CopyFromCamera : public TransferTest {
protected:
  void SetUp() override {
    TransferTest::SetUp();
    std::string pattern = (fs::temp_directory_path() / "tavelo-download-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    fs::remove_all(folder_);
    TransferTest::TearDown();
  }
  HRESULT Copy(const fs::path &to) {
    return TaveloCopyFileFromCamera(handle_, to.string().c_str(), &file_);
  }
  static Bytes Read(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  static void Write(const fs::path &path, const Bytes &content) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(content.data()),
               static_cast<std::streamsize>(content.size()));
  }

  FH file_ = Handle("2:DCIM/IMG0001.JPG");
  fs::path folder_;
};

TEST_F(CopyFromCamera, ReplacesAnExistingFileWithTheWholeDownload) {
  const fs::path target = folder_ / "photo.jpg";
  Write(target, Pattern(20000, 5));
  ASSERT_EQ(Copy(target), S_OK);
  EXPECT_EQ(Read(target), store_.file);
}

TEST_F(CopyFromCamera, FailedDownloadLeavesTheHostFileAsItWas) {
  const fs::path target = folder_ / "photo.jpg";
  const Bytes before = Pattern(20000, 5);
  Write(target, before);
  watch_.cancelAtEvent = 2;
  EXPECT_EQ(Copy(target), CAM_E_ABORTED);
  EXPECT_EQ(Read(target), before);
}

TEST_F(CopyFromCamera, HostErrorsAreWindowsErrors) {
  EXPECT_EQ(Copy(folder_ / "missing" / "photo.jpg"), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Copy(folder_), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) << "a directory";
  EXPECT_EQ(TaveloCopyFileFromCamera(handle_, nullptr, &file_), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(fs::is_empty(folder_));
}

// A file that cannot be given its full size (here: over the process's file
// size limit) is removed again rather than left short or full of zeros.
TEST_F(CopyFromCamera, FileThatCannotBeWrittenInFullIsRemoved) {
  const fs::path target = folder_ / "photo.jpg";
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = 4096;
  auto *previous = std::signal(SIGXFSZ, SIG_IGN); // report EFBIG instead of ending the process
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const HRESULT result = Copy(target);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(result, HRESULT_FROM_WIN32(223)); // ERROR_FILE_TOO_LARGE
  EXPECT_FALSE(fs::exists(target));
}

} // namespace
} // namespace tavelo::test
