// Downloads on the wire: chunk requests, progress, cancel, the checks on
// every chunk, one-packet reads and the thumbnail bitmap.
#include "files/thumbnail.h"
#include "scripted_store.h"

#include <gtest/gtest.h>

#include <future>
#include <utility>

namespace tavelo::test {
namespace {

using Pairs = std::vector<std::pair<ULONG, ULONG>>; // (total, done)

constexpr const char *kFile = "2:DCIM/IMG0001.JPG";

Bytes ReadRequest(std::uint32_t kind, std::uint32_t offset, const char *dir = "DCIM/",
                  const char *name = "IMG0001.JPG", std::uint32_t drive = 2) {
  return Request(wire::kReadFileData, {Be32(drive), Field(dir, 32), Field(name, 16), Be32(kind),
                                       Be32(offset), Be32(0), Be32(0)});
}

class Download : public TransferTest {
protected:
  // Downloads kind `kind` of kFile; the block is freed afterwards.
  HRESULT Get(ULONG kind = 0) {
    BYTE *data = nullptr;
    size_ = 0;
    HRESULT result = TaveloGetFileData(handle_, &file_, kind, &data, &size_);
    got_ = data != nullptr ? Bytes(data, data + size_) : Bytes{};
    delivered_ = data != nullptr;
    CoTaskMemFree(data);
    return result;
  }
  Pairs Seen() const {
    Pairs seen;
    for (const PROGRESS &p : watch_.seen) {
      seen.emplace_back(p.total, p.done);
    }
    return seen;
  }
  std::vector<std::uint32_t> ChunkOffsets() const {
    std::vector<std::uint32_t> offsets;
    for (const ExchangeRecord &exchange : camera_.Exchanges()) {
      if (CommandOf(exchange.request) == wire::kReadFileData) {
        offsets.push_back(Be32At(exchange.request, 68));
      }
    }
    return offsets;
  }

