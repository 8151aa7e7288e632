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
using files::RequestAllFiles;

constexpr ULONG kNotFetched = 0xFFFFFFFF;

Bytes ProductRequest(const char (&tag)[5]) {
  return Request(wire::kProductInfo, {Be32(Tag(tag))});
}

// The 0x05 request that echoes the items QueueProductItems answers with.
const Bytes kDriveRequest =
    Request(wire::kDefaultDrive,
            {Be32(4), Be32(Tag("vdid")), Be32(8), Field("Tavelo", 32), Be32(Tag("ptid")), Be32(8),
             Field("Virtual Camera VC-1", 32), Be32(Tag("sern")), Be32(1), Be32(1001),
             Be32(Tag("crst")), Be32(1), Be32(2)});

class StoreSession : public BoundCameraTest {
protected:
  void QueueProductItems() {
    camera_.Queue(OneItem(wire::kProductInfo, Tag("vdid"), 8, Field("Tavelo", 32)));
    camera_.Queue(OneItem(wire::kProductInfo, Tag("ptid"), 8, Field("Virtual Camera VC-1", 32)));
    camera_.Queue(OneItem(wire::kProductInfo, Tag("sern"), 1, Be32(1001)));
  }
  // Takes the new-file list and releases its handles; the path names.
  std::vector<std::string> TakeNewFiles(HRESULT expected = S_OK) {
    ULONG count = 0;
    FH **files = nullptr;
    EXPECT_EQ(Session().TakeNewFiles(&count, &files), expected);
    std::vector<std::string> paths = Paths(count, files);
    for (ULONG i = 0; i < count; ++i) {
      TaveloCloseFile(handle_, files[i]);
    }
    return paths;
  }
};

TEST_F(StoreSession, DefaultDriveEchoesTheProductItemsAndIsAskedOnce) {
  QueueProductItems();
  camera_.Queue(Ok(wire::kDefaultDrive, Be32(3)));
  ULONG drive = 0;
  ASSERT_EQ(QueryDefaultDrive(Session(), &drive), S_OK);
  EXPECT_EQ(drive, 3u);
  EXPECT_EQ(Sent(), (Requests{{ProductRequest("vdid"), 0},
                              {ProductRequest("ptid"), 0},
                              {ProductRequest("sern"), 0},
                              {kDriveRequest, 52}}));
  drive = 0;
  ASSERT_EQ(QueryDefaultDrive(Session(), &drive), S_OK);
  EXPECT_EQ(drive, 3u);
  EXPECT_EQ(camera_.Exchanges().size(), 4u) << "the answer is kept for the session";
}

// Whenever the camera does not name its default drive, drive 2 stands in,
// nothing is kept, and the next query asks again.
struct StandInCase {
  const char *name;
  std::vector<Reply> replies; // after the product items
  bool productItemsAnswered;
  HRESULT result;
};

using DefaultDriveStandIn = CameraTable<StandInCase>;

TEST_P(DefaultDriveStandIn, GivesDriveTwoAndAsksAgainNextTime) {
  const StandInCase &c = GetParam();
  if (c.productItemsAnswered) {
    camera_.Queue(OneItem(wire::kProductInfo, Tag("vdid"), 8, Field("Tavelo", 32)));
    camera_.Queue(OneItem(wire::kProductInfo, Tag("ptid"), 8, Field("Virtual Camera VC-1", 32)));
    camera_.Queue(OneItem(wire::kProductInfo, Tag("sern"), 1, Be32(1001)));
  }
  for (const Reply &reply : c.replies) {
    camera_.Queue(reply);
  }
  ULONG drive = 0;
  EXPECT_EQ(QueryDefaultDrive(Session(), &drive), c.result);
  EXPECT_EQ(drive, 2u);
  EXPECT_EQ(Session().defaultDrive.load(), kNotFetched);
  const std::size_t asked = camera_.Exchanges().size();
  QueryDefaultDrive(Session(), &drive);
  EXPECT_GT(camera_.Exchanges().size(), asked);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DefaultDriveStandIn,
    ::testing::Values(
        StandInCase{
            "CameraRefuses", {Status(wire::kDefaultDrive, 5)}, true, CAM_E_BAD_REQUEST_DATA},
        StandInCase{"AnswerWithoutDrive", {Ok(wire::kDefaultDrive)}, true, CAM_E_BAD_DATA},
        StandInCase{"TransportFails", {Broken()}, true, E_FAIL},
        StandInCase{
            "ProductItemMissing", {Status(wire::kProductInfo, 8)}, false, CAM_E_DATA_NOT_FOUND}),
    kCaseName);

