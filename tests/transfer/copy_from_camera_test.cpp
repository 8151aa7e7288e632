// Downloads into host files: only a complete copy replaces the file, and
// host errors come back as Windows errors.
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
    target_ = folder_ / "photo.jpg";
    std::ofstream(target_) << "an older, longer file than the download " << std::string(20000, 'x');
  }
  void TearDown() override {
    fs::remove_all(folder_);
    TransferTest::TearDown();
  }
  HRESULT Copy(const fs::path &to) {
    return TaveloCopyFileFromCamera(handle_, to.string().c_str(), &file_);
  }
  Bytes Target() const {
    std::ifstream in(target_, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  FH file_ = Handle("2:DCIM/IMG0001.JPG");
  fs::path folder_;
  fs::path target_;
};

TEST_F(CopyFromCamera, OnlyACompleteDownloadReplacesTheHostFile) {
  const Bytes before = Target();
  watch_.cancelAt = 2;
  EXPECT_EQ(Copy(target_), CAM_E_ABORTED);
  EXPECT_EQ(Target(), before);
  ASSERT_EQ(Copy(target_), S_OK);
  EXPECT_EQ(Target(), store_.file);
}

TEST_F(CopyFromCamera, HostErrorsAreWindowsErrors) {
  EXPECT_EQ(Copy(folder_ / "missing" / "photo.jpg"), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Copy(folder_), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) << "a directory";
  EXPECT_EQ(TaveloCopyFileFromCamera(handle_, nullptr, &file_), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), {}), 1);
}

// A file that cannot be given its full size (here: past the process's file
// size limit) is removed rather than left short or full of zeros.
TEST_F(CopyFromCamera, FileThatCannotBeWrittenInFullIsRemoved) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = 4096;
  auto *previous = std::signal(SIGXFSZ, SIG_IGN); // EFBIG instead of the end of the process
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const HRESULT result = Copy(target_);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(result, HRESULT_FROM_WIN32(223)); // ERROR_FILE_TOO_LARGE
  EXPECT_FALSE(fs::exists(target_));
}

} // namespace
} // namespace tavelo::test
