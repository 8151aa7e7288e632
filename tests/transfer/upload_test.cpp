// Uploads on the wire: the delete first, chunk sizes and fields, progress,
// cancel and new file handles.
#include "scripted_store.h"

#include <gtest/gtest.h>

namespace tavelo::test {
namespace {

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

TEST_F(Upload, RefusedChunkEndsTheUploadAndKeepsWhatWasSent) {
  store_.writeStatus = 6;
  EXPECT_EQ(Write(2500), CAM_E_NO_SPACE);
  EXPECT_EQ(store_.commands.back(), wire::kWriteFileData) << "no delete after a failure";
  EXPECT_EQ(Progress(), std::pair(2500u, 0u));
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

  ASSERT_EQ(TaveloCreateFile(handle_, &dir_, "NEW.TXT", &made), S_OK);
  EXPECT_STREQ(made->path, "2:DCIM/NEW.TXT");
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

} // namespace
} // namespace tavelo::test
