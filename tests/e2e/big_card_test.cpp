// Cards whose image list does not fit one listing answer: the library
// assembles it from directory listings, or, when a folder cannot be listed,
// names the failure instead of handing out a short list.
#include "image.h"
#include "store.h"
#include "virtual_camera.h"

namespace e2e {
namespace {

std::string PhotoPath(std::uint32_t number, std::uint32_t perFolder) {
  char path[40];
  std::snprintf(path, sizeof path, "2:DCIM/%uTAVEL/IMG%04u.JPG", 100 + (number - 1) / perFolder,
                number);
  return path;
}

class BigCard : public VirtualCamera {
protected:
  // Lists with `list`, giving the path names (empty after a failure, which
  // must leave count 0 and a null array).
  std::vector<std::string> List(CAMRESULT(TAVELOAPI *list)(HCAMERA, ULONG *, FH ***),
                                CAMRESULT expected) {
    ULONG count = 7;
    FH **handles = nullptr;
    EXPECT_EQ(list(camera_, &count, &handles), expected);
    return Names(count, handles);
  }
  std::vector<std::string> Names(ULONG count, FH **handles) {
    std::vector<std::string> names;
    EXPECT_EQ(count == 0, handles == nullptr);
    for (ULONG i = 0; i < count; ++i) {
      names.emplace_back(handles[i]->path);
      TaveloCloseFile(camera_, handles[i]);
    }
    return names;
  }
  std::vector<std::string> Files(const std::string &directory, CAMRESULT expected) {
    const FH dir = Handle(directory);
    ULONG count = 7;
    FH **handles = nullptr;
    EXPECT_EQ(TaveloGetFileList(camera_, &dir, &count, &handles, 0), expected) << directory;
    return Names(count, handles);
  }
};

// 1,800 photos in three folders of 600, a photo on drive 3 that only its
// group names, and files that are no images or live in SYSTEM/.
class ThreeFolders : public BigCard {
protected:
  void Fill() override {
    tavelo::emu::make_photo_store(store_,
                                  {.photos = 1800, .per_folder = 600, .width = 32, .height = 24});
    PutHostBytes(StoreFile("DCIM/NOTES.TXT"), Bytes(10, 1));
    PutHostBytes(StoreFile("SYSTEM/LOGO.JPG"), Bytes(10, 2));
    PutHostBytes(store_ / "3" / "ALBUM" / "SEA.JPG", Bytes(3000, 3));
    auto state = tavelo::emu::State::parse(HostText(store_ / "camera.state"));
    state.groups.emplace(3, "ALBUM/");
    PutHostBytes(store_ / "camera.state", AsBytes(state.serialize()));
  }
  static std::string HostText(const fs::path &path) {
    const Bytes bytes = HostBytes(path);
    return {bytes.begin(), bytes.end()};
  }
  static Bytes AsBytes(const std::string &text) { return {text.begin(), text.end()}; }
};

TEST_F(ThreeFolders, AllImagesListHasEveryPhotoInOrderAndEachDownloadsByteExact) {
  std::vector<std::string> photos;
  for (std::uint32_t number = 1; number <= 1800; ++number) {
    photos.push_back(PhotoPath(number, 600));
  }
  std::vector<std::string> all = photos;
  all.push_back("3:ALBUM/SEA.JPG");
  ASSERT_EQ(List(TaveloGetAllImagesList, S_OK), all);
  EXPECT_EQ(List(TaveloGetUngroupedImages, S_OK), photos) << "drive 3's photo is grouped";

  const fs::path host = dir_ / "host.jpg";
  for (const std::string &path : all) {
    const FH file = Handle(path);
    ASSERT_EQ(TaveloCopyFileFromCamera(camera_, host.c_str(), &file), S_OK) << path;
    const fs::path original = store_ / path.substr(0, 1) / path.substr(2);
    ASSERT_EQ(HostBytes(host), HostBytes(original)) << path;
  }
}

// 1,500 photos in 100TAVEL, which no listing can carry, and 300 in 101TAVEL.
class OneFolderTooLarge : public BigCard {
protected:
  void Fill() override {
    tavelo::emu::make_photo_store(store_,
                                  {.photos = 1800, .per_folder = 1500, .width = 32, .height = 24});
  }
};

TEST_F(OneFolderTooLarge, ListsFailWithTheNamedResultAndOtherFoldersStillList) {
  EXPECT_EQ(List(TaveloGetAllImagesList, CAM_E_LISTING_TOO_LARGE), std::vector<std::string>{});
  EXPECT_EQ(List(TaveloGetUngroupedImages, CAM_E_LISTING_TOO_LARGE), std::vector<std::string>{});
  EXPECT_EQ(Files("2:DCIM/100TAVEL/", CAM_E_LISTING_TOO_LARGE), std::vector<std::string>{});
  const auto listed = Files("2:DCIM/101TAVEL/", S_OK);
  ASSERT_EQ(listed.size(), 300u);
  EXPECT_EQ(listed.front(), PhotoPath(1501, 1500));
  EXPECT_EQ(listed.back(), PhotoPath(1800, 1500));
}

} // namespace
} // namespace e2e