// the new-file list

Reply NewFiles(const std::vector<std::string> &names) {
  std::vector<Bytes> entries;
  for (const std::string &name : names) {
    entries.push_back(ImageItem(2, "DCIM/", name, 100));
  }
  return Ok(wire::kNewFileList, List(entries));
}

TEST_F(StoreSession, FetchedFilesAreHandedOverOnce) {
  camera_.Queue(Ok(wire::kNewFileList,
                   List({ImageItem(2, "DCIM/", "IMG0001.JPG", 100), ImageItem(3, "/X", "A.JPG")})));
  ASSERT_EQ(FetchNewFiles(Session()), S_OK);
  EXPECT_EQ(Sent(), (Requests{{Request(wire::kNewFileList, {}), 0}}));
  EXPECT_EQ(TakeNewFiles(), (std::vector<std::string>{"2:DCIM/IMG0001.JPG", "3:X/A.JPG"}));
  EXPECT_EQ(TakeNewFiles(CAM_E_FILE_NOT_FOUND), std::vector<std::string>{});
}

TEST_F(StoreSession, UncollectedFilesSurviveLaterRefreshesAndFailures) {
  camera_.Queue(NewFiles({"A.JPG", "B.JPG"}));
  camera_.Queue(NewFiles({"B.JPG", "C.JPG"}));
  camera_.Queue(Status(wire::kNewFileList, 0x0C));
  camera_.Queue(Broken());
  camera_.Queue(NewFiles({}));
  EXPECT_EQ(FetchNewFiles(Session()), S_OK);
  EXPECT_EQ(FetchNewFiles(Session()), S_OK);
  EXPECT_EQ(FetchNewFiles(Session()), CAM_E_BUSY);
  EXPECT_EQ(FetchNewFiles(Session()), E_FAIL);
  EXPECT_EQ(FetchNewFiles(Session()), S_OK);
  EXPECT_EQ(TakeNewFiles(),
            (std::vector<std::string>{"2:DCIM/A.JPG", "2:DCIM/B.JPG", "2:DCIM/C.JPG"}));
}

TEST_F(StoreSession, UncollectedFilesGoWithTheSession) {
  // Nobody takes them: closing the camera releases them (the leak checker
  // of the sanitizer build watches this).
  camera_.Queue(NewFiles({"A.JPG", "B.JPG"}));
  ASSERT_EQ(FetchNewFiles(Session()), S_OK);
}

TEST_F(StoreSession, NoEntryIsReadPastTheReceivedPacket) {
  // A full answer first leaves entries behind in the exchange buffer.
  camera_.Queue(NewFiles({"A.JPG", "B.JPG", "C.JPG"}));
  ASSERT_EQ(FetchNewFiles(Session()), S_OK);
  TakeNewFiles();
  camera_.Queue(Ok(wire::kNewFileList, Join({Be32(3), ImageItem(2, "DCIM/", "D.JPG")})));
  ASSERT_EQ(FetchNewFiles(Session()), S_OK);
  EXPECT_EQ(TakeNewFiles(), std::vector<std::string>{"2:DCIM/D.JPG"});
  // A negative count means none.
  camera_.Queue(Ok(wire::kNewFileList, Join({Be32(0xFFFFFFFF), ImageItem(2, "DCIM/", "E.JPG")})));
  ASSERT_EQ(FetchNewFiles(Session()), S_OK);
  EXPECT_EQ(TakeNewFiles(CAM_E_FILE_NOT_FOUND), std::vector<std::string>{});
}

