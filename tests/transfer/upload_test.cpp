// Uploads on the wire: the delete first, chunk sizes and fields, progress,
// cancel and new file handles; and copies between host files and the
// camera: only a complete download replaces a host file, host errors come
// back as Windows errors, and a host file that shrinks during an upload
// fails it.
#include "scripted_store.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace tavelo::test {
namespace {

namespace fs = std::filesystem;

using Fields = std::vector<std::array<std::uint32_t, 3>>; // offset, length, total

class Upload : public TransferTest {
protected:
  void SetUp() override {
    TransferTest::SetUp();
    store_.packetLimit = 1080; // chunks of 1000 bytes
  }
  HRESULT Write(std::size_t length) {
    data_ = Pattern(length);
    const BYTE none = 0; // an empty upload still needs a data pointer
    return TaveloWriteFile(handle_, &file_, length == 0 ? &none : data_.data(),
                           static_cast<ULONG>(length));
  }
  Fields Chunks() const {
    Fields fields;
    for (const Bytes &request : store_.written) {
      fields.push_back({Be32At(request, 68), Be32At(request, 72), Be32At(request, 76)});
    }
    return fields;
  }

  FH file_ = Handle("2:DCIM/NOTE.TXT");
  FH dir_ = Handle("2:DCIM/");
  Bytes data_;
};

TEST_F(Upload, DeletesFirstThenFillsEachRequestAndSendsTheRest) {
  ASSERT_EQ(Write(2500), S_OK);
  // mhbs, the two type tags (absent), the delete, three chunks.
  EXPECT_EQ(store_.commands, (Commands{0x11, 0x48, 0x48, 0x43, 0x47, 0x47, 0x47}));
  Bytes fields = Request(wire::kWriteFileData, {Be32(2), Field("DCIM/", 32), Field("NOTE.TXT", 16),
                                                Be32(0), Be32(0), Be32(1000), Be32(2500)});
  wire::PutU32(fields, 0, 1076); // the length field counts the chunk's bytes too
  EXPECT_EQ(Bytes(store_.written[0].begin(), store_.written[0].begin() + 80), fields);
  EXPECT_EQ(camera_.Exchanges()[4].lengthHint, 12u);
  EXPECT_EQ(Chunks(), (Fields{{0, 1000, 2500}, {1000, 1000, 2500}, {2000, 500, 2500}}));
  EXPECT_EQ(Content(), data_);
  EXPECT_EQ(watch_.seen, (Pairs{{2500, 1000}, {2500, 2000}, {2500, 2500}}));

  store_.written.clear();
  ASSERT_EQ(Write(2000), S_OK);
  EXPECT_EQ(Chunks(), (Fields{{0, 1000, 2000}, {1000, 1000, 2000}, {2000, 0, 2000}}));
  store_.written.clear();
  ASSERT_EQ(Write(0), S_OK);
  EXPECT_EQ(Chunks(), (Fields{{0, 0, 0}}));
}

TEST_F(Upload, CancelStopsAndDeletesTheFileEvenAfterTheLastChunk) {
  for (std::size_t at : {1u, 3u}) {
    store_.written.clear();
    watch_ = ProgressWatch{{}, at, {}};
    EXPECT_EQ(Write(2500), CAM_E_ABORTED);
    EXPECT_EQ(store_.written.size(), at);
    EXPECT_EQ(store_.commands.back(), wire::kDeleteFile);
  }
}

// A chunk refused or lost in transport ends the upload, and the part of the
// file the camera may hold is deleted.
TEST_F(Upload, FailedChunkEndsTheUploadAndDeletesWhatWasSent) {
  store_.writeStatus = 6;
  EXPECT_EQ(Write(2500), CAM_E_NO_SPACE);
  EXPECT_EQ(store_.commands.back(), wire::kDeleteFile);
  EXPECT_EQ(Progress(), std::pair(2500u, 0u));
  store_.writeStatus = 0;
  store_.written.clear();
  camera_.SetHandler([this](const ExchangeRecord &record) {
    const bool lost = CommandOf(record.request) == wire::kWriteFileData && !store_.written.empty();
    return lost ? Reply{E_FAIL, {}} : store_.Answer(record);
  });
  EXPECT_EQ(Write(2500), E_FAIL);
  EXPECT_EQ(store_.written.size(), 1u);
  EXPECT_EQ(store_.commands.back(), wire::kDeleteFile);
}

TEST_F(Upload, RefusalsBeforeAnyChunk) {
  EXPECT_EQ(TaveloWriteFile(handle_, &file_, nullptr, 0), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloWriteFile(handle_, nullptr, &dir_, 10), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(Progress(), std::pair(10u, 0u)) << "the counters were reset all the same";
  EXPECT_EQ(TaveloWriteFile(handle_, &dir_, &dir_, 10), CAM_E_BAD_PARAMETER);
  store_.packetLimit = 80; // no room for data
  EXPECT_EQ(Write(10), CAM_E_BAD_DATA);
  EXPECT_EQ(store_.commands, (Commands{0x11, 0x11})) << "only mhbs was read";
}

TEST_F(Upload, CreateFileHandsOutTheHandleWhateverTheUploadGives) {
  FH *made = &dir_;
  EXPECT_EQ(TaveloCreateFile(handle_, &dir_, "THIRTEENCHARS", &made), CAM_E_LONG_NAME);
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(TaveloCreateFile(handle_, &file_, "A.TXT", &made), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());

  ASSERT_EQ(TaveloCreateFile(handle_, &dir_, "ABCDEFGH.TXT", &made), S_OK); // 12: the longest
  EXPECT_STREQ(made->path, "2:DCIM/ABCDEFGH.TXT");
  TaveloCloseFile(handle_, made);
  EXPECT_EQ(Content(), Bytes({'N', 'e', 'w', ' ', 'F', 'i', 'l', 'e', '\r', '\n', 0}));
  // Ten letters fit a name but not 8.3: the upload refuses the new handle.
  EXPECT_EQ(TaveloCreateFile(handle_, &dir_, "TENLETTERS", &made), CAM_E_BAD_PARAMETER);
  EXPECT_STREQ(made->path, "2:DCIM/TENLETTERS");
  TaveloCloseFile(handle_, made);
  store_.writeStatus = 6;
  EXPECT_EQ(TaveloCreateFile(handle_, &dir_, "FULL.TXT", &made), CAM_E_NO_SPACE);
  EXPECT_STREQ(made->path, "2:DCIM/FULL.TXT");
  TaveloCloseFile(handle_, made);
}

class HostFiles : public Upload {
protected:
  void SetUp() override {
    Upload::SetUp();
    folder_ = fs::temp_directory_path() / ("tavelo-host-" + std::to_string(getpid()));
    ASSERT_TRUE(fs::create_directory(folder_));
    target_ = folder_ / "photo.jpg";
    std::ofstream(target_) << "an older, longer file than the download " << std::string(20000, 'x');
  }
  void TearDown() override {
    fs::remove_all(folder_);
    Upload::TearDown();
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

  FH *made_ = nullptr;
  fs::path folder_;
  fs::path target_;
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

#ifndef _WIN32 // Windows has no file size limit for a process
// A file that cannot be given its full size (here: past the process's file
// size limit, standing in for a full disk) is removed rather than left short
// or full of zeros, and the file it was to replace stays as it was.
TEST_F(HostFiles, DownloadThatCannotBeWrittenInFullIsRemoved) {
  const Bytes before = Target();
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
  EXPECT_EQ(Target(), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), {}), 1) << "nothing written beside it";
}
#endif

TEST_F(HostFiles, UploadHandsOutTheNewHandleOnAnyNonNegativeResult) {
  store_.result = S_FALSE;
  ASSERT_EQ(CopyTo(HostFile(2100), dir_, "ABCDEFGH.BIN"), S_FALSE);
  ASSERT_NE(made_, nullptr);
  EXPECT_STREQ(made_->path, "2:DCIM/ABCDEFGH.BIN");
  TaveloCloseFile(handle_, made_);
  EXPECT_EQ(Content(), data_);
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

#ifndef _WIN32 // Windows refuses to truncate a mapped file
TEST_F(HostFiles, HostFileCutShortDuringTheUploadFailsInsteadOfFaulting) {
  store_.packetLimit = 4096 + 80; // a page per chunk
  const std::string path = HostFile(2 * 4096 + 100);
  // After the first chunk someone truncates the host file: the bytes of the
  // later chunks are gone.
  watch_.onEvent = [&path] { ASSERT_EQ(truncate(path.c_str(), 0), 0); };
  EXPECT_EQ(CopyTo(path, dir_, "CUT.BIN"), HRESULT_FROM_WIN32(30)); // ERROR_READ_FAULT
  EXPECT_EQ(made_, nullptr);
  EXPECT_EQ(store_.written.size(), 1u);
  EXPECT_EQ(store_.commands.back(), wire::kDeleteFile) << "the part sent is deleted";
}
#endif

} // namespace
} // namespace tavelo::test
