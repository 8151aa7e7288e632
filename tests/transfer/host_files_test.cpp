// Copies between host files and the camera: only a complete download
// replaces a host file, host errors come back as Windows errors, and a
// host file that shrinks during an upload fails it.
#include "scripted_store.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/resource.h>
#include <unistd.h>

namespace tavelo::test {
namespace {

namespace fs = std::filesystem;

class HostFiles : public TransferTest {
protected:
  void SetUp() override {
    TransferTest::SetUp();
    std::string pattern = (fs::temp_directory_path() / "tavelo-host-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    target_ = folder_ / "photo.jpg";
    std::ofstream(target_) << "an older, longer file than the download " << std::string(20000, 'x');
  }
  void TearDown() override {
    fs::remove_all(folder_);
    TransferTest::TearDown();
  }
  HRESULT CopyFrom(const fs::path &to) {
    return TaveloCopyFileFromCamera(handle_, to.string().c_str(), &file_);
  }
  HRESULT CopyTo(const std::string &path, const FH &dir, const char *name) {
    made_ = &file_;
    return TaveloCopyFileToCamera(handle_, path.c_str(), &dir, name, &made_);
  }
  Bytes Target() const {
    std::ifstream in(target_, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  std::string HostFile(std::size_t size) {
    const fs::path path = folder_ / "host.bin";
    data_ = Pattern(size);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(data_.data()), static_cast<std::streamsize>(size));
    return path.string();
  }

  FH file_ = Handle("2:DCIM/IMG0001.JPG");
  FH dir_ = Handle("2:DCIM/");
  FH *made_ = nullptr;
  fs::path folder_;
  fs::path target_;
  Bytes data_;
};

TEST_F(HostFiles, OnlyACompleteDownloadReplacesTheHostFile) {
  const Bytes before = Target();
  watch_.cancelAt = 2;
  EXPECT_EQ(CopyFrom(target_), CAM_E_ABORTED);
  EXPECT_EQ(Target(), before);
  ASSERT_EQ(CopyFrom(target_), S_OK);
  EXPECT_EQ(Target(), store_.file);
}

TEST_F(HostFiles, DownloadHostErrorsAreWindowsErrors) {
  EXPECT_EQ(CopyFrom(folder_ / "missing" / "photo.jpg"), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(CopyFrom(folder_), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) << "a directory";
  EXPECT_EQ(TaveloCopyFileFromCamera(handle_, nullptr, &file_), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), {}), 1);
}

// A file that cannot be given its full size (here: past the process's file
// size limit) is removed rather than left short or full of zeros.
TEST_F(HostFiles, DownloadThatCannotBeWrittenInFullIsRemoved) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = 4096;
  auto *previous = std::signal(SIGXFSZ, SIG_IGN); // EFBIG instead of the end of the process
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const HRESULT result = CopyFrom(target_);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(result, HRESULT_FROM_WIN32(223)); // ERROR_FILE_TOO_LARGE
  EXPECT_FALSE(fs::exists(target_));
}

TEST_F(HostFiles, UploadTakesTheNewNameAndHandsOutItsHandleOnAnyNonNegativeResult) {
  store_.packetLimit = 1080; // chunks of 1000 bytes
  ASSERT_EQ(CopyTo(HostFile(2100), dir_, "COPY.BIN"), S_OK);
  EXPECT_STREQ(made_->path, "2:DCIM/COPY.BIN");
  TaveloCloseFile(handle_, made_);
  EXPECT_EQ(Content(), data_);
  store_.result = S_FALSE;
  EXPECT_EQ(CopyTo(HostFile(10), dir_, "ONE.BIN"), S_FALSE);
  ASSERT_NE(made_, nullptr);
  TaveloCloseFile(handle_, made_);
}

TEST_F(HostFiles, UploadHostAndNameRefusalsReachNoCamera) {
  const FH notADirectory = Handle("2:DCIM/A.JPG");
  const std::string missing = (folder_ / "missing.bin").string();
  const std::pair<HRESULT, HRESULT> cases[] = {
      {CopyTo(missing, dir_, "A.BIN"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
      {CopyTo((folder_ / "no" / "a.bin").string(), dir_, "A.BIN"),
       HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
      {CopyTo(folder_.string(), dir_, "A.BIN"), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
      {CopyTo(HostFile(0), dir_, "A.BIN"), HRESULT_FROM_WIN32(1006)}, // an empty file: no mapping
      {CopyTo(missing, dir_, "THIRTEENCHARS"), CAM_E_LONG_NAME},      // before the host file
      {CopyTo(HostFile(10), notADirectory, "A.BIN"), CAM_E_BAD_PARAMETER},
  };
  for (const auto &[got, expected] : cases) {
    EXPECT_EQ(got, expected);
  }
  EXPECT_EQ(made_, nullptr);
  EXPECT_TRUE(Untouched());
}

TEST_F(HostFiles, HostFileCutShortDuringTheUploadFailsInsteadOfFaulting) {
  store_.packetLimit = 4096 + 80; // a page per chunk
  const std::string path = HostFile(2 * 4096 + 100);
  // After the first chunk someone truncates the host file: the mapped
  // pages behind the first are gone.
  watch_.onEvent = [&path] { ASSERT_EQ(truncate(path.c_str(), 0), 0); };
  EXPECT_EQ(CopyTo(path, dir_, "CUT.BIN"), HRESULT_FROM_WIN32(30)); // ERROR_READ_FAULT
  EXPECT_EQ(made_, nullptr);
  EXPECT_EQ(store_.written.size(), 1u);
}

} // namespace
} // namespace tavelo::test
