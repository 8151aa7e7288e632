// The listing exports on the wire: directory listing with its fallbacks,
// all images, groups, ungrouped images, system files and the new-file list.
#include "files/listing.h"
#include "store_answers.h"

#include <gtest/gtest.h>

#include <map>

namespace tavelo::test {
namespace {

using Names = std::vector<std::string>;

class Listings : public BoundCameraTest {
protected:
  // A camera that answers each command with a fixed reply; commands it has
  // no reply for get a bare success.
  void Answer(std::map<std::uint16_t, Reply> replies) {
    camera_.SetHandler([replies = std::move(replies)](const ExchangeRecord &exchange) {
      const auto command = static_cast<std::uint16_t>(Be32At(exchange.request, 8) >> 16);
      auto found = replies.find(command);
      return found != replies.end() ? found->second : Ok(command);
    });
  }
  void KnowDrive(ULONG drive) { Session().defaultDrive = drive; }

  // Runs a listing export; gives the path names and releases the handles.
  template <class Export>
  Names Run(Export &&run, HRESULT expected = S_OK) {
    ULONG count = 99;
    FH **handles = reinterpret_cast<FH **>(this);
    EXPECT_EQ(run(&count, &handles), expected);
    if (FAILED(expected)) {
      EXPECT_EQ(count, 0u);
      EXPECT_EQ(handles, nullptr);
    }
    array_ = handles;
    Names names = Paths(count, handles);
    for (ULONG i = 0; i < count; ++i) {
      EXPECT_EQ(TaveloCloseFile(handle_, handles[i]), S_OK);
    }
    return names;
  }
  Names Files(const FH *directory, LONG exclude = 0, HRESULT expected = S_OK) {
    return Run(
        [&](ULONG *count, FH ***handles) {
          return TaveloGetFileList(handle_, directory, count, handles, exclude);
        },
        expected);
  }
  Names Directories(const FH *directory, HRESULT expected = S_OK) {
    return Run(
        [&](ULONG *count, FH ***handles) {
          return TaveloGetDirectoryList(handle_, directory, count, handles);
        },
        expected);
  }
  std::vector<std::uint16_t> Commands() const {
    std::vector<std::uint16_t> commands;
    for (const auto &[request, hint] : Sent()) {
      commands.push_back(static_cast<std::uint16_t>(Be32At(request, 8) >> 16));
    }
    return commands;
  }

