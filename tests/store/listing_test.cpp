// The listings on the wire: the default drive, the directory listing with
// its fallbacks, all images, groups, ungrouped images, system files, the
// new-file list and the all-files request.
#include "files/listing.h"
#include "store_answers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <thread>

namespace tavelo::test {
namespace {

using namespace std::placeholders;

// An entry of the directory listing (0x4A): name, 28 bytes, flags, 3 bytes.
Bytes DirItem(const std::string &name, bool directory) {
  Bytes entry = Field(name, 48);
  entry[44] = directory ? 0x80 : 0x00;
  return entry;
}

Bytes GroupItem(std::uint32_t drive, const std::string &path) {
  return Join({Be32(drive), Field(path, 32)});
}

std::uint16_t CommandOf(const Bytes &request) {
  return static_cast<std::uint16_t>(Be32At(request, 8) >> 16);
}

Reply NewFiles(const Names &names) {
  std::vector<Bytes> entries;
  for (const std::string &name : names) {
    entries.push_back(ImageItem(2, "DCIM/", name, 100));
  }
  return Ok(wire::kNewFileList, List(entries));
}

void QueueProductItems(FakeCamera &camera) {
  camera.Queue(OneItem(wire::kProductInfo, Tag("vdid"), 8, Field("Tavelo", 32)));
  camera.Queue(OneItem(wire::kProductInfo, Tag("ptid"), 8, Field("VC-1", 32)));
  camera.Queue(OneItem(wire::kProductInfo, Tag("sern"), 1, Be32(1001)));
}

// The path names of listed handles, which are then released.
inline Names Release(HCAMERA camera, ULONG count, FH **handles) {
  Names paths;
  for (ULONG i = 0; i < count; ++i) {
    paths.emplace_back(handles[i]->path, strnlen(handles[i]->path, sizeof handles[i]->path));
    EXPECT_EQ(TaveloCloseFile(camera, handles[i]), S_OK);
  }
  return paths;
}

using ListExport = CAMRESULT(TAVELOAPI *)(HCAMERA, ULONG *, FH ***);

class Listings : public BoundCameraTest {
protected:
  // Runs a listing; gives the path names (releasing the handles) and keeps
  // the array. After a failure both outputs must be cleared.
  Names Run(const std::function<HRESULT(ULONG *, FH ***)> &list, HRESULT expected = S_OK) {
    ULONG count = 99;
    array_ = reinterpret_cast<FH **>(this);
    EXPECT_EQ(list(&count, &array_), expected);
    if (FAILED(expected)) {
      EXPECT_EQ(count, 0u);
      EXPECT_EQ(array_, nullptr);
    }
    return Release(handle_, count, array_);
  }
  Names Run(ListExport list, HRESULT expected = S_OK) {
    return Run(std::bind_front(list, handle_), expected);
  }
  // A camera that answers each command with a fixed reply, others with a
  // bare success.
  void Answer(std::map<std::uint16_t, Reply> replies) {
    camera_.SetHandler([replies = std::move(replies)](const ExchangeRecord &exchange) {
      auto found = replies.find(CommandOf(exchange.request));
      return found != replies.end() ? found->second : Ok(CommandOf(exchange.request));
    });
  }
  Names Files(const FH *directory, LONG exclude = 0, HRESULT expected = S_OK) {
    return Run(std::bind(TaveloGetFileList, handle_, directory, _1, _2, exclude), expected);
  }
  Names Directories(const FH *directory, HRESULT expected = S_OK) {
    return Run(std::bind_front(TaveloGetDirectoryList, handle_, directory), expected);
  }

