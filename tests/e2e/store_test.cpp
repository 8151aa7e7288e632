// The file store end to end: listings, image information, file sizes,
// directories, groups and deletion through the library, the virtual
// transport component and the virtual camera over a demo store.
#include "tavelo/emulator/demo_store.h"
#include "tavelocam.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

constexpr const char *kVirtualTransport = "{E58C1B90-BF37-4B17-9AE8-00A0C93E71B4}";

FH Handle(const std::string &path, LONG drive = 2) {
  FH handle{};
  handle.kind = 1;
  handle.drive = drive;
  std::strncpy(handle.path, path.c_str(), sizeof handle.path - 1);
  return handle;
}

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

class StoreEndToEnd : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tavelo-store-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    store_ = pattern;
    tavelo::emu::make_demo_store(store_);
    ASSERT_GE(TaveloInitialize(1), 0);
  }
  void TearDown() override {
    if (camera_ != nullptr) {
      TaveloCloseCamera(camera_);
    }
    TaveloUninitialize();
    std::error_code ignored;
    fs::remove_all(store_, ignored);
  }

  // Binds the store's camera; `configuration` is added to camera.conf first.
  void Bind(const std::string &configuration = "") {
    std::ofstream(store_ / "camera.conf", std::ios::app) << configuration;
    DEVICE_INFO record{};
    std::strncpy(record.transportClsid, kVirtualTransport, sizeof record.transportClsid - 1);
    std::u16string id = u"virtual:";
    for (char c : store_.string()) {
      id.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    record.deviceId.vt = VT_BSTR;
    record.deviceId.bstrVal = SysAllocString(id.c_str());
    ASSERT_EQ(TaveloBindCamera(&camera_, &record), S_OK);
    VariantClear(&record.deviceId);
  }

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
  Names Groups() {
    return Run(
        [&](ULONG *count, FH ***handles) { return TaveloGetGroupList(camera_, count, handles); });
  }
  Names Ungrouped() {
    return Run([&](ULONG *count, FH ***handles) {
      return TaveloGetUngroupedImages(camera_, count, handles);
    });
  }

  fs::path store_;
  HCAMERA camera_ = nullptr;
};

TEST_F(StoreEndToEnd, RootAndDirectoriesListTheirFilesAndSubdirectories) {
  Bind();
  EXPECT_EQ(Files(nullptr), Names{"2:WELCOME.JPG"});
  EXPECT_EQ(Directories(nullptr), (Names{"2:ALBUM1/", "2:HOLIDAY/", "2:SYSTEM/", "2:TRIP/"}));
  const FH album = Handle("2:ALBUM1/");
  EXPECT_EQ(Files(&album),
            (Names{"2:ALBUM1/BOARD.JPG", "2:ALBUM1/SEA0001.JPG", "2:ALBUM1/SEA0002.JPG"}));
  EXPECT_EQ(Directories(&album), Names{});
  // The scripts are of the camera's own types, which the exclude flag drops.
  const FH system = Handle("2:SYSTEM/");
  EXPECT_EQ(Files(&system), (Names{"2:SYSTEM/HELLO.CSM", "2:SYSTEM/NIGHT.CSM"}));
  EXPECT_EQ(Files(&system, 1), Names{});
  const FH trip = Handle("2:TRIP/");
  EXPECT_EQ(Files(&trip, 1), (Names{"2:TRIP/RAINBOW.JPG", "2:TRIP/RAINBOW.WAV", "2:TRIP/SUN.JPG"}));
}

TEST_F(StoreEndToEnd, ImagesGroupsAndSystemFiles) {
  Bind();
  EXPECT_EQ(Sorted(Run([&](ULONG *count, FH ***handles) {
              return TaveloGetAllImagesList(camera_, count, handles);
            })),
            kAllImages);
  EXPECT_EQ(Groups(), Names{"2:HOLIDAY/"});
  Names ungrouped = kAllImages;
  std::erase(ungrouped, "2:HOLIDAY/BEACH.JPG");
  EXPECT_EQ(Sorted(Ungrouped()), ungrouped);
  EXPECT_EQ(Sorted(Run([&](ULONG *count, FH ***handles) {
              return TaveloGetSystemFileList(camera_, count, handles);
            })),
            (Names{"2:SYSTEM/HELLO.CSM", "2:SYSTEM/NIGHT.CSM"}));
}