TEST_F(StoreSession, HandOverNeverPairsTheCountOfOneListWithAnotherArray) {
  // Every refresh reports one to four files of its own; whatever the
  // interleaving, each hand-over gives whole, distinct, valid handles and
  // together they are every file reported.
  std::atomic<int> refresh{0};
  camera_.SetHandler([&](const ExchangeRecord &) {
    const int k = refresh.fetch_add(1);
    std::vector<std::string> names;
    for (int i = 0; i <= k % 4; ++i) {
      names.push_back("B" + std::to_string(k) + "F" + std::to_string(i) + ".JPG");
    }
    return NewFiles(names);
  });
  constexpr int kRefreshes = 200;
  std::thread fetcher([&] {
    for (int i = 0; i < kRefreshes; ++i) {
      EXPECT_EQ(FetchNewFiles(Session()), S_OK);
    }
  });
  std::set<std::string> taken;
  auto take = [&] {
    ULONG count = 0;
    FH **files = nullptr;
    if (Session().TakeNewFiles(&count, &files) != S_OK) {
      return;
    }
    ASSERT_GT(count, 0u);
    for (const std::string &path : Paths(count, files)) {
      EXPECT_EQ(path.rfind("2:DCIM/B", 0), 0u) << path;
      EXPECT_TRUE(taken.insert(path).second) << path;
    }
    for (ULONG i = 0; i < count; ++i) {
      TaveloCloseFile(handle_, files[i]);
    }
  };
  while (refresh.load() < kRefreshes) {
    take();
  }
  fetcher.join();
  take();
  std::size_t reported = 0;
  for (int k = 0; k < kRefreshes; ++k) {
    reported += k % 4 + 1;
  }
  EXPECT_EQ(taken.size(), reported);
}

// the all-files request

TEST_F(StoreSession, AllFilesRequestGivesOnlyTheOutcome) {
  const Bytes request = Request(wire::kImageList, {Be32(1), Bytes(52, 0)});
  camera_.Queue(Ok(wire::kImageList, List({ImageItem(2, "DCIM/", "A.JPG")})));
  camera_.Queue(Status(wire::kImageList, 7));
  EXPECT_EQ(RequestAllFiles(Session()), S_OK);
  EXPECT_EQ(RequestAllFiles(Session()), CAM_E_FILE_NOT_FOUND);
  EXPECT_EQ(Sent(), (Requests{{request, 0}, {request, 0}}));
  EXPECT_EQ(TakeNewFiles(CAM_E_FILE_NOT_FOUND), std::vector<std::string>{});

  // Nothing is sent when the gate cannot be had.
  Session().DropConnection();
  camera_.QueueOpenResults({E_FAIL});
  EXPECT_EQ(RequestAllFiles(Session()), CAM_E_COMM);
  EXPECT_EQ(camera_.Exchanges().size(), 2u);
}

// the file size query

struct SizeCase {
  const char *name;
  Reply reply;
  HRESULT result;
  ULONG size; // starting from 77
};

using FileSize = CameraTable<SizeCase>;

