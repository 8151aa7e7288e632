// The store operations other parts of the library run on a session: the
// default drive query, the new-file list, the all-files request, the file
// size query and delete.
#include "files/file_info.h"
#include "files/listing.h"
#include "store_answers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace tavelo::test {
namespace {

using files::DeleteCameraFile;
using files::FetchNewFiles;
using files::QueryDefaultDrive;
using files::QueryFileSize;

void QueueProductItems(FakeCamera &camera) {
  camera.Queue(OneItem(wire::kProductInfo, Tag("vdid"), 8, Field("Tavelo", 32)));
  camera.Queue(OneItem(wire::kProductInfo, Tag("ptid"), 8, Field("VC-1", 32)));
  camera.Queue(OneItem(wire::kProductInfo, Tag("sern"), 1, Be32(1001)));
}

class StoreSession : public BoundCameraTest {
protected:
  // Takes the new-file list through its export; the path names.
  Names TakeNewFiles(HRESULT expected = S_OK) {
    ULONG count = 0;
    FH **files = nullptr;
    EXPECT_EQ(TaveloGetNewFileList(handle_, &count, &files), expected);
    return Release(handle_, count, files);
  }
};

TEST_F(StoreSession, DefaultDriveEchoesTheProductItemsAndIsAskedOnce) {
  QueueProductItems(camera_);
  camera_.Queue(Ok(wire::kDefaultDrive, Be32(3)));
  ULONG drive = 0;
  ASSERT_EQ(QueryDefaultDrive(Session(), &drive), S_OK);
  ASSERT_EQ(QueryDefaultDrive(Session(), &drive), S_OK);
  EXPECT_EQ(drive, 3u);
  const Bytes query = Request(wire::kDefaultDrive,
                              {Be32(4), Be32(Tag("vdid")), Be32(8), Field("Tavelo", 32),
                               Be32(Tag("ptid")), Be32(8), Field("VC-1", 32), Be32(Tag("sern")),
                               Be32(1), Be32(1001), Be32(Tag("crst")), Be32(1), Be32(2)});
  EXPECT_EQ(Sent(), (Requests{{Request(wire::kProductInfo, {Be32(Tag("vdid"))}), 0},
                              {Request(wire::kProductInfo, {Be32(Tag("ptid"))}), 0},
                              {Request(wire::kProductInfo, {Be32(Tag("sern"))}), 0},
                              {query, 52}}));
}

TEST_F(StoreSession, DriveTwoStandsInUntilTheCameraNamesOne) {
  // Refused, or no product item to echo: nothing is kept, the next query
  // asks again.
  QueueProductItems(camera_);
  camera_.Queue(Status(wire::kDefaultDrive, 5));
  camera_.Queue(Status(wire::kProductInfo, 8));
  camera_.Queue(Ok(wire::kProductInfo)); // an answer without the item
  for (HRESULT expected : {CAM_E_BAD_REQUEST_DATA, CAM_E_DATA_NOT_FOUND, CAM_E_BAD_DATA}) {
    ULONG drive = 0;
    EXPECT_EQ(QueryDefaultDrive(Session(), &drive), expected);
    EXPECT_EQ(drive, 2u);
  }
  EXPECT_EQ(camera_.Exchanges().size(), 6u);
}

// the new-file list

Reply NewFiles(const Names &names) {
  std::vector<Bytes> entries;
  for (const std::string &name : names) {
    entries.push_back(ImageItem(2, "DCIM/", name, 100));
  }
  return Ok(wire::kNewFileList, List(entries));
}

TEST_F(StoreSession, UncollectedFilesSurviveRefreshesAndFailuresAndAreTakenOnce) {
  camera_.Queue(NewFiles({"A.JPG", "B.JPG"}));
  camera_.Queue(NewFiles({"B.JPG", "C.JPG"}));
  camera_.Queue(Status(wire::kNewFileList, 0x0C));
  camera_.Queue(Reply{E_FAIL, {}});
  EXPECT_EQ(FetchNewFiles(Session()), S_OK);
  EXPECT_EQ(FetchNewFiles(Session()), S_OK);
  EXPECT_EQ(FetchNewFiles(Session()), CAM_E_BUSY);
  EXPECT_EQ(FetchNewFiles(Session()), E_FAIL);
  EXPECT_EQ(Sent().front(), (std::pair{Request(wire::kNewFileList, {}), ULONG{0}}));
  EXPECT_EQ(TakeNewFiles(), (Names{"2:DCIM/A.JPG", "2:DCIM/B.JPG", "2:DCIM/C.JPG"}));
  EXPECT_EQ(TakeNewFiles(CAM_E_FILE_NOT_FOUND), Names{});
  // Files nobody takes go with the session (the sanitizer build's leak
  // checker watches this).
  camera_.Queue(NewFiles({"D.JPG"}));
  EXPECT_EQ(FetchNewFiles(Session()), S_OK);
}

TEST_F(StoreSession, NoEntryIsReadPastTheReceivedPacket) {
  // A full answer first leaves entries behind in the exchange buffer.
  camera_.Queue(NewFiles({"A.JPG", "B.JPG", "C.JPG"}));
  camera_.Queue(Ok(wire::kNewFileList, Join({Be32(3), ImageItem(2, "DCIM/", "D.JPG")})));
  camera_.Queue(Ok(wire::kNewFileList, Join({Be32(0xFFFFFFFF), ImageItem(2, "DCIM/", "E.JPG")})));
  ASSERT_EQ(FetchNewFiles(Session()), S_OK);
  TakeNewFiles();
  ASSERT_EQ(FetchNewFiles(Session()), S_OK);
  EXPECT_EQ(TakeNewFiles(), Names{"2:DCIM/D.JPG"});
  ASSERT_EQ(FetchNewFiles(Session()), S_OK);
  EXPECT_EQ(TakeNewFiles(CAM_E_FILE_NOT_FOUND), Names{}) << "a negative count means none";
}

TEST_F(StoreSession, HandOverNeverPairsTheCountOfOneListWithAnotherArray) {
  // Each refresh reports one to four files of its own; whatever the
  // interleaving, the hand-overs give whole lists of valid, distinct
  // handles, and together every file reported.
  constexpr int kRefreshes = 200;
  std::atomic<int> refresh{0};
  camera_.SetHandler([&](const ExchangeRecord &) {
    const int k = refresh.fetch_add(1);
    Names names;
    for (int i = 0; i <= k % 4; ++i) {
      names.push_back("B" + std::to_string(k) + "F" + std::to_string(i) + ".JPG");
    }
    return NewFiles(names);
  });
  std::thread fetcher([&] {
    for (int i = 0; i < kRefreshes; ++i) {
      EXPECT_EQ(FetchNewFiles(Session()), S_OK);
    }
  });
  std::set<std::string> taken;
  auto take = [&] {
    ULONG count = 0;
    FH **files = nullptr;
    HRESULT result = Session().TakeNewFiles(&count, &files);
    EXPECT_EQ(result == S_OK, count > 0);
    for (const std::string &path : Release(handle_, count, files)) {
      EXPECT_EQ(path.rfind("2:DCIM/B", 0), 0u) << path;
      EXPECT_TRUE(taken.insert(path).second) << path;
    }
  };
  while (refresh.load() < kRefreshes) {
    take();
  }
  fetcher.join();
  take();
  EXPECT_EQ(taken.size(), 500u); // 50 rounds of 1 + 2 + 3 + 4
}

TEST_F(StoreSession, AllFilesRequestGivesOnlyTheOutcome) {
  camera_.Queue(Ok(wire::kImageList, List({ImageItem(2, "DCIM/", "A.JPG")})));
  camera_.Queue(Status(wire::kImageList, 7));
  EXPECT_EQ(files::RequestAllFiles(Session()), S_OK);
  EXPECT_EQ(files::RequestAllFiles(Session()), CAM_E_FILE_NOT_FOUND);
  const Bytes request = Request(wire::kImageList, {Be32(1), Bytes(52, 0)});
  EXPECT_EQ(Sent(), (Requests{{request, 0}, {request, 0}}));
  EXPECT_EQ(TakeNewFiles(CAM_E_FILE_NOT_FOUND), Names{});
  // Nothing is sent without the gate.
  Session().DropConnection();
  camera_.QueueOpenResults({E_FAIL});
  EXPECT_EQ(files::RequestAllFiles(Session()), CAM_E_COMM);
  EXPECT_EQ(camera_.Exchanges().size(), 2u);
}

// the file size query

using FileSize = CameraTable<std::tuple<const char *, Reply, HRESULT, ULONG>>;

TEST_P(FileSize, AsksForTheOneFileAndReadsItsEntry) {
  const auto &[name, reply, result, expected] = GetParam();
  camera_.Queue(reply);
  const FH file = Handle("2:DCIM/IMG0001.JPG");
  ULONG size = 77;
  EXPECT_EQ(QueryFileSize(Session(), &file, &size), result);
  EXPECT_EQ(size, expected);
  EXPECT_EQ(
      Sent(),
      (Requests{{Request(wire::kImageList, {Be32(0), Record(2, "DCIM/", "IMG0001.JPG")}), 0}}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileSize,
    ::testing::Values(
        std::tuple{"OneEntry", Ok(wire::kImageList, List({ImageItem(2, "D/", "I.JPG", 123456)})),
                   S_OK, ULONG{123456}},
        std::tuple{"NoEntries", Ok(wire::kImageList), S_OK, ULONG{77}},
        std::tuple{"EntryCutShort", Ok(wire::kImageList, Join({Be32(1), Bytes(40, 0)})), S_OK,
                   ULONG{77}},
        std::tuple{"Refused", Status(wire::kImageList, 7), CAM_E_FILE_NOT_FOUND, ULONG{77}}),
    [](const auto &info) { return std::string(std::get<0>(info.param)); });

TEST_F(StoreSession, FileSizeConnectsAndDropsABrokenLinkLikeEveryCommand) {
  camera_.Queue(Reply{E_FAIL, {}});
  camera_.Queue(Ok(wire::kImageList, List({ImageItem(2, "DCIM/", "IMG0001.JPG", 5)})));
  const FH file = Handle("2:DCIM/IMG0001.JPG");
  ULONG size = 0;
  EXPECT_EQ(QueryFileSize(Session(), &file, &size), E_FAIL);
  EXPECT_EQ(Session().IsConnected(), CAM_S_COMPLETED);
  EXPECT_EQ(QueryFileSize(Session(), &file, &size), S_OK);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(camera_.InstancesCreated(), 2);
}

TEST_F(StoreSession, SizeAndDeleteRefuseWhatTheyCannotNameWithoutContact) {
  ULONG size = 77;
  for (const char *path : {"2:", "2:DCIM/NOT_SHORT_NAME.JPG", "2:DCIM/"}) {
    const FH file = Handle(path);
    EXPECT_EQ(QueryFileSize(Session(), &file, &size), CAM_E_BAD_PARAMETER) << path;
  }
  for (const char *path : {"2:", "2:DCIM/NOT_SHORT_NAME.JPG"}) { // a drive root stays
    const FH file = Handle(path);
    EXPECT_EQ(DeleteCameraFile(Session(), &file), CAM_E_BAD_PARAMETER) << path;
  }
  EXPECT_EQ(QueryFileSize(Session(), nullptr, &size), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(DeleteCameraFile(Session(), nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(size, 77u);
  EXPECT_TRUE(Untouched());
}

// delete

constexpr std::uint16_t kGentle = wire::kRemoveDirectory;
constexpr std::uint16_t kWhole = wire::kRemoveDirectoryAlt;

using RemoveDirectory =
    CameraTable<std::tuple<const char *, std::vector<Reply>, std::vector<std::uint16_t>, HRESULT>>;

TEST_P(RemoveDirectory, TriesTheGentleCommandFirst) {
  const auto &[name, replies, commands, result] = GetParam();
  for (const Reply &reply : replies) {
    camera_.Queue(reply);
  }
  const FH directory = Handle("2:ALBUM1/SUB/");
  EXPECT_EQ(DeleteCameraFile(Session(), &directory), result);
  Requests expected;
  for (std::uint16_t command : commands) {
    expected.emplace_back(Request(command, {Be32(2), Field("ALBUM1/SUB/", 32)}), 12);
  }
  EXPECT_EQ(Sent(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RemoveDirectory,
    ::testing::Values(std::tuple{"Empty", std::vector{Ok(kGentle)}, std::vector{kGentle}, S_OK},
                      std::tuple{"Full", std::vector{Status(kGentle, 0x16), Ok(kWhole)},
                                 std::vector{kGentle, kWhole}, S_OK},
                      std::tuple{"Missing", std::vector{Status(kGentle, 7), Status(kWhole, 7)},
                                 std::vector{kGentle, kWhole}, CAM_E_FILE_NOT_FOUND},
                      std::tuple{"LinkBreaksOnce", std::vector{Reply{E_FAIL, {}}, Ok(kWhole)},
                                 std::vector{kGentle, kWhole}, S_OK}),
    [](const auto &info) { return std::string(std::get<0>(info.param)); });

} // namespace
} // namespace tavelo::test
