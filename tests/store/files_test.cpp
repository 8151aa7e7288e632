// Image information, file size and delete through their exports, and
// making directories, the system directory and groups.
#include "store_answers.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tavelo::test {
namespace {

const FH kJpeg = Handle("2:DCIM/IMG0001.JPG");

Reply TagAnswer(const char (&tag)[5], std::uint32_t value) {
  return OneItem(wire::kGetFileTag, Tag(tag), 1, Be32(value));
}

std::uint32_t AskedTag(const ExchangeRecord &exchange) {
  return exchange.request.size() == 68 && Be32At(exchange.request, 8) >> 16 == wire::kGetFileTag
             ? Be32At(exchange.request, 64)
             : 0;
}

// The tags of an EXIF picture of 640 x 480 with sound, taken at 23:59:58.
void QueueImageTags(FakeCamera &camera, std::uint32_t colour, std::uint32_t date) {
  camera.Queue(TagAnswer("imcn", Tag("EXIF")));
  camera.Queue(TagAnswer("imwd", 640));
  camera.Queue(TagAnswer("imht", 480));
  camera.Queue(TagAnswer("impn", colour));
  camera.Queue(TagAnswer("date", date));
  camera.Queue(TagAnswer("time", 0x00235958));
  camera.Queue(TagAnswer("sdss", 1));
}

using StoreFiles = BoundCameraTest;

TEST_F(StoreFiles, ImageInformationGathersTypeTagsAndSize) {
  QueueImageTags(camera_, 1, 0x00123199);
  camera_.Queue(Ok(wire::kImageList, List({ImageItem(2, "DCIM/", "IMG0001.JPG", 5000)})));
  IMAGE_INFO info;
  std::memset(&info, 0x5A, sizeof info);
  ASSERT_EQ(TaveloGetImageInfo(handle_, &kJpeg, &info), S_OK);
  const SYSTEMTIME when{1999, 12, 0, 31, 23, 59, 58, 0};
  IMAGE_INFO expected{1, 2, 5000, when, when, 24, 640, 480, {0, 0}, 1, 1};
  EXPECT_EQ(std::memcmp(&info, &expected, sizeof info), 0);

  std::vector<std::uint32_t> asked;
  for (const ExchangeRecord &exchange : camera_.Exchanges()) {
    asked.push_back(AskedTag(exchange));
  }
  EXPECT_EQ(asked, (std::vector<std::uint32_t>{Tag("imcn"), Tag("imwd"), Tag("imht"), Tag("impn"),
                                               Tag("date"), Tag("time"), Tag("sdss"), 0}));
  EXPECT_EQ(Sent().back(),
            (std::pair{Request(wire::kImageList, {Be32(0), Record(2, "DCIM/", "IMG0001.JPG")}),
                       ULONG{0}}));
}

struct DateCase {
  const char *name;
  std::uint32_t colour;
  std::uint32_t date;
  ULONG bitsPerPixel;
  WORD year, month, day;
};

using ImageDates = CameraTable<DateCase>;

TEST_P(ImageDates, ColourAndDateWords) {
  const DateCase &c = GetParam();
  QueueImageTags(camera_, c.colour, c.date);
  IMAGE_INFO info{};
  ASSERT_EQ(TaveloGetImageInfo(handle_, &kJpeg, &info), S_OK);
  EXPECT_EQ(info.bitsPerPixel, c.bitsPerPixel);
  EXPECT_EQ(info.created.wYear, c.year);
  EXPECT_EQ(info.created.wMonth, c.month);
  EXPECT_EQ(info.created.wDay, c.day);
  EXPECT_EQ(std::memcmp(&info.created, &info.modified, sizeof(SYSTEMTIME)), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, ImageDates,
                         ::testing::Values(DateCase{"Grey1999", 3, 0x00123199, 8, 1999, 12, 31},
                                           DateCase{"Colour2000", 1, 0x00010100, 24, 2000, 1, 1},
                                           DateCase{"Grey1970", 0, 0x00070470, 8, 1970, 7, 4},
                                           DateCase{"Colour2069", 1, 0x00022869, 24, 2069, 2, 28}),
                         kCaseName);

TEST_F(StoreFiles, ImageInformationOfANonImageIsItsTypeOnly) {
  const FH script = Handle("2:SYSTEM/HELLO.CSM");
  camera_.Queue(Status(wire::kGetFileTag, 8));
  camera_.Queue(Status(wire::kGetFileTag, 8));
  IMAGE_INFO info;
  std::memset(&info, 0x5A, sizeof info);
  ASSERT_EQ(TaveloGetImageInfo(handle_, &script, &info), S_OK);
  IMAGE_INFO expected{};
  expected.fileType = 5;
  EXPECT_EQ(std::memcmp(&info, &expected, sizeof info), 0);
  EXPECT_EQ(camera_.Exchanges().size(), 2u);
}

TEST_F(StoreFiles, ImageInformationStopsAtTheFirstTagThatFails) {
  camera_.Queue(TagAnswer("imcn", Tag("JPEG")));
  camera_.Queue(TagAnswer("imwd", 640));
  camera_.Queue(Status(wire::kGetFileTag, 8));
  IMAGE_INFO info{};
  EXPECT_EQ(TaveloGetImageInfo(handle_, &kJpeg, &info), CAM_E_DATA_NOT_FOUND);
  IMAGE_INFO expected{};
  expected.isImage = expected.isImageAgain = 1;
  expected.fileType = 2;
  expected.width = 640;
  EXPECT_EQ(std::memcmp(&info, &expected, sizeof info), 0);
  EXPECT_EQ(camera_.Exchanges().size(), 3u);
}

TEST_F(StoreFiles, FileSizeAndDeleteThroughTheirExports) {
  camera_.Queue(Ok(wire::kImageList, List({ImageItem(2, "DCIM/", "IMG0001.JPG", 4321)})));
  camera_.Queue(Ok(wire::kDeleteFile));
  ULONG size = 9;
  EXPECT_EQ(TaveloGetFileSize(handle_, &kJpeg, &size), S_OK);
  EXPECT_EQ(size, 4321u);
  EXPECT_EQ(TaveloDeleteFile(handle_, &kJpeg), S_OK);
  EXPECT_EQ(
      Sent().back(),
      (std::pair{Request(wire::kDeleteFile, {Record(2, "DCIM/", "IMG0001.JPG")}), ULONG{12}}));

  HCAMERA unresolved = nullptr;
  size = 9;
  EXPECT_EQ(TaveloGetFileSize(&unresolved, &kJpeg, &size), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(size, 0u) << "cleared before the handle is resolved";
  EXPECT_EQ(TaveloGetFileSize(handle_, nullptr, &size), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloDeleteFile(handle_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloDeleteFile(&unresolved, &kJpeg), CAM_E_BAD_PARAMETER);
  static const IMAGE_INFO kReadOnlyInfo{};
  EXPECT_EQ(TaveloGetImageInfo(handle_, &kJpeg, const_cast<IMAGE_INFO *>(&kReadOnlyInfo)),
            CAM_E_BAD_PARAMETER);
  IMAGE_INFO info{};
  EXPECT_EQ(TaveloGetImageInfo(handle_, nullptr, &info), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(camera_.Exchanges().size(), 2u);
}

// directories

struct MakeDirectoryCase {
  const char *name;
  const char *parent; // null: none
  const char *directory;
  std::string path;
  LONG drive;
  Bytes requestPath; // drive and directory path sent
};

using MakeDirectory = CameraTable<MakeDirectoryCase>;

TEST_P(MakeDirectory, NamesTheNewDirectoryUnderItsParent) {
  const MakeDirectoryCase &c = GetParam();
  Session().defaultDrive = 3;
  const FH parent = Handle(c.parent != nullptr ? c.parent : "", 2);
  FH *created = nullptr;
  ASSERT_EQ(TaveloCreateDirectory(handle_, c.parent != nullptr ? &parent : nullptr, c.directory,
                                  &created),
            S_OK);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(std::string(created->path), c.path);
  EXPECT_EQ(created->drive, c.drive);
  EXPECT_EQ(created->kind, 1);
  EXPECT_EQ(Sent(), (Requests{{Request(wire::kCreateDirectory, {c.requestPath}), 12}}));
  TaveloCloseFile(handle_, created);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MakeDirectory,
    ::testing::Values(MakeDirectoryCase{"AtTheRoot", nullptr, "ALBUM2", "ALBUM2/", 3,
                                        Join({Be32(3), Field("ALBUM2/", 32)})},
                      MakeDirectoryCase{"InADirectory", "2:ALBUM1/", "SUB", "2:ALBUM1/SUB/", 2,
                                        Join({Be32(2), Field("ALBUM1/SUB/", 32)})},
                      MakeDirectoryCase{"ParentWithoutSlash", "2:ALBUM1", "SUB", "2:ALBUM1/SUB/", 2,
                                        Join({Be32(2), Field("ALBUM1/SUB/", 32)})},
                      MakeDirectoryCase{"NameWithSlash", "2:ALBUM1/", "SUB/", "2:ALBUM1/SUB/", 2,
                                        Join({Be32(2), Field("ALBUM1/SUB/", 32)})},
                      MakeDirectoryCase{"LongestNameAtADriveRoot", "2:", "ABCDEFGHIJKLMNO",
                                        "2:ABCDEFGHIJKLMNO/", 2,
                                        Join({Be32(2), Field("ABCDEFGHIJKLMNO/", 32)})}),
    kCaseName);

TEST_F(StoreFiles, ARefusedDirectoryStillHandsOutItsHandle) {
  camera_.Queue(Status(wire::kCreateDirectory, 6));
  const FH parent = Handle("2:ALBUM1/");
  FH *created = nullptr;
  EXPECT_EQ(TaveloCreateDirectory(handle_, &parent, "SUB", &created), CAM_E_NO_SPACE);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(std::string(created->path), "2:ALBUM1/SUB/");
  TaveloCloseFile(handle_, created);

  // A broken link is dropped like after any other command.
  camera_.Queue(Broken());
  EXPECT_EQ(TaveloCreateDirectory(handle_, &parent, "SUB", &created), E_FAIL);
  EXPECT_EQ(Session().IsConnected(), CAM_S_COMPLETED);
  TaveloCloseFile(handle_, created);
}

TEST_F(StoreFiles, DirectoryNamesThatCannotBeMadeAreRefusedWithoutContact) {
  const FH parent = Handle("2:AAAAAAAA/BBBBBBBB/CCCCCCCC/");
  FH *created = reinterpret_cast<FH *>(&created);
  EXPECT_EQ(TaveloCreateDirectory(handle_, nullptr, nullptr, &created), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(created, nullptr);
  for (const char *name : {"", "ABCDEFGHIJKLMNOP"}) {
    EXPECT_EQ(TaveloCreateDirectory(handle_, nullptr, name, &created), CAM_E_BAD_PARAMETER) << name;
  }
  EXPECT_EQ(TaveloCreateDirectory(handle_, &parent, "DDD", &created), CAM_E_BAD_PARAMETER)
      << "29 + 3 characters is one too many";
  EXPECT_EQ(created, nullptr);
  static FH *const kReadOnly = nullptr;
  EXPECT_EQ(TaveloCreateDirectory(handle_, nullptr, "A", const_cast<FH **>(&kReadOnly)),
            CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
}

TEST_F(StoreFiles, SystemDirectoryIsHandedOutEvenWhenTheCameraRefusesIt) {
  Session().defaultDrive = 4;
  camera_.Queue(Status(wire::kCreateDirectory, 0x16));
  camera_.Queue(Ok(wire::kCreateDirectory));
  for (int i = 0; i < 2; ++i) {
    FH *system = nullptr;
    ASSERT_EQ(TaveloGetSystemDir(handle_, &system), S_OK);
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(std::string(system->path), "SYSTEM/");
    EXPECT_EQ(system->drive, 4);
    TaveloCloseFile(handle_, system);
  }
  const Bytes request = Request(wire::kCreateDirectory, {Be32(4), Field("SYSTEM/", 32)});
  EXPECT_EQ(Sent(), (Requests{{request, 12}, {request, 12}}));
  HCAMERA unresolved = nullptr;
  FH *system = reinterpret_cast<FH *>(&system);
  EXPECT_EQ(TaveloGetSystemDir(&unresolved, &system), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(system, nullptr);
}

// groups

TEST_F(StoreFiles, GroupNameGoesInUpperCaseWithItsMembers) {
  FH first = Handle("2:DCIM/IMG0001.JPG");
  FH second = Handle("3:IMG0002.JPG");
  FH *members[] = {&first, &second};
  char name[] = "trip";
  EXPECT_EQ(TaveloCreateGroup(handle_, name, members, 2), S_OK);
  EXPECT_STREQ(name, "TRIP");
  char empty[] = "solo";
  camera_.Queue(Status(wire::kCreateGroup, 5));
  EXPECT_EQ(TaveloCreateGroup(handle_, empty, nullptr, 0), CAM_E_BAD_REQUEST_DATA);
  EXPECT_EQ(Sent(), (Requests{{Request(wire::kCreateGroup, {Field("TRIP", 16), Be32(2),
                                                            Record(2, "DCIM/", "IMG0001.JPG"),
                                                            Record(3, "", "IMG0002.JPG")}),
                               12},
                              {Request(wire::kCreateGroup, {Field("SOLO", 16), Be32(0)}), 12}}));
  EXPECT_EQ(Sent().back().first.size(), 32u);
}

TEST_F(StoreFiles, GroupsThatCannotBeMadeAreRefusedWithoutContact) {
  FH file = Handle("2:DCIM/IMG0001.JPG");
  FH unconvertible = Handle("2:DCIM/NOT_SHORT_NAME.JPG");
  FH *members[] = {&file, &unconvertible};
  FH *missing[] = {&file, nullptr};
  char name[] = "trip";
  char longName[] = "abcdefghijklmnop";
  static const char kReadOnlyName[] = "trip";
  EXPECT_EQ(TaveloCreateGroup(handle_, name, members, -1), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloCreateGroup(handle_, name, nullptr, 1), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloCreateGroup(handle_, name, members, 0), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloCreateGroup(handle_, name, members, 2), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloCreateGroup(handle_, name, missing, 2), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloCreateGroup(handle_, longName, members, 1), CAM_E_BAD_PARAMETER);
  EXPECT_STREQ(longName, "abcdefghijklmnop") << "a refused name is left as it was";
  EXPECT_EQ(TaveloCreateGroup(handle_, const_cast<char *>(kReadOnlyName), members, 1),
            CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloCreateGroup(handle_, nullptr, members, 1), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
}

} // namespace
} // namespace tavelo::test
