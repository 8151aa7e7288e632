// The listing exports on the wire: directory listing with its fallbacks,
// all images, groups, ungrouped images, system files and the new-file list.
#include "files/listing.h"
#include "store_answers.h"

#include <gtest/gtest.h>

#include <map>

namespace tavelo::test {
namespace {

using ListExport = CAMRESULT(TAVELOAPI *)(HCAMERA, ULONG *, FH ***);

Bytes GroupItem(std::uint32_t drive, const std::string &path) {
  return Join({Be32(drive), Field(path, 32)});
}

std::uint16_t CommandOf(const Bytes &request) {
  return static_cast<std::uint16_t>(Be32At(request, 8) >> 16);
}

class Listings : public BoundCameraTest {
protected:
  // A camera that answers each command with a fixed reply, others with a
  // bare success.
  void Answer(std::map<std::uint16_t, Reply> replies) {
    camera_.SetHandler([replies = std::move(replies)](const ExchangeRecord &exchange) {
      auto found = replies.find(CommandOf(exchange.request));
      return found != replies.end() ? found->second : Ok(CommandOf(exchange.request));
    });
  }

  // Runs a listing; gives the path names (releasing the handles) and keeps
  // the array. After a failure both outputs must be cleared.
  template <class Export>
  Names Run(Export &&run, HRESULT expected = S_OK) {
    ULONG count = 99;
    array_ = reinterpret_cast<FH **>(this);
    EXPECT_EQ(run(&count, &array_), expected);
    if (FAILED(expected)) {
      EXPECT_EQ(count, 0u);
      EXPECT_EQ(array_, nullptr);
    }
    return Release(handle_, count, array_);
  }
  Names Run(ListExport list, HRESULT expected = S_OK) {
    return Run([&](ULONG *count, FH ***handles) { return list(handle_, count, handles); },
               expected);
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
      commands.push_back(CommandOf(request));
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
  EXPECT_EQ(Sent().back(),
            (std::pair{Request(wire::kFileList, {Be32(3), Bytes(32, 0)}), ULONG{0}}));
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

TEST_F(Listings, OnlyEntriesThatArrivedAndHaveANameCount) {
  Session().defaultDrive = 2;
  camera_.Queue(Ok(wire::kFileList, Be32(0)));
  EXPECT_EQ(Files(nullptr), Names{});
  EXPECT_EQ(array_, nullptr) << "no entries: no array";
  camera_.Queue(
      Ok(wire::kFileList, List({DirItem("A", true), DirItem("B", true), DirItem("C", true)})));
  EXPECT_EQ(Files(nullptr), Names{});
  EXPECT_NE(array_, nullptr) << "entries left out still have their slots";
  // The entries above stay in the exchange buffer behind these answers.
  camera_.Queue(Ok(wire::kFileList, Join({Be32(3), DirItem("", true), DirItem("D", true)})));
  EXPECT_EQ(Directories(nullptr), Names{"2:D/"});
  camera_.Queue(Reply{S_OK, Join({Be32(8), {1, 0, 0, 0, 0, 0x4A, 0, 0}, Be32(2)})});
  EXPECT_EQ(Directories(nullptr), Names{}) << "a length field of 8 carries no count";
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
  EXPECT_EQ(Commands().size(), 1u + 4 * 2 + 1) << "two tag reads per file, only when filtering";
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
  EXPECT_EQ(Commands(), (std::vector<std::uint16_t>{0x4A, 0x40, 0x51}));
  // A directory's files are the images under it, subdirectories included;
  // a handle without the drive prefix, or of a file, stands for the same
  // directory as with 0x4A.
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
  camera_.Queue(Ok(wire::kSystemFileList, List({Field("HELLO.CSM", 16), Field("NIGHT.CSM", 16)})));
  EXPECT_EQ(Run(TaveloGetAllImagesList), (Names{"2:DCIM/A.JPG", "3:X/B.JPG"}));
  EXPECT_EQ(Run(TaveloGetAllImagesList), Names{}) << "a negative count means none";
  EXPECT_EQ(Run(TaveloGetGroupList), (Names{"2:HOLIDAY/", "3:TRIP/"}));
  EXPECT_EQ(Run(TaveloGetSystemFileList), (Names{"3:SYSTEM/HELLO.CSM", "3:SYSTEM/NIGHT.CSM"}));
  const Bytes all = Request(wire::kImageList, {Be32(1), Bytes(52, 0)});
  EXPECT_EQ(Sent(), (Requests{{all, 0},
                              {all, 0},
                              {Request(wire::kGroupList, {}), 0},
                              {Request(wire::kSystemFileList, {}), 0}}));
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

TEST_F(Listings, FailuresLeaveNoArray) {
  Session().defaultDrive = 2;
  camera_.Queue(Status(wire::kFileList, 7));
  camera_.Queue(Reply{E_FAIL, {}});
  EXPECT_EQ(Files(nullptr, 0, CAM_E_FILE_NOT_FOUND), Names{});
  EXPECT_EQ(Directories(nullptr, E_FAIL), Names{});
  EXPECT_EQ(Session().IsConnected(), CAM_S_COMPLETED);
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
  EXPECT_EQ(TaveloGetFileList(handle_, &longPath, &count, &handles, 0), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetDirectoryList(handle_, &longPath, &count, &handles), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetDirectoryList(&unresolved, nullptr, &count, &handles), CAM_E_BAD_PARAMETER);
  for (ListExport list : {TaveloGetGroupList, TaveloGetSystemFileList, TaveloGetUngroupedImages,
                          TaveloGetAllImagesList, TaveloGetNewFileList}) {
    count = 5;
    handles = reinterpret_cast<FH **>(&count);
    EXPECT_EQ(list(handle_, readOnly, &handles), CAM_E_BAD_PARAMETER);
    EXPECT_EQ(list(&unresolved, &count, &handles), CAM_E_BAD_PARAMETER);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(handles, nullptr);
  }
  EXPECT_EQ(kReadOnlyCount, 5u);
  EXPECT_TRUE(Untouched());
}

} // namespace
} // namespace tavelo::test