  FH file_ = Handle(kFile);
  ULONG size_ = 0;
  Bytes got_;
  bool delivered_ = false;
};

TEST_F(Download, ChunksFollowTheCameraAndReportProgressAfterEach) {
  ASSERT_EQ(Get(), S_OK);
  EXPECT_EQ(got_, store_.file);
  EXPECT_EQ(size_, 10000u);
  EXPECT_EQ(Commands(), (std::vector<std::uint16_t>{0x11, 0x40, 0x42, 0x42, 0x42}));
  EXPECT_EQ(ChunkOffsets(), (std::vector<std::uint32_t>{0, 4072, 8144}));
  EXPECT_EQ(camera_.Exchanges()[2].request, ReadRequest(0, 0));
  EXPECT_EQ(camera_.Exchanges()[2].lengthHint, 0u);
  EXPECT_EQ(Seen(), (Pairs{{10000, 4072}, {10000, 8144}, {10000, 10000}}));
}

TEST_F(Download, CancelFromTheLastProgressEventStillAborts) {
  watch_.cancelAtEvent = 3;
  EXPECT_EQ(Get(), CAM_E_ABORTED);
  EXPECT_FALSE(delivered_);
  const PROGRESS after = Progress();
  EXPECT_EQ(std::pair(after.total, after.done), std::pair(10000u, 10000u));
}

TEST_F(Download, CancelStopsBeforeTheNextChunkAndShowsHowFarItCame) {
  watch_.cancelAtEvent = 1;
  EXPECT_EQ(Get(), CAM_E_ABORTED);
  EXPECT_EQ(ChunkOffsets(), (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(Progress().done, 4072u);
}

TEST_F(Download, AnotherThreadReadsProgressAndCancelsWhileTheGateIsHeld) {
  // Neither export waits for the gate or the subscription lock, both of
  // which the downloading thread holds during the event.
  PROGRESS fromThere{};
  watch_.onEvent = [&] {
    if (watch_.seen.size() == 2) {
      std::async(std::launch::async, [&] {
        EXPECT_EQ(TaveloGetProgressInfo(handle_, &fromThere), S_OK);
        EXPECT_EQ(TaveloCancelTransfer(handle_), S_OK);
      }).get();
    }
  };
  EXPECT_EQ(Get(), CAM_E_ABORTED);
  EXPECT_EQ(std::pair(fromThere.total, fromThere.done), std::pair(10000u, 8144u));
  EXPECT_EQ(ChunkOffsets(), (std::vector<std::uint32_t>{0, 4072}));
}

TEST_F(Download, CancelBeforeTheCallHasNoEffect) {
  ASSERT_EQ(TaveloCancelTransfer(handle_), S_OK);
  EXPECT_EQ(Get(), S_OK);
  EXPECT_EQ(got_, store_.file);
}

TEST_F(Download, NullFileResetsTheCountersOnlyForChunkedKinds) {
  BYTE *data = nullptr;
  ULONG size = 7;
  ASSERT_EQ(Get(), S_OK);
  EXPECT_EQ(TaveloGetFileData(handle_, nullptr, 3, &data, &size), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(Progress().done, 10000u) << "a one-packet refusal leaves the counters";
  EXPECT_EQ(TaveloGetFileData(handle_, nullptr, 0, &data, &size), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(Progress().total, 0u);
  EXPECT_EQ(Progress().done, 0u);
  EXPECT_EQ(TaveloGetFileData(handle_, &file_, 4, &data, &size), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(data, nullptr);
}

TEST_F(Download, SecondKindTakesItsLengthFromTheCameraNotTheFileSize) {
  const Bytes sound = Pattern(300, 9);
  store_.chunkOverride = [&](std::uint32_t offset) {
    const std::uint32_t length = std::min<std::uint32_t>(200, 300 - offset);
    return Chunk(offset, length, 300,
                 Bytes(sound.begin() + offset, sound.begin() + offset + length), true);
  };
  ASSERT_EQ(Get(2), S_OK);
  EXPECT_EQ(got_, sound);
  EXPECT_EQ(Commands(), (std::vector<std::uint16_t>{0x11, 0x42, 0x42}));
  EXPECT_EQ(camera_.Exchanges()[2].request, ReadRequest(2, 200));
}

TEST_F(Download, AnyNonNegativeExchangeResultKeepsTheLoopGoing) {
  camera_.SetHandler([this](const ExchangeRecord &record) {
    Reply reply = store_.Answer(record);
    reply.result = S_FALSE;
    return reply;
  });
  EXPECT_EQ(Get(), S_FALSE);
  EXPECT_EQ(got_, store_.file) << "the whole file, not the first chunk";
}

// Answers that end a download, and what the caller gets.
struct BadAnswer {
  const char *name;
  std::function<void(ScriptedStore &)> script;
  HRESULT result;
  std::size_t chunkRequests;
};

using Refused = CameraTable<BadAnswer>;

TEST_P(Refused, DownloadFailsWithoutData) {
  ScriptedStore store;
  GetParam().script(store);
  camera_.SetHandler([&store](const ExchangeRecord &record) { return store.Answer(record); });
  FH file = Handle(kFile);
  BYTE *data = reinterpret_cast<BYTE *>(&file);
  ULONG size = 0;
  EXPECT_EQ(TaveloGetFileData(handle_, &file, 0, &data, &size), GetParam().result);
  EXPECT_EQ(data, nullptr);
  std::size_t chunks = 0;
  for (const ExchangeRecord &exchange : camera_.Exchanges()) {
    chunks += CommandOf(exchange.request) == wire::kReadFileData ? 1 : 0;
  }
  EXPECT_EQ(chunks, GetParam().chunkRequests);
}

Reply Answering(std::uint32_t offset, std::uint32_t length, std::uint32_t total,
                std::size_t carried) {
  return Chunk(offset, length, total, Pattern(carried));
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, Refused,
    ::testing::Values(
        BadAnswer{"ChunkLongerThanTheBuffer",
                  [](ScriptedStore &s) {
                    s.chunkOverride = [](std::uint32_t) { return Answering(0, 5000, 10000, 5000); };
                  },
                  CAM_E_BAD_DATA, 1},
        BadAnswer{"TotalDiffersFromTheFileSize",
                  [](ScriptedStore &s) {
                    s.chunkOverride = [](std::uint32_t) { return Answering(0, 100, 9999, 100); };
                  },
                  CAM_E_BAD_DATA, 1},
        BadAnswer{"TotalChangesBetweenChunks",
                  [](ScriptedStore &s) {
                    s.sizeStatus = 7;
                    s.chunkOverride = [](std::uint32_t offset) {
                      return Answering(offset, 100, offset == 0 ? 10000 : 10100, 100);
                    };
                  },
                  CAM_E_BAD_DATA, 2},
        BadAnswer{"TotalOfZero",
                  [](ScriptedStore &s) {
                    s.sizeStatus = 7;
                    s.chunkOverride = [](std::uint32_t) { return Answering(0, 0, 0, 0); };
                  },
                  CAM_E_BAD_PARAMETER, 1},
        BadAnswer{"StatusWord",
                  [](ScriptedStore &s) {
                    s.chunkOverride = [](std::uint32_t) {
                      return Status(wire::kReadFileData, 0x0A);
                    };
                  },
                  CAM_E_DEVICE, 1},
        BadAnswer{"TransportFailure",
                  [](ScriptedStore &s) {
                    s.chunkOverride = [](std::uint32_t) { return Reply{E_FAIL, {}}; };
                  },
                  E_FAIL, 1},
        BadAnswer{"PacketLimitWithoutRoomForData", [](ScriptedStore &s) { s.packetLimit = 24; },
                  CAM_E_BAD_DATA, 0},
        // Beyond the checks on length and total: answers that would put
        // bytes in the wrong place, read past the packet, or loop forever.
        BadAnswer{"ChunkAtAnotherOffsetThanAskedFor",
                  [](ScriptedStore &s) {
                    s.chunkOverride = [](std::uint32_t offset) {
                      return Answering(offset == 0 ? 0 : offset + 8, 4000, 10000, 4000);
                    };
                  },
                  CAM_E_BAD_DATA, 2},
        BadAnswer{"ChunkBytesMissingFromThePacket",
                  [](ScriptedStore &s) {
                    s.chunkOverride = [](std::uint32_t) { return Answering(0, 4000, 10000, 10); };
                  },
                  CAM_E_BAD_DATA, 1},
        BadAnswer{"ChunkPastTheTotal",
                  [](ScriptedStore &s) {
                    s.chunkOverride = [](std::uint32_t offset) {
                      return Answering(offset, 4000, 10000, 4000);
                    };
                  },
                  CAM_E_BAD_DATA, 3},
        BadAnswer{"EmptyChunkBeforeTheEnd",
                  [](ScriptedStore &s) {
                    s.chunkOverride = [](std::uint32_t offset) {
                      return Answering(offset, offset == 0 ? 100 : 0, 10000, offset == 0 ? 100 : 0);
                    };
                  },
                  CAM_E_BAD_DATA, 2}),
    kCaseName);

// One-packet reads.

// The answer of kinds 1 and 3: packet length at 16, data length at 24,
// height at 28, width at 32, data at 40.
Reply OnePacket(std::uint32_t packetLength, std::uint32_t dataLength, std::uint32_t height,
                std::uint32_t width, const Bytes &data) {
  return Ok(wire::kReadFileData, Join({Be32(0), Be32(packetLength), Be32(0), Be32(dataLength),
                                       Be32(height), Be32(width), Be32(0), data}));
}

TEST_F(Download, ViewfinderThumbnailIsReadThroughItsPathName) {
  // Two pixels per group; 3 x 2 pixels take two groups per row.
  const Bytes pixels = {128, 10, 128, 20, 128, 30, 128, 99, 128, 40, 128, 50, 128, 60, 128, 99};
  camera_.Queue(OnePacket(0, 16, 2, 3, pixels));
  BYTE *data = nullptr;
  ULONG size = 0;
  ASSERT_EQ(TaveloGetFileData(handle_, nullptr, 1, &data, &size), S_OK);
  EXPECT_EQ(camera_.Exchanges()[0].request, ReadRequest(1, 0, "", "VIEWFIND", 1));
  ASSERT_EQ(size, 40u + 12 * 2);
  const Bytes bitmap(data, data + size);
  CoTaskMemFree(data);
  EXPECT_EQ(Bytes(bitmap.begin(), bitmap.begin() + 16),
            (Bytes{40, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0}));
  EXPECT_EQ(Bytes(bitmap.begin() + 16, bitmap.begin() + 40), Bytes(24, 0));
  // Grey pixels; the camera's first row is the block's last, rows padded to 12.
  EXPECT_EQ(Bytes(bitmap.begin() + 40, bitmap.end()),
            (Bytes{40, 40, 40, 50, 50, 50, 60, 60, 60, 0, 0, 0, //
                   10, 10, 10, 20, 20, 20, 30, 30, 30, 0, 0, 0}));
  EXPECT_EQ(Progress().total, 0u) << "a one-packet read leaves the counters";
}

struct Thumbnail {
  const char *name;
  std::uint32_t width, height, dataLength;
  std::size_t carried; // data bytes the packet holds
  HRESULT result;
  ULONG size;
};

using Thumbnails = CameraTable<Thumbnail>;

TEST_P(Thumbnails, BitmapSizeOrRefusal) {
  const Thumbnail &c = GetParam();
  camera_.Queue(OnePacket(0, c.dataLength, c.height, c.width, Bytes(c.carried, 128)));
  FH file = Handle(kFile);
  BYTE *data = nullptr;
  ULONG size = 0;
  EXPECT_EQ(TaveloGetFileData(handle_, &file, 1, &data, &size), c.result);
  EXPECT_EQ(size, c.size);
  EXPECT_EQ(data != nullptr, SUCCEEDED(c.result));
  CoTaskMemFree(data);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Thumbnails,
    ::testing::Values(
        Thumbnail{"WidthZeroMeans80By60", 0, 7, 9600, 9600, S_OK, 40 + 240 * 60},
        Thumbnail{"OddWidthRowsArePadded", 81, 2, 328, 328, S_OK, 40 + 244 * 2},
        Thumbnail{"NoData", 80, 60, 0, 9600, CAM_E_BAD_PARAMETER, 0},
        Thumbnail{"NegativeDataLength", 80, 60, 0x80000000u, 9600, CAM_E_BAD_PARAMETER, 0},
        Thumbnail{"RowsMissingFromThePacket", 80, 60, 9600, 9000, CAM_E_BAD_DATA, 0},
        Thumbnail{"DataLengthShortOfTheRows", 80, 60, 9000, 9600, CAM_E_BAD_DATA, 0},
        Thumbnail{"HugeSize", 0xFFFFFFFFu, 0xFFFFFFFFu, 9600, 9600, CAM_E_BAD_DATA, 0}),
    kCaseName);

TEST(ThumbnailColours, FixedPointConversionClamps) {
  using Bgr = std::array<std::uint8_t, 3>;
  EXPECT_EQ(files::YCbCrToBgr(128, 128, 128), (Bgr{128, 128, 128}));
  EXPECT_EQ(files::YCbCrToBgr(255, 255, 128)[0], 255);
  EXPECT_EQ(files::YCbCrToBgr(0, 128, 0)[2], 0);
  // Pure red in full-range BT.601: Y 76, Cb 85, Cr 255.
  EXPECT_EQ(files::YCbCrToBgr(76, 85, 255), (Bgr{0, 0, 254}));
}

TEST_F(Download, ThirdKindIsPassedOnAsSentWhenItsLengthsAgree) {
  camera_.Queue(OnePacket(5, 5, 0, 0, {1, 2, 3, 4, 5}));
  camera_.Queue(OnePacket(4, 5, 0, 0, {1, 2, 3, 4, 5}));
  camera_.Queue(OnePacket(50, 50, 0, 0, {1, 2, 3, 4, 5}));
  EXPECT_EQ(Get(3), S_OK);
  EXPECT_EQ(got_, (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(Get(3), CAM_E_BAD_DATA);
  EXPECT_EQ(Get(3), CAM_E_BAD_DATA) << "the packet holds 5 of the 50 bytes";
  EXPECT_FALSE(delivered_);
}

} // namespace
} // namespace tavelo::test