TEST_F(StoreEndToEnd, OlderCameraListsFromImagesAndGroups) {
  Bind("model = older\n");
  Names ungrouped = kAllImages;
  std::erase(ungrouped, "2:HOLIDAY/BEACH.JPG");
  EXPECT_EQ(Sorted(Files(nullptr)), ungrouped);
  EXPECT_EQ(Directories(nullptr), Names{"2:HOLIDAY/"});
  const FH album = Handle("2:ALBUM1/");
  EXPECT_EQ(Sorted(Files(&album)),
            (Names{"2:ALBUM1/BOARD.JPG", "2:ALBUM1/SEA0001.JPG", "2:ALBUM1/SEA0002.JPG"}));
  EXPECT_EQ(Directories(&album), Names{});
}

TEST_F(StoreEndToEnd, ImageInformationOfRealPhotos) {
  Bind();
  const FH sea = Handle("2:ALBUM1/SEA0001.JPG");
  IMAGE_INFO info{};
  ASSERT_EQ(TaveloGetImageInfo(camera_, &sea, &info), S_OK);
  const fs::path file = store_ / "2" / "ALBUM1" / "SEA0001.JPG";
  EXPECT_EQ(info.isImage, 1u);
  EXPECT_EQ(info.isImageAgain, 1u);
  EXPECT_EQ(info.fileType, 2u);
  EXPECT_EQ(info.fileSize, fs::file_size(file));
  EXPECT_EQ(info.width, 640u);
  EXPECT_EQ(info.height, 480u);
  EXPECT_EQ(info.bitsPerPixel, 24u);
  EXPECT_EQ(info.sdss, 0u);
  using namespace std::chrono;
  const auto written = floor<seconds>(file_clock::to_sys(fs::last_write_time(file)));
  const year_month_day day{floor<days>(written)};
  const hh_mm_ss time{written - floor<days>(written)};
  EXPECT_EQ(info.created.wYear, static_cast<int>(day.year()));
  EXPECT_EQ(info.created.wMonth, static_cast<unsigned>(day.month()));
  EXPECT_EQ(info.created.wDay, static_cast<unsigned>(day.day()));
  EXPECT_EQ(info.created.wHour, time.hours().count());
  EXPECT_EQ(info.created.wMinute, time.minutes().count());
  EXPECT_EQ(info.created.wSecond, time.seconds().count());
  EXPECT_EQ(std::memcmp(&info.created, &info.modified, sizeof(SYSTEMTIME)), 0);

  const FH rainbow = Handle("2:TRIP/RAINBOW.JPG");
  ASSERT_EQ(TaveloGetImageInfo(camera_, &rainbow, &info), S_OK);
  EXPECT_EQ(info.width, 1024u);
  EXPECT_EQ(info.sdss, 1u) << "the picture has its sound";
  const FH script = Handle("2:SYSTEM/HELLO.CSM");
  ASSERT_EQ(TaveloGetImageInfo(camera_, &script, &info), S_OK);
  EXPECT_EQ(info.fileType, 5u);
  EXPECT_EQ(info.isImage, 0u);
  EXPECT_EQ(info.fileSize, 0u);
}

TEST_F(StoreEndToEnd, FileSizeOnAFreshSessionAndOfAMissingFile) {
  Bind();
  const FH board = Handle("2:ALBUM1/BOARD.JPG");
  ULONG size = 0;
  ASSERT_EQ(TaveloGetFileSize(camera_, &board, &size), S_OK);
  EXPECT_EQ(size, fs::file_size(store_ / "2" / "ALBUM1" / "BOARD.JPG"));
  const FH missing = Handle("2:ALBUM1/NONE.JPG");
  EXPECT_EQ(TaveloGetFileSize(camera_, &missing, &size), CAM_E_FILE_NOT_FOUND);
  EXPECT_EQ(size, 0u);
}