TEST_P(FileSize, AsksForTheOneFileAndReadsItsEntry) {
  const SizeCase &c = GetParam();
  camera_.Queue(c.reply);
  const FH file = Handle("2:DCIM/IMG0001.JPG");
  ULONG size = 77;
  EXPECT_EQ(QueryFileSize(Session(), &file, &size), c.result);
  EXPECT_EQ(size, c.size);
  EXPECT_EQ(
      Sent(),
      (Requests{{Request(wire::kImageList, {Be32(0), Record(2, "DCIM/", "IMG0001.JPG")}), 0}}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileSize,
    ::testing::Values(
        SizeCase{"OneEntry",
                 Ok(wire::kImageList, List({ImageItem(2, "DCIM/", "IMG0001.JPG", 123456)})), S_OK,
                 123456},
        SizeCase{"NoEntries", Ok(wire::kImageList), S_OK, 77},
        SizeCase{"CountZero", Ok(wire::kImageList, Be32(0)), S_OK, 77},
        SizeCase{"EntryCutShort", Ok(wire::kImageList, Join({Be32(1), Bytes(40, 0)})), S_OK, 77},
        SizeCase{"Refused", Status(wire::kImageList, 7), CAM_E_FILE_NOT_FOUND, 77}),
    kCaseName);

TEST_F(StoreSession, FileSizeRefusesDirectoriesAndBadHandlesWithoutContact) {
  ULONG size = 77;
  for (const char *path : {"2:DCIM/", "2:DCIM/NOT_SHORT_NAME.JPG", "2:"}) {
    const FH file = Handle(path);
    EXPECT_EQ(QueryFileSize(Session(), &file, &size), CAM_E_BAD_PARAMETER) << path;
  }
  EXPECT_EQ(QueryFileSize(Session(), nullptr, &size), CAM_E_BAD_PARAMETER);
  const FH file = Handle("2:DCIM/IMG0001.JPG");
  EXPECT_EQ(QueryFileSize(Session(), &file, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(size, 77u);
  EXPECT_TRUE(Untouched());
}

TEST_F(StoreSession, FileSizeDropsABrokenLinkAndReconnectsNextTime) {
  camera_.Queue(Broken());
  camera_.Queue(Ok(wire::kImageList, List({ImageItem(2, "DCIM/", "IMG0001.JPG", 5)})));
  const FH file = Handle("2:DCIM/IMG0001.JPG");
  ULONG size = 0;
  EXPECT_EQ(QueryFileSize(Session(), &file, &size), E_FAIL);
  EXPECT_EQ(Session().IsConnected(), CAM_S_COMPLETED);
  EXPECT_EQ(QueryFileSize(Session(), &file, &size), S_OK);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(camera_.InstancesCreated(), 2);
}

// delete

TEST_F(StoreSession, DeletingAFileSendsItsRecord) {
  const FH file = Handle("2:DCIM/IMG0001.JPG");
  camera_.Queue(Ok(wire::kDeleteFile));
  camera_.Queue(Status(wire::kDeleteFile, 7));
  EXPECT_EQ(DeleteCameraFile(Session(), &file), S_OK);
  EXPECT_EQ(DeleteCameraFile(Session(), &file), CAM_E_FILE_NOT_FOUND);
  const Bytes request = Request(wire::kDeleteFile, {Record(2, "DCIM/", "IMG0001.JPG")});
  EXPECT_EQ(Sent(), (Requests{{request, 12}, {request, 12}}));
}

struct RemoveCase {
  const char *name;
  std::vector<Reply> replies;
  std::vector<std::uint16_t> commands;
  HRESULT result;
};

using RemoveDirectory = CameraTable<RemoveCase>;

TEST_P(RemoveDirectory, TriesTheGentleCommandFirst) {
  const RemoveCase &c = GetParam();
  for (const Reply &reply : c.replies) {
    camera_.Queue(reply);
  }
  const FH directory = Handle("2:ALBUM1/SUB/");
  EXPECT_EQ(DeleteCameraFile(Session(), &directory), c.result);
  Requests expected;
  for (std::uint16_t command : c.commands) {
    expected.emplace_back(Request(command, {Be32(2), Field("ALBUM1/SUB/", 32)}), 12);
  }
  EXPECT_EQ(Sent(), expected);
}

constexpr std::uint16_t kGentle = wire::kRemoveDirectory;
constexpr std::uint16_t kWhole = wire::kRemoveDirectoryAlt;

INSTANTIATE_TEST_SUITE_P(
    Table, RemoveDirectory,
    ::testing::Values(
        RemoveCase{"Empty", {Ok(kGentle)}, {kGentle}, S_OK},
        RemoveCase{"Full", {Status(kGentle, 0x16), Ok(kWhole)}, {kGentle, kWhole}, S_OK},
        RemoveCase{"Missing",
                   {Status(kGentle, 7), Status(kWhole, 7)},
                   {kGentle, kWhole},
                   CAM_E_FILE_NOT_FOUND},
        RemoveCase{"LinkBreaksOnce", {Broken(), Ok(kWhole)}, {kGentle, kWhole}, S_OK}),
    kCaseName);

TEST_F(StoreSession, DeleteRefusesADriveRootAndBadHandlesWithoutContact) {
  for (const char *path : {"2:", "2:DCIM/NOT_SHORT_NAME.JPG"}) {
    const FH file = Handle(path);
    EXPECT_EQ(DeleteCameraFile(Session(), &file), CAM_E_BAD_PARAMETER) << path;
  }
  EXPECT_EQ(DeleteCameraFile(Session(), nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
}

} // namespace
} // namespace tavelo::test