  FH **array_ = nullptr; // the array of the last listing
};

const Reply kAlbum =
    Ok(wire::kFileList,
       List({DirItem("IMG1.JPG", false), DirItem("SUB", true), DirItem("IMG2.JPG", false)}));

TEST_F(Listings, RootListingAsksForTheDefaultDriveOnce) {
  camera_.Queue(OneItem(wire::kProductInfo, Tag("vdid"), 8, Field("Tavelo", 32)));
  camera_.Queue(OneItem(wire::kProductInfo, Tag("ptid"), 8, Field("VC-1", 32)));
  camera_.Queue(OneItem(wire::kProductInfo, Tag("sern"), 1, Be32(7)));
  camera_.Queue(Ok(wire::kDefaultDrive, Be32(3)));
  camera_.Queue(kAlbum);
  camera_.Queue(kAlbum);
  EXPECT_EQ(Files(nullptr), (Names{"3:IMG1.JPG", "3:IMG2.JPG"}));
  EXPECT_EQ(Directories(nullptr), Names{"3:SUB/"});
  EXPECT_EQ(Commands(), (std::vector<std::uint16_t>{1, 1, 1, 5, 0x4A, 0x4A}));
  const Bytes root = Request(wire::kFileList, {Be32(3), Bytes(32, 0)});
  EXPECT_EQ(Sent()[4], (std::pair{root, ULONG{0}}));
  EXPECT_EQ(Sent()[5], (std::pair{root, ULONG{0}}));
}

TEST_F(Listings, RootListingUsesDriveTwoWhileTheCameraNamesNone) {
  camera_.Queue(Status(wire::kProductInfo, 8)); // vdid missing
  camera_.Queue(kAlbum);
  EXPECT_EQ(Files(nullptr), (Names{"2:IMG1.JPG", "2:IMG2.JPG"}));
  EXPECT_EQ(Sent().back().first, Request(wire::kFileList, {Be32(2), Bytes(32, 0)}));
}

TEST_F(Listings, ADirectoryOrAFileInItListsTheDirectory) {
  Answer({{wire::kFileList, kAlbum}});
  const FH album = Handle("2:ALBUM1/");
  const FH file = Handle("2:ALBUM1/IMG1.JPG");
  EXPECT_EQ(Files(&album), (Names{"2:ALBUM1/IMG1.JPG", "2:ALBUM1/IMG2.JPG"}));
  EXPECT_EQ(Files(&file), (Names{"2:ALBUM1/IMG1.JPG", "2:ALBUM1/IMG2.JPG"}));
  EXPECT_EQ(Directories(&album), Names{"2:ALBUM1/SUB/"});
  const Bytes request = Request(wire::kFileList, {Be32(2), Field("ALBUM1/", 32)});
  EXPECT_EQ(Sent(), (Requests{{request, 0}, {request, 0}, {request, 0}}));
}

TEST_F(Listings, EmptyDirectoryGivesNoArrayButSkippedEntriesLeaveOne) {
  KnowDrive(2);
  camera_.Queue(Ok(wire::kFileList, Be32(0)));
  EXPECT_EQ(Files(nullptr), Names{});
  EXPECT_EQ(array_, nullptr);
  camera_.Queue(Ok(wire::kFileList, List({DirItem("A", true), DirItem("B", true)})));
  EXPECT_EQ(Files(nullptr), Names{});
  EXPECT_NE(array_, nullptr);
  // A length field of 8 means no entries, whatever follows it.
  camera_.Queue(Reply{S_OK, Join({Be32(8), {1, 0, 0, 0, 0, 0x4A, 0, 0}, Be32(2)})});
  EXPECT_EQ(Directories(nullptr), Names{});
  EXPECT_EQ(array_, nullptr);
}

TEST_F(Listings, EntriesPastThePacketAndNamelessEntriesAreLeftOut) {
  KnowDrive(2);
  camera_.Queue(Ok(wire::kFileList, List({DirItem("A.JPG", false), DirItem("B.JPG", false),
                                          DirItem("C.JPG", false)})));
  camera_.Queue(Ok(wire::kFileList, Join({Be32(3), DirItem("", false), DirItem("D.JPG", false)})));
  EXPECT_EQ(Files(nullptr).size(), 3u);
  EXPECT_EQ(Files(nullptr), Names{"2:D.JPG"});
}

TEST_F(Listings, ExcludeFlagDropsTheCameraFileTypes) {
  // No tags: each type comes from the name, after imcn and flty are refused.
  Answer({{wire::kFileList,
           Ok(wire::kFileList, List({DirItem("A.JPG", false), DirItem("B.CSM", false),
                                     DirItem("C.CAM", false), DirItem("D.TXT", false)}))},
          {wire::kGetFileTag, Status(wire::kGetFileTag, 8)}});
  const FH directory = Handle("2:D/");
  EXPECT_EQ(Files(&directory, 1), (Names{"2:D/A.JPG", "2:D/D.TXT"}));
  EXPECT_EQ(Commands().size(), 1u + 4 * 2);
  EXPECT_EQ(Files(&directory, 0), (Names{"2:D/A.JPG", "2:D/B.CSM", "2:D/C.CAM", "2:D/D.TXT"}));
  EXPECT_EQ(Commands().size(), 1u + 4 * 2 + 1);
}

// A camera without 0x4A: two albums, one of them a group, a picture in a
// subdirectory and one at the root.
class OlderCamera : public Listings {
protected:
  void SetUp() override {
    Listings::SetUp();
    KnowDrive(2);
    Answer({{wire::kFileList, Status(wire::kFileList, 1)},
            {wire::kImageList,
             Ok(wire::kImageList,
                List({ImageItem(2, "ALBUM1/", "A.JPG"), ImageItem(2, "ALBUM1/SUB/", "B.JPG"),
                      ImageItem(2, "HOLIDAY/", "C.JPG"), ImageItem(2, "", "D.JPG")}))},
            {wire::kGroupList, Ok(wire::kGroupList, List({GroupItem(2, "HOLIDAY/")}))}});
  }
};

TEST_F(OlderCamera, RootFilesAreTheUngroupedImages) {
  EXPECT_EQ(Files(nullptr), (Names{"2:ALBUM1/A.JPG", "2:ALBUM1/SUB/B.JPG", "2:D.JPG"}));
  EXPECT_EQ(Commands(), (std::vector<std::uint16_t>{0x4A, 0x40, 0x51}));
}

TEST_F(OlderCamera, DirectoryFilesAreTheImagesUnderIt) {
  const FH album = Handle("2:ALBUM1/");
  EXPECT_EQ(Files(&album), (Names{"2:ALBUM1/A.JPG", "2:ALBUM1/SUB/B.JPG"}));
  // A handle without the drive prefix, or of a file, stands for the same
  // directory as it does with 0x4A.
  const FH bare = Handle("ALBUM1/", 2);
  const FH file = Handle("2:ALBUM1/A.JPG");
  EXPECT_EQ(Files(&bare), (Names{"2:ALBUM1/A.JPG", "2:ALBUM1/SUB/B.JPG"}));
  EXPECT_EQ(Files(&file), (Names{"2:ALBUM1/A.JPG", "2:ALBUM1/SUB/B.JPG"}));
}

TEST_F(OlderCamera, RootDirectoriesAreTheGroupsAndSubdirectoriesHaveNone) {
  EXPECT_EQ(Directories(nullptr), Names{"2:HOLIDAY/"});
  const FH album = Handle("2:ALBUM1/");
  EXPECT_EQ(Directories(&album), Names{});
  EXPECT_EQ(array_, nullptr);
  Answer({{wire::kFileList, Status(wire::kFileList, 1)},
          {wire::kGroupList, Status(wire::kGroupList, 1)}});
  EXPECT_EQ(Directories(nullptr), Names{});
}

TEST_F(Listings, AllImagesAndGroupsBecomeHandles) {
  const Bytes all = Request(wire::kImageList, {Be32(1), Bytes(52, 0)});
  camera_.Queue(Ok(wire::kImageList,
                   List({ImageItem(2, "DCIM/", "A.JPG", 10), ImageItem(3, "/X", "B.JPG", 20)})));
  camera_.Queue(Ok(wire::kImageList, Join({Be32(0x80000000), ImageItem(2, "DCIM/", "A.JPG")})));
  camera_.Queue(Ok(wire::kGroupList, List({GroupItem(2, "HOLIDAY/"), GroupItem(3, "/TRIP")})));
  auto allImages = [&](ULONG *count, FH ***handles) {
    return TaveloGetAllImagesList(handle_, count, handles);
  };
  EXPECT_EQ(Run(allImages), (Names{"2:DCIM/A.JPG", "3:X/B.JPG"}));
  EXPECT_EQ(Run(allImages), Names{}) << "a negative count means none";
  EXPECT_EQ(
      Run([&](ULONG *count, FH ***handles) { return TaveloGetGroupList(handle_, count, handles); }),
      (Names{"2:HOLIDAY/", "3:TRIP/"}));
  EXPECT_EQ(Sent(), (Requests{{all, 0}, {all, 0}, {Request(wire::kGroupList, {}), 0}}));
}

TEST_F(Listings, UngroupedImagesNeedBothLists) {
  Answer({{wire::kImageList,
           Ok(wire::kImageList, List({ImageItem(2, "A/", "X.JPG"), ImageItem(2, "AB/", "Y.JPG")}))},
          {wire::kGroupList, Ok(wire::kGroupList, List({GroupItem(2, "A/")}))}});
  auto ungrouped = [&](ULONG *count, FH ***handles) {
    return TaveloGetUngroupedImages(handle_, count, handles);
  };
  EXPECT_EQ(Run(ungrouped), Names{"2:AB/Y.JPG"});
  Answer({{wire::kImageList, Ok(wire::kImageList, List({ImageItem(2, "A/", "X.JPG")}))}});
  EXPECT_EQ(Run(ungrouped), Names{"2:A/X.JPG"}) << "no groups: every image is ungrouped";
  Answer({{wire::kImageList, Ok(wire::kImageList, List({ImageItem(2, "A/", "X.JPG")}))},
          {wire::kGroupList, Status(wire::kGroupList, 0x0C)}});
  EXPECT_EQ(Run(ungrouped, CAM_E_BUSY), Names{});
  Answer({{wire::kImageList, Status(wire::kImageList, 0x0A)}});
  EXPECT_EQ(Run(ungrouped, CAM_E_DEVICE), Names{});
}

TEST_F(Listings, SystemFilesAreNamedOnTheDefaultDrive) {
  KnowDrive(3);
  camera_.Queue(Ok(wire::kSystemFileList, List({Field("HELLO.CSM", 16), Field("NIGHT.CSM", 16)})));
  EXPECT_EQ(Run([&](ULONG *count, FH ***handles) {
              return TaveloGetSystemFileList(handle_, count, handles);
            }),
            (Names{"3:SYSTEM/HELLO.CSM", "3:SYSTEM/NIGHT.CSM"}));
  EXPECT_EQ(Sent(), (Requests{{Request(wire::kSystemFileList, {}), 0}}));
}

TEST_F(Listings, NewFileListIsHandedOverOnce) {
  camera_.Queue(Ok(wire::kNewFileList, List({ImageItem(2, "DCIM/", "IMG0009.JPG")})));
  ASSERT_EQ(files::FetchNewFiles(Session()), S_OK);
  auto newFiles = [&](ULONG *count, FH ***handles) {
    return TaveloGetNewFileList(handle_, count, handles);
  };
  EXPECT_EQ(Run(newFiles), Names{"2:DCIM/IMG0009.JPG"});
  EXPECT_EQ(Run(newFiles, CAM_E_FILE_NOT_FOUND), Names{});
}

TEST_F(Listings, FailuresLeaveNoArray) {
  KnowDrive(2);
  camera_.Queue(Status(wire::kFileList, 7));
  camera_.Queue(Broken());
  EXPECT_EQ(Files(nullptr, 0, CAM_E_FILE_NOT_FOUND), Names{});
  EXPECT_EQ(Directories(nullptr, E_FAIL), Names{});
  EXPECT_EQ(Session().IsConnected(), CAM_S_COMPLETED);
}

// Every listing export refuses unusable arguments before any contact and
// leaves the outputs it could clear at 0 and null.
TEST_F(Listings, UnusableArgumentsAreRefusedWithoutContact) {
  static const ULONG kReadOnlyCount = 5;
  auto *readOnly = const_cast<ULONG *>(&kReadOnlyCount);
  HCAMERA unresolved = nullptr;
  const FH unconvertible = Handle("2:AAAAAAAAAA/BBBBBBBBBB/CCCCCCCCCC/"); // path of 33
  ULONG count = 5;
  FH **handles = reinterpret_cast<FH **>(&count);
  EXPECT_EQ(TaveloGetFileList(handle_, nullptr, readOnly, &handles, 0), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(handles, nullptr);
  EXPECT_EQ(TaveloGetFileList(handle_, nullptr, nullptr, &handles, 0), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetFileList(handle_, &unconvertible, &count, &handles, 0), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(TaveloGetDirectoryList(handle_, &unconvertible, &count, &handles), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetFileList(&unresolved, nullptr, &count, &handles, 0), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetDirectoryList(handle_, nullptr, readOnly, &handles), CAM_E_BAD_PARAMETER);
  for (auto list : {TaveloGetGroupList, TaveloGetSystemFileList, TaveloGetUngroupedImages,
                    TaveloGetAllImagesList, TaveloGetNewFileList}) {
    count = 5;
    handles = reinterpret_cast<FH **>(&count);
    EXPECT_EQ(list(handle_, readOnly, &handles), CAM_E_BAD_PARAMETER);
    EXPECT_EQ(list(handle_, &count, nullptr), CAM_E_BAD_PARAMETER);
    EXPECT_EQ(list(&unresolved, &count, &handles), CAM_E_BAD_PARAMETER);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(handles, nullptr);
  }
  EXPECT_EQ(kReadOnlyCount, 5u);
  EXPECT_TRUE(Untouched());
}

} // namespace
} // namespace tavelo::test