TEST_F(StoreEndToEnd, DirectoriesAreMadeAndRemoved) {
  Bind();
  FH *album = nullptr;
  ASSERT_EQ(TaveloCreateDirectory(camera_, nullptr, "ALBUM2", &album), S_OK);
  ASSERT_NE(album, nullptr);
  EXPECT_STREQ(album->path, "ALBUM2/");
  EXPECT_EQ(album->drive, 2);
  FH *sub = nullptr;
  ASSERT_EQ(TaveloCreateDirectory(camera_, album, "SUB", &sub), S_OK);
  EXPECT_STREQ(sub->path, "ALBUM2/SUB/");
  EXPECT_TRUE(fs::is_directory(store_ / "2" / "ALBUM2" / "SUB"));
  const FH root = Handle("2:");
  FH *empty = nullptr;
  ASSERT_EQ(TaveloCreateDirectory(camera_, &root, "EMPTY", &empty), S_OK);
  EXPECT_STREQ(empty->path, "2:EMPTY/");
  EXPECT_EQ(Directories(nullptr),
            (Names{"2:ALBUM1/", "2:ALBUM2/", "2:EMPTY/", "2:HOLIDAY/", "2:SYSTEM/", "2:TRIP/"}));

  // A full directory goes as a whole; an empty one too.
  ASSERT_EQ(TaveloDeleteFile(camera_, album), S_OK);
  ASSERT_EQ(TaveloDeleteFile(camera_, empty), S_OK);
  EXPECT_FALSE(fs::exists(store_ / "2" / "ALBUM2"));
  EXPECT_FALSE(fs::exists(store_ / "2" / "EMPTY"));
  EXPECT_EQ(TaveloDeleteFile(camera_, sub), CAM_E_FILE_NOT_FOUND);
  EXPECT_EQ(TaveloDeleteFile(camera_, &root), CAM_E_BAD_PARAMETER);
  for (FH *handle : {album, sub, empty}) {
    TaveloCloseFile(camera_, handle);
  }

  FH *system = nullptr;
  EXPECT_EQ(TaveloGetSystemDir(camera_, &system), S_OK);
  ASSERT_NE(system, nullptr);
  EXPECT_STREQ(system->path, "SYSTEM/");
  TaveloCloseFile(camera_, system);
}

TEST_F(StoreEndToEnd, GroupsGatherTheirMembers) {
  Bind();
  FH welcome = Handle("2:WELCOME.JPG");
  FH board = Handle("2:ALBUM1/BOARD.JPG");
  FH *members[] = {&welcome, &board};
  char name[] = "best";
  ASSERT_EQ(TaveloCreateGroup(camera_, name, members, 2), S_OK);
  EXPECT_STREQ(name, "BEST");
  EXPECT_EQ(Groups(), (Names{"2:BEST/", "2:HOLIDAY/"}));
  const FH best = Handle("2:BEST/");
  EXPECT_EQ(Files(&best), (Names{"2:BEST/BOARD.JPG", "2:BEST/WELCOME.JPG"}));
  Names ungrouped = Sorted(Ungrouped());
  EXPECT_EQ(ungrouped, (Names{"2:ALBUM1/SEA0001.JPG", "2:ALBUM1/SEA0002.JPG", "2:TRIP/RAINBOW.JPG",
                              "2:TRIP/SUN.JPG"}));
}

TEST_F(StoreEndToEnd, DeletedFilesLeaveTheListings) {
  Bind();
  const FH welcome = Handle("2:WELCOME.JPG");
  ASSERT_EQ(TaveloDeleteFile(camera_, &welcome), S_OK);
  EXPECT_FALSE(fs::exists(store_ / "2" / "WELCOME.JPG"));
  EXPECT_EQ(Files(nullptr), Names{});
  EXPECT_EQ(TaveloDeleteFile(camera_, &welcome), CAM_E_FILE_NOT_FOUND);
}

} // namespace
