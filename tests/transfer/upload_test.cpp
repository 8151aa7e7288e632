// Uploads on the wire: the delete first, chunk sizes and fields, progress,
// cancel, new file handles, and the copy of a host file.
#include "scripted_store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace tavelo::test {
namespace {

namespace fs = std::filesystem;

constexpr const char *kTarget = "2:DCIM/NOTE.TXT";

struct ChunkFields {
  std::uint32_t offset, length, total;
  bool operator==(const ChunkFields &) const = default;
};

class Upload : public TransferTest {
protected:
  std::vector<ChunkFields> Chunks() const {
    std::vector<ChunkFields> chunks;
    for (const Bytes &request : store_.written) {
      chunks.push_back({Be32At(request, 68), Be32At(request, 72), Be32At(request, 76)});
    }
    return chunks;
  }
  Bytes Content() const {
    Bytes content;
    for (const Bytes &request : store_.written) {
      content.insert(content.end(), request.begin() + 80, request.end());
    }
    return content;
  }

  FH file_ = Handle(kTarget);
  FH dir_ = Handle("2:DCIM/");
};

// The chunk sizes for a request of `mhbs` bytes: full chunks while one fits,
// then the rest, empty for an exact multiple.
struct Split {
  const char *name;
  std::uint32_t packetLimit;
  std::uint32_t length;
  std::vector<ChunkFields> chunks;
};

using Splits = CameraTable<Split>;

TEST_P(Splits, ChunksFillTheRequestThenTheRestFollows) {
  const Split &c = GetParam();
  ScriptedStore store;
  store.packetLimit = c.packetLimit;
  camera_.SetHandler([&store](const ExchangeRecord &record) { return store.Answer(record); });
  FH file = Handle(kTarget);
  const Bytes data = Pattern(c.length);
  const BYTE none = 0; // an empty upload still needs a data pointer
  ASSERT_EQ(TaveloWriteFile(handle_, &file, data.empty() ? &none : data.data(), c.length), S_OK);
  std::vector<ChunkFields> chunks;
  Bytes content;
  for (const Bytes &request : store.written) {
    chunks.push_back({Be32At(request, 68), Be32At(request, 72), Be32At(request, 76)});
    EXPECT_EQ(Be32At(request, 0), request.size() - 4) << "the length field fits the packet";
    content.insert(content.end(), request.begin() + 80, request.end());
  }
  EXPECT_EQ(chunks, c.chunks);
  EXPECT_EQ(content, data);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, Splits,
    ::testing::Values(Split{"TwoFullAndAShortOne",
                            1080,
                            2500,
                            {{0, 1000, 2500}, {1000, 1000, 2500}, {2000, 500, 2500}}},
                      Split{"ExactMultipleEndsWithAnEmptyChunk",
                            1080,
                            2000,
                            {{0, 1000, 2000}, {1000, 1000, 2000}, {2000, 0, 2000}}},
                      Split{"EmptyDataSendsOneEmptyChunk", 1080, 0, {{0, 0, 0}}}),
    kCaseName);

TEST_F(Upload, DeletesFirstThenSendsTheChunksWithProgress) {
  store_.packetLimit = 1080;
  const Bytes data = Pattern(2500);
  ASSERT_EQ(TaveloWriteFile(handle_, &file_, data.data(), 2500), S_OK);
  // mhbs, the two type tags (absent), the delete, three chunks.
  EXPECT_EQ(Commands(), (std::vector<std::uint16_t>{0x11, 0x48, 0x48, 0x43, 0x47, 0x47, 0x47}));
  const Bytes first = camera_.Exchanges()[4].request;
  Bytes fields = Request(wire::kWriteFileData, {Be32(2), Field("DCIM/", 32), Field("NOTE.TXT", 16),
                                                Be32(0), Be32(0), Be32(1000), Be32(2500)});
  wire::PutU32(fields, 0, 1076); // the length field counts the chunk's bytes too
  EXPECT_EQ(Bytes(first.begin(), first.begin() + 80), fields);
  EXPECT_EQ(Bytes(first.begin() + 80, first.end()), Bytes(data.begin(), data.begin() + 1000));
  EXPECT_EQ(camera_.Exchanges()[4].lengthHint, 12u);
  ASSERT_EQ(watch_.seen.size(), 3u);
  EXPECT_EQ(watch_.seen[0].done, 1000u);
  EXPECT_EQ(watch_.seen[2].done, 2500u);
  EXPECT_EQ(watch_.seen[2].total, 2500u);
}

TEST_F(Upload, CancelFromTheLastEventDeletesTheCompleteFile) {
  store_.packetLimit = 1080;
  watch_.cancelAtEvent = 3;
  const Bytes data = Pattern(2500);
  EXPECT_EQ(TaveloWriteFile(handle_, &file_, data.data(), 2500), CAM_E_ABORTED);
  EXPECT_EQ(Commands().back(), wire::kDeleteFile);
  EXPECT_EQ(Progress().done, 2500u);
}

TEST_F(Upload, CancelBetweenChunksStopsAndDeletes) {
  store_.packetLimit = 1080;
  watch_.cancelAtEvent = 1;
  const Bytes data = Pattern(2500);
  EXPECT_EQ(TaveloWriteFile(handle_, &file_, data.data(), 2500), CAM_E_ABORTED);
  EXPECT_EQ(Chunks().size(), 1u);
  EXPECT_EQ(Commands().back(), wire::kDeleteFile);
}

TEST_F(Upload, RefusedChunkEndsTheUploadAndKeepsWhatWasSent) {
  store_.packetLimit = 1080;
  store_.writeStatus = 6;
  const Bytes data = Pattern(2500);
  EXPECT_EQ(TaveloWriteFile(handle_, &file_, data.data(), 2500), CAM_E_NO_SPACE);
  EXPECT_EQ(Chunks().size(), 1u);
  EXPECT_EQ(Commands().back(), wire::kWriteFileData) << "no delete after a failure";
  EXPECT_EQ(Progress().done, 0u);
  EXPECT_EQ(Progress().total, 2500u);
}

TEST_F(Upload, RefusalsBeforeTheCamera) {
  const Bytes data = Pattern(10);
  FH directory = Handle("2:DCIM/");
  EXPECT_EQ(TaveloWriteFile(handle_, &file_, nullptr, 0), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloWriteFile(handle_, nullptr, data.data(), 10), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(Progress().total, 10u) << "the counters were reset all the same";
  EXPECT_EQ(TaveloWriteFile(handle_, &directory, data.data(), 10), CAM_E_BAD_PARAMETER);
  store_.packetLimit = 80;
  EXPECT_EQ(TaveloWriteFile(handle_, &file_, data.data(), 10), CAM_E_BAD_DATA);
  EXPECT_EQ(Commands(), (std::vector<std::uint16_t>{0x11, 0x11})) << "only mhbs was read";
}

TEST_F(Upload, CreateFileWritesThePlaceholderAndHandsOutTheHandle) {
  FH *made = nullptr;
  ASSERT_EQ(TaveloCreateFile(handle_, &dir_, "NEW.TXT", &made), S_OK);
  ASSERT_NE(made, nullptr);
  EXPECT_STREQ(made->path, "2:DCIM/NEW.TXT");
  EXPECT_EQ(Content(), Bytes({'N', 'e', 'w', ' ', 'F', 'i', 'l', 'e', '\r', '\n', 0}));
  TaveloCloseFile(handle_, made);

  store_.writeStatus = 6;
  ASSERT_EQ(TaveloCreateFile(handle_, &dir_, "FULL.TXT", &made), CAM_E_NO_SPACE);
  ASSERT_NE(made, nullptr) << "the handle comes back even when the camera refuses";
  TaveloCloseFile(handle_, made);
}

TEST_F(Upload, CreateFileNameChecks) {
  FH *made = &dir_;
  EXPECT_EQ(TaveloCreateFile(handle_, &dir_, "THIRTEENCHARS", &made), CAM_E_LONG_NAME);
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(TaveloCreateFile(handle_, &file_, "A.TXT", &made), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
  // Twelve characters pass as a name but are not 8.3: the upload refuses.
  EXPECT_EQ(TaveloCreateFile(handle_, &dir_, "TENLETTERS", &made), CAM_E_BAD_PARAMETER);
  ASSERT_NE(made, nullptr);
  EXPECT_STREQ(made->path, "2:DCIM/TENLETTERS");
  TaveloCloseFile(handle_, made);
  EXPECT_TRUE(store_.written.empty());
}

// Host files for TaveloCopyFileToCamera.
class CopyToCamera : public Upload {
protected:
  void SetUp() override {
    Upload::SetUp();
    std::string pattern = (fs::temp_directory_path() / "tavelo-upload-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    fs::remove_all(folder_);
    Upload::TearDown();
  }
  std::string HostFile(const Bytes &content, const char *name = "host.bin") {
    const fs::path path = folder_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(content.data()),
               static_cast<std::streamsize>(content.size()));
    return path.string();
  }
  fs::path folder_;
};

TEST_F(CopyToCamera, UploadsTheHostFileUnderTheNewName) {
  store_.packetLimit = 1080;
  const Bytes content = Pattern(2100);
  const std::string path = HostFile(content);
  FH *made = nullptr;
  ASSERT_EQ(TaveloCopyFileToCamera(handle_, path.c_str(), &dir_, "COPY.BIN", &made), S_OK);
  ASSERT_NE(made, nullptr);
  EXPECT_STREQ(made->path, "2:DCIM/COPY.BIN");
  TaveloCloseFile(handle_, made);
  EXPECT_EQ(Content(), content);
  EXPECT_EQ(Chunks().size(), 3u);
}

struct HostRefusal {
  const char *name;
  const char *hostFile; // relative to the test folder; "" the folder itself
  int bytes;            // made with this many bytes; -1: not made
  const char *dir;
  const char *cameraName;
  HRESULT result;
};

using HostRefusals = ::testing::WithParamInterface<HostRefusal>;
class CopyRefused : public CopyToCamera, public HostRefusals {};

TEST_P(CopyRefused, NothingReachesTheCamera) {
  const HostRefusal &c = GetParam();
  std::string path = (folder_ / c.hostFile).string();
  if (c.bytes >= 0) {
    path = HostFile(Pattern(static_cast<std::size_t>(c.bytes)), c.hostFile);
  }
  FH dir = Handle(c.dir);
  FH *made = &dir;
  EXPECT_EQ(TaveloCopyFileToCamera(handle_, path.c_str(), &dir, c.cameraName, &made), c.result);
  EXPECT_EQ(made, nullptr);
  EXPECT_TRUE(Untouched());
}

INSTANTIATE_TEST_SUITE_P(
    Host, CopyRefused,
    ::testing::Values(HostRefusal{"MissingFile", "missing.bin", -1, "2:DCIM/", "A.BIN",
                                  HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
                      HostRefusal{"MissingDirectory", "nodir/a.bin", -1, "2:DCIM/", "A.BIN",
                                  HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
                      HostRefusal{"Directory", "", -1, "2:DCIM/", "A.BIN",
                                  HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
                      HostRefusal{"EmptyFileCannotBeMapped", "empty.bin", 0, "2:DCIM/", "A.BIN",
                                  HRESULT_FROM_WIN32(1006)},
                      HostRefusal{"LongCameraNameBeforeTheHostFile", "missing.bin", -1, "2:DCIM/",
                                  "THIRTEENCHARS", CAM_E_LONG_NAME},
                      HostRefusal{"TargetNamesAFile", "full.bin", 10, "2:DCIM/A.JPG", "A.BIN",
                                  CAM_E_BAD_PARAMETER}),
    kCaseName);

TEST_F(CopyToCamera, HostFileCutShortDuringTheUploadFailsInsteadOfFaulting) {
  const std::string path = HostFile(Pattern(2 * 4096 + 100));
  // After the first chunk someone else truncates the host file: the mapped
  // pages behind it are gone.
  watch_.onEvent = [&path] { ASSERT_EQ(truncate(path.c_str(), 0), 0); };
  store_.packetLimit = 4096 + 80;
  FH *made = &dir_;
  EXPECT_EQ(TaveloCopyFileToCamera(handle_, path.c_str(), &dir_, "CUT.BIN", &made),
            HRESULT_FROM_WIN32(30));
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(Chunks().size(), 1u);
}

TEST_F(CopyToCamera, NonNegativeUploadResultHandsOutTheHandle) {
  camera_.SetHandler([this](const ExchangeRecord &record) {
    Reply reply = store_.Answer(record);
    reply.result = S_FALSE;
    return reply;
  });
  const std::string path = HostFile(Pattern(10));
  FH *made = nullptr;
  EXPECT_EQ(TaveloCopyFileToCamera(handle_, path.c_str(), &dir_, "ONE.BIN", &made), S_FALSE);
  ASSERT_NE(made, nullptr) << "a result that reads as success comes with its handle";
  TaveloCloseFile(handle_, made);
}

} // namespace
} // namespace tavelo::test
