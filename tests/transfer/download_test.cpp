// Downloads on the wire: chunk requests, progress, cancel, the checks on
// every chunk, one-packet reads and the thumbnail bitmap.
#include "files/thumbnail.h"
#include "scripted_store.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <fstream>
#include <future>
#include <thread>
#include <utility>

namespace tavelo::test {
namespace {

using Offsets = std::vector<std::uint32_t>;

const FH kFile = Handle("2:DCIM/IMG0001.JPG");

class Download : public TransferTest {
protected:
  // Data of `kind` for `file` (null: no handle); the block is freed.
  HRESULT Get(ULONG kind = 0, const FH *file = &kFile) {
    BYTE *data = nullptr;
    HRESULT result = TaveloGetFileData(handle_, file, kind, &data, &size_);
    got_ = data != nullptr ? Bytes(data, data + size_) : Bytes{};
    EXPECT_EQ(data != nullptr, SUCCEEDED(result));
    CoTaskMemFree(data);
    return result;
  }
  Bytes got_;
  ULONG size_ = 0;
};

template <class Case>
class DownloadTable : public Download, public ::testing::WithParamInterface<Case> {};

Bytes ReadRequest(std::uint32_t drive, const char *dir, const char *name, std::uint32_t kind,
                  std::uint32_t offset) {
  return Request(wire::kReadFileData, {Be32(drive), Field(dir, 32), Field(name, 16), Be32(kind),
                                       Be32(offset), Be32(0), Be32(0)});
}

// Any non-negative exchange result keeps the loop going.
TEST_F(Download, ChunksFollowTheCameraAndReportProgressAfterEach) {
  store_.result = S_FALSE;
  ASSERT_EQ(Get(), S_FALSE);
  EXPECT_EQ(got_, store_.file);
  ASSERT_EQ(store_.commands, (Commands{0x11, 0x40, 0x42, 0x42, 0x42}));
  EXPECT_EQ(camera_.Exchanges()[3].request, ReadRequest(2, "DCIM/", "IMG0001.JPG", 0, 4072));
  EXPECT_EQ(camera_.Exchanges()[3].lengthHint, 0u);
  EXPECT_EQ(watch_.seen, (Pairs{{10000, 4072}, {10000, 8144}, {10000, 10000}}));
}

TEST_F(Download, CancelFromAProgressEventAbortsEvenAfterTheLastChunk) {
  for (std::size_t at : {1u, 3u}) {
    watch_ = ProgressWatch{{}, at, {}};
    EXPECT_EQ(Get(), CAM_E_ABORTED);
    EXPECT_EQ(watch_.seen.size(), at) << "no chunk is asked for after the cancel";
    EXPECT_EQ(Progress(), std::pair(10000u, at == 1 ? 4072u : 10000u));
  }
  EXPECT_EQ(Get(), S_OK) << "the next download starts with the flag cleared";
}

void TAVELOAPI Ignore(ULONG, HCAMERA, uintptr_t) {}

TEST_F(Download, ProgressCallbackThatClosesTheCameraIsServedOnceTheDownloadHasEnded) {
  // A real subscription, so a notification thread runs behind the session.
  ASSERT_EQ(TaveloSubscribe(handle_, 1, Ignore, 0), S_OK);
  watch_.onEvent = [this] { EXPECT_EQ(TaveloCloseCamera(std::exchange(handle_, nullptr)), 0); };
  EXPECT_EQ(Get(), CAM_E_ABORTED);
  EXPECT_EQ(watch_.seen.size(), 1u) << "no chunk is asked for after the close";
  EXPECT_EQ(camera_.InstancesReleased(), camera_.InstancesCreated())
      << "the session is freed by the time the download returns, not later by another thread";
}

TEST_F(Download, CloseBegunOnAnotherThreadEndsTheProgressCallbacks) {
  CameraSession &session = Session();
  std::future<HRESULT> closing;
  camera_.SetHandler([&](const ExchangeRecord &record) {
    if (CommandOf(record.request) == wire::kReadFileData && store_.reads.size() == 1) {
      closing = std::async(std::launch::async, TaveloCloseCamera, std::exchange(handle_, nullptr));
      while (!session.closing.load()) {
        std::this_thread::yield(); // the close has begun and waits for the download
      }
    }
    return store_.Answer(record);
  });
  EXPECT_EQ(Get(), CAM_E_ABORTED);
  EXPECT_EQ(watch_.seen.size(), 1u) << "no callback once the close has begun";
  EXPECT_EQ(closing.get(), S_OK);
}

TEST_F(Download, AnotherThreadReadsProgressAndCancelsWhileTheGateIsHeld) {
  // Neither export waits for the gate or the subscription lock, both of
  // which the downloading thread holds during the event.
  std::pair<std::uint32_t, std::uint32_t> fromThere;
  watch_.onEvent = [&] {
    if (watch_.seen.size() == 2) {
      std::async(std::launch::async, [&] {
        fromThere = Progress();
        EXPECT_EQ(TaveloCancelTransfer(handle_), S_OK);
      }).get();
    }
  };
  EXPECT_EQ(Get(), CAM_E_ABORTED);
  EXPECT_EQ(fromThere, std::pair(10000u, 8144u));
  EXPECT_EQ(store_.reads, (Offsets{0, 4072}));
}

TEST_F(Download, RefusalsAndWhichOfThemResetTheCounters) {
  ASSERT_EQ(TaveloCancelTransfer(handle_), S_OK);
  ASSERT_EQ(Get(), S_OK) << "a cancel before the call has no effect";
  EXPECT_EQ(Get(3, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(Progress(), std::pair(10000u, 10000u)) << "one-packet kinds leave the counters";
  EXPECT_EQ(Get(0, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(Progress(), std::pair(0u, 0u));
  EXPECT_EQ(Get(4), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(store_.reads.size(), 3u);
}

TEST_F(Download, SecondKindTakesItsLengthFromTheCameraNotTheFileSize) {
  store_.file = Pattern(300);
  store_.packetLimit = 228; // chunks of 200 bytes
  ASSERT_EQ(Get(2), S_OK);
  EXPECT_EQ(got_, store_.file);
  EXPECT_EQ(store_.commands, (Commands{0x11, 0x42, 0x42})) << "no size query";
}

#ifndef _WIN32 // reads the process's resident size from /proc
std::size_t ResidentBytes() {
  std::size_t pages[2] = {};
  std::ifstream("/proc/self/statm") >> pages[0] >> pages[1]; // size, resident
  return pages[1] * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// A camera that announces 4 GiB and stops after its first chunk costs the
// host what arrived and a bounded window, not what it claimed.
TEST_F(Download, AnnouncedSizeCostsNothingUntilTheDataArrives) {
  store_.sizeStatus = 7;
  store_.script = {{0, 4000, 0xFFFFFFFFu, 4000}, {0, 0, 0, 0, 0x0A}};
  const std::size_t before = ResidentBytes();
  std::size_t grown = 0;
  camera_.SetHandler([&](const ExchangeRecord &record) {
    if (CommandOf(record.request) == wire::kReadFileData && store_.reads.size() == 1) {
      grown = ResidentBytes() - std::min(before, ResidentBytes());
    }
    return store_.Answer(record);
  });
  EXPECT_EQ(Get(), CAM_E_DEVICE);
  EXPECT_EQ(store_.reads.size(), 2u);
  EXPECT_LT(grown, std::size_t{100} << 20);
}
#endif

struct BadAnswers {
  const char *name;
  std::vector<ChunkAnswer> script; // file of 10000 bytes
  HRESULT result;
  std::size_t requests;
  std::uint16_t sizeStatus = 0;
  std::uint32_t packetLimit = 4096;
};

using Refused = DownloadTable<BadAnswers>;

TEST_P(Refused, DownloadEndsWithoutData) {
  store_.script = GetParam().script;
  store_.sizeStatus = GetParam().sizeStatus;
  store_.packetLimit = GetParam().packetLimit;
  EXPECT_EQ(Get(), GetParam().result);
  EXPECT_EQ(store_.reads.size(), GetParam().requests);
}

// Past the length and total checks: answers that would misplace bytes,
// read past the packet, overrun the block or ask forever.
constexpr HRESULT kBad = CAM_E_BAD_DATA;
constexpr std::uint32_t kAll = 10000;

INSTANTIATE_TEST_SUITE_P(
    Chunks, Refused,
    ::testing::Values(
        BadAnswers{"LongerThanTheBuffer", {{0, 5000, kAll, 5000}}, kBad, 1},
        BadAnswers{"TotalOtherThanTheFileSize", {{0, 100, 9999, 100}}, kBad, 1},
        BadAnswers{"TotalChanges", {{0, 100, kAll, 100}, {100, 100, 10100, 100}}, kBad, 2, 7},
        BadAnswers{"TotalOfZero", {{0, 0, 0, 0}}, CAM_E_BAD_PARAMETER, 1, 7},
        BadAnswers{"StatusWord", {{0, 0, 0, 0, 0x0A}}, CAM_E_DEVICE, 1},
        BadAnswers{"AtAnotherOffset", {{0, 4000, kAll, 4000}, {4008, 4000, kAll, 4000}}, kBad, 2},
        BadAnswers{"BytesMissingFromThePacket", {{0, 4000, kAll, 10}}, kBad, 1},
        BadAnswers{"PastTheTotal",
                   {{0, 4000, kAll, 4000}, {4000, 4000, kAll, 4000}, {8000, 4000, kAll, 4000}},
                   kBad,
                   3},
        BadAnswers{"EmptyBeforeTheEnd", {{0, 100, kAll, 100}, {100, 0, kAll, 0}}, kBad, 2},
        BadAnswers{"PacketLimitWithoutRoomForData", {}, kBad, 0, 0, 24}),
    kCaseName);

// The answer of kinds 1 and 3: packet length at 16, data length at 24,
// height at 28, width at 32, data at 40.
Reply OnePacket(std::uint32_t packetLength, std::uint32_t dataLength, std::uint32_t height,
                std::uint32_t width, const Bytes &data) {
  return Ok(wire::kReadFileData, Join({Be32(0), Be32(packetLength), Be32(0), Be32(dataLength),
                                       Be32(height), Be32(width), Be32(0), data}));
}

TEST_F(Download, ViewfinderThumbnailBecomesABottomUpBitmap) {
  // 3 x 2 grey pixels: two groups per row, the second giving one pixel.
  camera_.Queue(OnePacket(0, 16, 2, 3,
                          {128, 10, 128, 20, 128, 30, 128, 99, //
                           128, 40, 128, 50, 128, 60, 128, 99}));
  ASSERT_EQ(Get(1, nullptr), S_OK);
  EXPECT_EQ(camera_.Exchanges()[0].request, ReadRequest(1, "", "VIEWFIND", 1, 0));
  Bytes header = {40, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0};
  header.resize(40, 0);
  EXPECT_EQ(got_, Join({header,
                        {40, 40, 40, 50, 50, 50, 60, 60, 60, 0, 0, 0}, //
                        {10, 10, 10, 20, 20, 20, 30, 30, 30, 0, 0, 0}}));
  EXPECT_EQ(Progress(), std::pair(0u, 0u)) << "a one-packet read leaves the counters";
}

struct Thumbnail {
  const char *name;
  std::uint32_t width, height, dataLength;
  std::size_t carried;
  HRESULT result;
  ULONG size;
};

using Thumbnails = DownloadTable<Thumbnail>;

TEST_P(Thumbnails, BitmapSizeOrRefusal) {
  const Thumbnail &c = GetParam();
  camera_.Queue(OnePacket(0, c.dataLength, c.height, c.width, Bytes(c.carried, 128)));
  EXPECT_EQ(Get(1), c.result);
  EXPECT_EQ(size_, c.size);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Thumbnails,
    ::testing::Values(Thumbnail{"WidthZeroMeans80By60", 0, 7, 9600, 9600, S_OK, 40 + 240 * 60},
                      Thumbnail{"OddWidthRowsArePadded", 81, 2, 328, 328, S_OK, 40 + 244 * 2},
                      Thumbnail{"NoData", 80, 60, 0, 9600, CAM_E_BAD_PARAMETER, 0},
                      Thumbnail{"NegativeLength", 80, 60, 0x80000000u, 9600, CAM_E_BAD_PARAMETER,
                                0},
                      Thumbnail{"RowsMissingFromThePacket", 80, 60, 9600, 9000, CAM_E_BAD_DATA, 0},
                      Thumbnail{"LengthShortOfTheRows", 80, 60, 9000, 9600, CAM_E_BAD_DATA, 0},
                      Thumbnail{"Huge", 0xFFFFFFFFu, 0xFFFFFFFFu, 9600, 9600, CAM_E_BAD_DATA, 0}),
    kCaseName);

TEST(ThumbnailColours, FixedPointConversionClamps) {
  using Bgr = std::array<std::uint8_t, 3>;
  EXPECT_EQ(files::YCbCrToBgr(128, 128, 128), (Bgr{128, 128, 128}));
  EXPECT_EQ(files::YCbCrToBgr(255, 255, 128)[0], 255);
  EXPECT_EQ(files::YCbCrToBgr(0, 128, 0)[2], 0);
  EXPECT_EQ(files::YCbCrToBgr(76, 85, 255), (Bgr{0, 0, 254})); // full-range red
}

TEST_F(Download, ThirdKindIsPassedOnAsSentWhenItsLengthsAgree) {
  camera_.Queue(OnePacket(5, 5, 0, 0, {1, 2, 3, 4, 5}));
  camera_.Queue(OnePacket(4, 5, 0, 0, {1, 2, 3, 4, 5}));
  camera_.Queue(OnePacket(50, 50, 0, 0, {1, 2, 3, 4, 5})); // 45 bytes missing
  EXPECT_EQ(Get(3), S_OK);
  EXPECT_EQ(got_, (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(Get(3), CAM_E_BAD_DATA);
  EXPECT_EQ(Get(3), CAM_E_BAD_DATA);
}

} // namespace
} // namespace tavelo::test