  FH **array_ = nullptr; // the array of the last listing
};

const Reply kAlbum =
    Ok(wire::kFileList,
       List({DirItem("IMG1.JPG", false), DirItem("SUB", true), DirItem("IMG2.JPG", false)}));

// The root is asked for once; a file's listing is its directory's.
TEST_F(Listings, RootListingAsksForTheDefaultDriveOnceEchoingTheProductItems) {
  QueueProductItems(camera_);
  camera_.Queue(Ok(wire::kDefaultDrive, Be32(3)));
  Answer({{wire::kFileList, kAlbum}});
  const FH file = Handle("2:ALBUM1/IMG1.JPG");
  EXPECT_EQ(Files(nullptr), (Names{"3:IMG1.JPG", "3:IMG2.JPG"}));
  EXPECT_EQ(Directories(nullptr), Names{"3:SUB/"});
  EXPECT_EQ(Files(&file), (Names{"2:ALBUM1/IMG1.JPG", "2:ALBUM1/IMG2.JPG"}));
  const Bytes query = Request(wire::kDefaultDrive,
                              {Be32(4), Be32(Tag("vdid")), Be32(8), Field("Tavelo", 32),
                               Be32(Tag("ptid")), Be32(8), Field("VC-1", 32), Be32(Tag("sern")),
                               Be32(1), Be32(1001), Be32(Tag("crst")), Be32(1), Be32(2)});
  const Bytes root = Request(wire::kFileList, {Be32(3), Bytes(32, 0)});
  EXPECT_EQ(Sent(), (Requests{{Request(wire::kProductInfo, {Be32(Tag("vdid"))}), 0},
                              {Request(wire::kProductInfo, {Be32(Tag("ptid"))}), 0},
                              {Request(wire::kProductInfo, {Be32(Tag("sern"))}), 0},
                              {query, 52},
                              {root, 0},
                              {root, 0},
                              {Request(wire::kFileList, {Be32(2), Field("ALBUM1/", 32)}), 0}}));
}

TEST_F(Listings, DriveTwoStandsInUntilTheCameraNamesOne) {
  // Refused, or no product item to echo: nothing is kept, the next query
  // asks again.
  QueueProductItems(camera_);
  camera_.Queue(Status(wire::kDefaultDrive, 5));
  QueueProductItems(camera_);
  camera_.Queue(Ok(wire::kDefaultDrive)); // the header without a drive
  camera_.Queue(Status(wire::kProductInfo, 8));
  camera_.Queue(Ok(wire::kProductInfo)); // an answer without the item
  for (HRESULT expected :
       {CAM_E_BAD_REQUEST_DATA, CAM_E_BAD_DATA, CAM_E_DATA_NOT_FOUND, CAM_E_BAD_DATA}) {
    ULONG drive = 0;
    EXPECT_EQ(files::QueryDefaultDrive(Session(), &drive), expected);
    EXPECT_EQ(drive, 2u);
  }
  EXPECT_EQ(camera_.Exchanges().size(), 10u);
}

TEST_F(Listings, OnlyEntriesThatArrivedAndHaveANameCountAndFailuresLeaveNoArray) {
  Session().defaultDrive = 2;
  camera_.Queue(Ok(wire::kFileList, Be32(0)));
  EXPECT_EQ(Files(nullptr), Names{});
  EXPECT_EQ(array_, nullptr) << "no entries: no array";
  camera_.Queue(
      Ok(wire::kFileList, List({DirItem("A", true), DirItem("B", true), DirItem("C", true)})));
  EXPECT_EQ(Files(nullptr), Names{});
  EXPECT_NE(array_, nullptr) << "entries left out still have their slots";
  // The entries above stay in the exchange buffer behind these answers.
  camera_.Queue(Ok(wire::kFileList, Join({Be32(3), DirItem("", true), DirItem("D", true),
                                          DirItem(std::string(16, 'Q'), true)})));
  EXPECT_EQ(Directories(nullptr), (Names{"2:D/", "2:" + std::string(15, 'Q') + "/"}))
      << "an unterminated name keeps 15 characters";
  camera_.Queue(Reply{S_OK, Join({Be32(8), {1, 0, 0, 0, 0, 0x4A, 0, 0}, Be32(2)})});
  EXPECT_EQ(Directories(nullptr), Names{}) << "a length field of 8 carries no count";
  camera_.Queue(Status(wire::kFileList, 7));
  camera_.Queue(Reply{E_FAIL, {}});
  EXPECT_EQ(Files(nullptr, 0, CAM_E_FILE_NOT_FOUND), Names{});
  EXPECT_EQ(Directories(nullptr, E_FAIL), Names{});
  EXPECT_EQ(Session().IsConnected(), CAM_S_COMPLETED);
}

TEST_F(Listings, ExcludeFlagDropsTheCameraFileTypes) {
  // No tags: each type comes from the name, after imcn and flty are refused.
  Answer({{wire::kFileList,
           Ok(wire::kFileList, List({DirItem("A.JPG", false), DirItem("B.CSM", false),
                                     DirItem("C.CAM", false), DirItem("D.TXT", false)}))},
          {wire::kGetFileTag, Status(wire::kGetFileTag, 8)}});
  const FH directory = Handle("2:D/");
  EXPECT_EQ(Files(&directory, 1), (Names{"2:D/A.JPG", "2:D/D.TXT"}));
  EXPECT_EQ(Files(&directory, 0), (Names{"2:D/A.JPG", "2:D/B.CSM", "2:D/C.CAM", "2:D/D.TXT"}));
  EXPECT_EQ(Sent().size(), 1u + 4 * 2 + 1) << "two tag reads per file, only when filtering";
}

TEST_F(Listings, OlderCameraListsFromTheImagesAndGroups) {
  Session().defaultDrive = 2;
  Answer({{wire::kFileList, Status(wire::kFileList, 1)},
          {wire::kImageList,
           Ok(wire::kImageList,
              List({ImageItem(2, "ALBUM1/", "A.JPG"), ImageItem(2, "ALBUM1/SUB/", "B.JPG"),
                    ImageItem(2, "HOLIDAY/", "C.JPG"), ImageItem(2, "", "D.JPG")}))},
          {wire::kGroupList, Ok(wire::kGroupList, List({GroupItem(2, "HOLIDAY/")}))}});
  EXPECT_EQ(Files(nullptr), (Names{"2:ALBUM1/A.JPG", "2:ALBUM1/SUB/B.JPG", "2:D.JPG"}));
  EXPECT_EQ(Sent(), (Requests{{Request(wire::kFileList, {Be32(2), Bytes(32, 0)}), 0},
                              {Request(wire::kImageList, {Be32(1), Bytes(52, 0)}), 0},
                              {Request(wire::kGroupList, {}), 0}}));
  // The images under a directory, subdirectories included; a handle without
  // the drive prefix, or of a file, stands for the same directory.
  for (const FH &album : {Handle("2:ALBUM1/"), Handle("ALBUM1/", 2), Handle("2:ALBUM1/A.JPG")}) {
    EXPECT_EQ(Files(&album), (Names{"2:ALBUM1/A.JPG", "2:ALBUM1/SUB/B.JPG"})) << album.path;
  }
  EXPECT_EQ(Directories(nullptr), Names{"2:HOLIDAY/"});
  const FH album = Handle("2:ALBUM1/");
  EXPECT_EQ(Directories(&album), Names{});
  Answer({{wire::kFileList, Status(wire::kFileList, 1)},
          {wire::kGroupList, Status(wire::kGroupList, 1)}});
  EXPECT_EQ(Directories(nullptr), Names{});
}

TEST_F(Listings, AllImagesGroupsAndSystemFilesBecomeHandles) {
  Session().defaultDrive = 3;
  camera_.Queue(Ok(wire::kImageList,
                   List({ImageItem(2, "DCIM/", "A.JPG", 10), ImageItem(3, "/X", "B.JPG", 20)})));
  camera_.Queue(Ok(wire::kImageList, Join({Be32(0x80000000), ImageItem(2, "DCIM/", "A.JPG")})));
  camera_.Queue(Ok(wire::kGroupList, List({GroupItem(2, "HOLIDAY/"), GroupItem(3, "/TRIP")})));
  camera_.Queue(
      Ok(wire::kSystemFileList, List({Field("HELLO.CSM", 16), Field("NIGHT.CSMXXXXXXX", 16)})));
  EXPECT_EQ(Run(TaveloGetAllImagesList), (Names{"2:DCIM/A.JPG", "3:X/B.JPG"}));
  EXPECT_EQ(Run(TaveloGetAllImagesList), Names{}) << "a negative count means none";
  EXPECT_EQ(Run(TaveloGetGroupList), (Names{"2:HOLIDAY/", "3:TRIP/"}));
  EXPECT_EQ(Run(TaveloGetSystemFileList),
            (Names{"3:SYSTEM/HELLO.CSM", "3:SYSTEM/NIGHT.CSMXXXXXX"}));
  const Bytes all = Request(wire::kImageList, {Be32(1), Bytes(52, 0)});
  EXPECT_EQ(Sent(), (Requests{{all, 0},
                              {all, 0},
                              {Request(wire::kGroupList, {}), 0},
                              {Request(wire::kSystemFileList, {}), 0}}));
}

// An image list too long for one answer on a camera without directory
// listings, or with a directory too long as well: the named result, no list.
TEST_F(Listings, ImageListTooLargeIsNamedWhenNoDirectoryListingCanStandIn) {
  Session().defaultDrive = 2;
  const Reply tooLarge{HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), {}};
  Answer({{wire::kImageList, tooLarge}, {wire::kFileList, Status(wire::kFileList, 1)}});
  EXPECT_EQ(Run(TaveloGetAllImagesList, CAM_E_LISTING_TOO_LARGE), Names{});
  Answer({{wire::kImageList, tooLarge}, {wire::kFileList, tooLarge}});
  EXPECT_EQ(Run(TaveloGetUngroupedImages, CAM_E_LISTING_TOO_LARGE), Names{});
  EXPECT_EQ(Files(nullptr, 0, CAM_E_LISTING_TOO_LARGE), Names{});
}

TEST_F(Listings, UngroupedImagesNeedBothLists) {
  const Reply images =
      Ok(wire::kImageList, List({ImageItem(2, "A/", "X.JPG"), ImageItem(2, "AB/", "Y.JPG")}));
  Answer({{wire::kImageList, images},
          {wire::kGroupList, Ok(wire::kGroupList, List({GroupItem(2, "A/")}))}});
  EXPECT_EQ(Run(TaveloGetUngroupedImages), Names{"2:AB/Y.JPG"});
  Answer({{wire::kImageList, images}});
  EXPECT_EQ(Run(TaveloGetUngroupedImages), (Names{"2:A/X.JPG", "2:AB/Y.JPG"})) << "no groups";
  Answer({{wire::kImageList, images}, {wire::kGroupList, Status(wire::kGroupList, 0x0C)}});
  EXPECT_EQ(Run(TaveloGetUngroupedImages, CAM_E_BUSY), Names{});
}

TEST_F(Listings, UnusableArgumentsAreRefusedWithoutContact) {
  static const ULONG kReadOnlyCount = 5;
  auto *readOnly = const_cast<ULONG *>(&kReadOnlyCount);
  HCAMERA unresolved = nullptr;
  const FH longPath = Handle("2:AAAAAAAAAA/BBBBBBBBBB/CCCCCCCCCC/");
  ULONG count = 5;
  FH **handles = reinterpret_cast<FH **>(&count);
  EXPECT_EQ(TaveloGetFileList(handle_, nullptr, readOnly, &handles, 0), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(handles, nullptr);
  ExpectRefused({TaveloGetFileList(handle_, &longPath, &count, &handles, 0),
                 TaveloGetDirectoryList(handle_, &longPath, &count, &handles)});
  for (ListExport list : {TaveloGetGroupList, TaveloGetSystemFileList, TaveloGetUngroupedImages,
                          TaveloGetAllImagesList, TaveloGetNewFileList}) {
    count = 5;
    handles = reinterpret_cast<FH **>(&count);
    ExpectRefused({list(handle_, readOnly, &handles), list(&unresolved, &count, &handles)});
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(handles, nullptr);
  }
  EXPECT_EQ(kReadOnlyCount, 5u);
  EXPECT_TRUE(Untouched());
}

// the new-file list

TEST_F(Listings, UncollectedFilesSurviveRefreshesAndFailuresAndAreTakenOnce) {
  camera_.Queue(NewFiles({"A.JPG", "B.JPG"}));
  camera_.Queue(NewFiles({"B.JPG", "C.JPG"}));
  camera_.Queue(Status(wire::kNewFileList, 0x0C));
  camera_.Queue(Reply{E_FAIL, {}});
  for (HRESULT expected : {S_OK, S_OK, CAM_E_BUSY, E_FAIL}) {
    EXPECT_EQ(files::FetchNewFiles(Session()), expected);
  }
  EXPECT_EQ(Sent().front(), (std::pair{Request(wire::kNewFileList, {}), ULONG{0}}));
  EXPECT_EQ(Run(TaveloGetNewFileList), (Names{"2:DCIM/A.JPG", "2:DCIM/B.JPG", "2:DCIM/C.JPG"}));
  EXPECT_EQ(Run(TaveloGetNewFileList, CAM_E_FILE_NOT_FOUND), Names{});
  // Files nobody takes go with the session (the sanitizer build's leak
  // checker watches this).
  camera_.Queue(NewFiles({"D.JPG"}));
  EXPECT_EQ(files::FetchNewFiles(Session()), S_OK);
}

TEST_F(Listings, NoNewFileIsReadPastTheReceivedPacket) {
  // A full answer first leaves entries behind in the exchange buffer.
  camera_.Queue(NewFiles({"A.JPG", "B.JPG", "C.JPG"}));
  camera_.Queue(Ok(wire::kNewFileList, Join({Be32(3), ImageItem(2, "DCIM/", "D.JPG")})));
  camera_.Queue(Ok(wire::kNewFileList, Join({Be32(0xFFFFFFFF), ImageItem(2, "DCIM/", "E.JPG")})));
  ASSERT_EQ(files::FetchNewFiles(Session()), S_OK);
  Run(TaveloGetNewFileList);
  ASSERT_EQ(files::FetchNewFiles(Session()), S_OK);
  EXPECT_EQ(Run(TaveloGetNewFileList), Names{"2:DCIM/D.JPG"});
  ASSERT_EQ(files::FetchNewFiles(Session()), S_OK);
  EXPECT_EQ(Run(TaveloGetNewFileList, CAM_E_FILE_NOT_FOUND), Names{}) << "negative: none";
}

TEST_F(Listings, NewFileHandOverNeverPairsTheCountOfOneListWithAnotherArray) {
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
      EXPECT_EQ(files::FetchNewFiles(Session()), S_OK);
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

TEST_F(Listings, AllFilesRequestGivesOnlyTheOutcome) {
  camera_.Queue(Ok(wire::kImageList, List({ImageItem(2, "DCIM/", "A.JPG")})));
  camera_.Queue(Status(wire::kImageList, 7));
  EXPECT_EQ(files::RequestAllFiles(Session()), S_OK);
  EXPECT_EQ(files::RequestAllFiles(Session()), CAM_E_FILE_NOT_FOUND);
  const Bytes request = Request(wire::kImageList, {Be32(1), Bytes(52, 0)});
  EXPECT_EQ(Sent(), (Requests{{request, 0}, {request, 0}}));
  EXPECT_EQ(Run(TaveloGetNewFileList, CAM_E_FILE_NOT_FOUND), Names{});
  // Nothing is sent without the gate.
  Session().DropConnection();
  camera_.QueueOpenResults({E_FAIL});
  EXPECT_EQ(files::RequestAllFiles(Session()), CAM_E_COMM);
  EXPECT_EQ(camera_.Exchanges().size(), 2u);
}

} // namespace
} // namespace tavelo::test
