// The file store end to end over the demo store: listings, image
// information, file sizes, directories, groups and deletion.
#include "virtual_camera.h"

#include <algorithm>
#include <chrono>

namespace e2e {
namespace {

using Names = std::vector<std::string>;

Names Sorted(Names names) {
  std::sort(names.begin(), names.end());
  return names;
}

// The demo store: drive 2 holds ALBUM1/ (BOARD, SEA0001, SEA0002), HOLIDAY/
// (BEACH, a group), TRIP/ (RAINBOW with its sound, SUN), SYSTEM/ (two
// scripts) and WELCOME.JPG at the root.
const Names kAllImages = {"2:ALBUM1/BOARD.JPG",  "2:ALBUM1/SEA0001.JPG", "2:ALBUM1/SEA0002.JPG",
                          "2:HOLIDAY/BEACH.JPG", "2:TRIP/RAINBOW.JPG",   "2:TRIP/SUN.JPG",
                          "2:WELCOME.JPG"};

class StoreEndToEnd : public VirtualCamera {
protected:
  // Runs a listing export; gives the path names and releases the handles.
  template <class Export>
  Names Run(Export &&run) {
    ULONG count = 0;
    FH **handles = nullptr;
    EXPECT_EQ(run(&count, &handles), S_OK);
    Names names;
    for (ULONG i = 0; i < count; ++i) {
      names.emplace_back(handles[i]->path);
      TaveloCloseFile(camera_, handles[i]);
    }
    return names;
  }
  Names Files(const FH *directory, LONG exclude = 0) {
    return Run([&](ULONG *count, FH ***handles) {
      return TaveloGetFileList(camera_, directory, count, handles, exclude);
    });
  }
  Names Directories(const FH *directory) {
    return Run([&](ULONG *count, FH ***handles) {
      return TaveloGetDirectoryList(camera_, directory, count, handles);
    });
  }
  Names Run(CAMRESULT(TAVELOAPI *list)(HCAMERA, ULONG *, FH ***)) {
    return Run([&](ULONG *count, FH ***handles) { return list(camera_, count, handles); });
  }
};

TEST_F(StoreEndToEnd, ListingsOfTheDemoStore) {
  EXPECT_EQ(Files(nullptr), Names{"2:WELCOME.JPG"});
  EXPECT_EQ(Directories(nullptr), (Names{"2:ALBUM1/", "2:HOLIDAY/", "2:SYSTEM/", "2:TRIP/"}));
  const FH album = Handle("2:ALBUM1/");
  EXPECT_EQ(Files(&album),
            (Names{"2:ALBUM1/BOARD.JPG", "2:ALBUM1/SEA0001.JPG", "2:ALBUM1/SEA0002.JPG"}));
  // The scripts are of the camera's own types, which the exclude flag drops.
  const FH system = Handle("2:SYSTEM/");
  EXPECT_EQ(Files(&system), (Names{"2:SYSTEM/HELLO.CSM", "2:SYSTEM/NIGHT.CSM"}));
  EXPECT_EQ(Files(&system, 1), Names{});
  EXPECT_EQ(Sorted(Run(TaveloGetAllImagesList)), kAllImages);
  EXPECT_EQ(Run(TaveloGetGroupList), Names{"2:HOLIDAY/"});
  Names ungrouped = kAllImages; // all but the one in the HOLIDAY group
  std::erase(ungrouped, "2:HOLIDAY/BEACH.JPG");
  EXPECT_EQ(Sorted(Run(TaveloGetUngroupedImages)), ungrouped);
  EXPECT_EQ(Sorted(Run(TaveloGetSystemFileList)),
            (Names{"2:SYSTEM/HELLO.CSM", "2:SYSTEM/NIGHT.CSM"}));
}

TEST_F(StoreEndToEnd, ImageInformationAndSizeOfRealPhotos) {
  const FH sea = Handle("2:ALBUM1/SEA0001.JPG");
  const fs::path file = StoreFile("ALBUM1/SEA0001.JPG");
  ULONG size = 0;
  ASSERT_EQ(TaveloGetFileSize(camera_, &sea, &size), S_OK) << "works on a fresh session";
  EXPECT_EQ(size, fs::file_size(file));
  IMAGE_INFO info{};
  ASSERT_EQ(TaveloGetImageInfo(camera_, &sea, &info), S_OK);
  const IMAGE_INFO expected{1, 2, size, info.created, info.created, 24, 640, 480, {0, 0}, 1, 0};
  EXPECT_EQ(std::memcmp(&info, &expected, sizeof info), 0);
  // The camera dates a picture by its file's time (UTC).
  const auto written = std::chrono::floor<std::chrono::days>(
      std::chrono::file_clock::to_sys(fs::last_write_time(file)));
  const std::chrono::year_month_day day{written};
  EXPECT_EQ(info.created.wYear, static_cast<int>(day.year()));
  EXPECT_EQ(info.created.wDay, static_cast<unsigned>(day.day()));

  const FH rainbow = Handle("2:TRIP/RAINBOW.JPG");
  ASSERT_EQ(TaveloGetImageInfo(camera_, &rainbow, &info), S_OK);
  EXPECT_EQ(info.width, 1024u);
  EXPECT_EQ(info.sdss, 1u) << "the picture has its sound";
  const FH missing = Handle("2:ALBUM1/NONE.JPG");
  EXPECT_EQ(TaveloGetFileSize(camera_, &missing, &size), CAM_E_FILE_NOT_FOUND);
}

TEST_F(StoreEndToEnd, DirectoriesAreMadeAndRemoved) {
  FH *album = nullptr;
  FH *sub = nullptr;
  FH *empty = nullptr;
  const FH root = Handle("2:");
  ASSERT_EQ(TaveloCreateDirectory(camera_, nullptr, "ALBUM2", &album), S_OK);
  ASSERT_EQ(TaveloCreateDirectory(camera_, album, "SUB", &sub), S_OK);
  ASSERT_EQ(TaveloCreateDirectory(camera_, &root, "EMPTY", &empty), S_OK);
  EXPECT_STREQ(sub->path, "ALBUM2/SUB/");
  EXPECT_TRUE(fs::is_directory(StoreFile("ALBUM2/SUB")));
  EXPECT_EQ(Directories(nullptr),
            (Names{"2:ALBUM1/", "2:ALBUM2/", "2:EMPTY/", "2:HOLIDAY/", "2:SYSTEM/", "2:TRIP/"}));
  // A full directory goes as a whole, an empty one too.
  ASSERT_EQ(TaveloDeleteFile(camera_, album), S_OK);
  ASSERT_EQ(TaveloDeleteFile(camera_, empty), S_OK);
  EXPECT_FALSE(fs::exists(StoreFile("ALBUM2")));
  EXPECT_FALSE(fs::exists(StoreFile("EMPTY")));
  EXPECT_EQ(TaveloDeleteFile(camera_, sub), CAM_E_FILE_NOT_FOUND);
  FH *system = nullptr;
  EXPECT_EQ(TaveloGetSystemDir(camera_, &system), S_OK);
  EXPECT_STREQ(system->path, "SYSTEM/");
  for (FH *handle : {album, sub, empty, system}) {
    TaveloCloseFile(camera_, handle);
  }
}

TEST_F(StoreEndToEnd, GroupsGatherTheirMembersAndDeletedFilesGo) {
  FH welcome = Handle("2:WELCOME.JPG");
  FH board = Handle("2:ALBUM1/BOARD.JPG");
  FH *members[] = {&welcome, &board};
  char name[] = "best";
  ASSERT_EQ(TaveloCreateGroup(camera_, name, members, 2), S_OK);
  EXPECT_EQ(Run(TaveloGetGroupList), (Names{"2:BEST/", "2:HOLIDAY/"}));
  const FH best = Handle("2:BEST/");
  EXPECT_EQ(Files(&best), (Names{"2:BEST/BOARD.JPG", "2:BEST/WELCOME.JPG"}));
  EXPECT_EQ(Sorted(Run(TaveloGetUngroupedImages)),
            (Names{"2:ALBUM1/SEA0001.JPG", "2:ALBUM1/SEA0002.JPG", "2:TRIP/RAINBOW.JPG",
                   "2:TRIP/SUN.JPG"}));
  const FH moved = Handle("2:BEST/WELCOME.JPG");
  ASSERT_EQ(TaveloDeleteFile(camera_, &moved), S_OK);
  EXPECT_EQ(Files(&best), Names{"2:BEST/BOARD.JPG"});
  EXPECT_EQ(TaveloDeleteFile(camera_, &moved), CAM_E_FILE_NOT_FOUND);
}

} // namespace
} // namespace e2e
