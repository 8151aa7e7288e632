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

bool Same(const IMAGE_INFO &a, const IMAGE_INFO &b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

using StoreFiles = BoundCameraTest;

TEST_F(StoreFiles, ImageInformationGathersTypeTagsAndSize) {
  QueueImageTags(camera_, 1, 0x00123199);
  camera_.Queue(Ok(wire::kImageList, List({ImageItem(2, "DCIM/", "IMG0001.JPG", 5000)})));
  IMAGE_INFO info;
  std::memset(&info, 0x5A, sizeof info);
  ASSERT_EQ(TaveloGetImageInfo(handle_, &kJpeg, &info), S_OK);
  const SYSTEMTIME when{1999, 12, 0, 31, 23, 59, 58, 0};
  EXPECT_TRUE(Same(info, IMAGE_INFO{1, 2, 5000, when, when, 24, 640, 480, {0, 0}, 1, 1}));
  std::vector<std::uint32_t> tags;
  for (const auto &[request, hint] : Sent()) {
    tags.push_back(request.size() == 68 ? Be32At(request, 64) : 0);
  }
  EXPECT_EQ(tags, (std::vector<std::uint32_t>{Tag("imcn"), Tag("imwd"), Tag("imht"), Tag("impn"),
                                              Tag("date"), Tag("time"), Tag("sdss"), 0}));
  EXPECT_EQ(Sent().back().first,
            Request(wire::kImageList, {Be32(0), Record(2, "DCIM/", "IMG0001.JPG")}));
}

using ImageDates = CameraTable<std::tuple<const char *, std::uint32_t, std::uint32_t, SYSTEMTIME>>;

TEST_P(ImageDates, ColourAndDateWords) {
  const auto &[name, colour, date, when] = GetParam();
  QueueImageTags(camera_, colour, date);
  IMAGE_INFO info{};
  ASSERT_EQ(TaveloGetImageInfo(handle_, &kJpeg, &info), S_OK);
  EXPECT_EQ(info.bitsPerPixel, colour == 1 ? 24u : 8u);
  EXPECT_EQ(std::memcmp(&info.created, &when, sizeof when), 0);
  EXPECT_EQ(std::memcmp(&info.modified, &when, sizeof when), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, ImageDates,
                         ::testing::Values(std::tuple{"Colour2000", 1u, 0x00010100u,
                                                      SYSTEMTIME{2000, 1, 0, 1, 23, 59, 58, 0}},
                                           std::tuple{"Grey2069", 3u, 0x00022869u,
                                                      SYSTEMTIME{2069, 2, 0, 28, 23, 59, 58, 0}}),
                         [](const auto &info) { return std::string(std::get<0>(info.param)); });

TEST_F(StoreFiles, ImageInformationOfANonImageOrWithAMissingTag) {
  const FH script = Handle("2:SYSTEM/HELLO.CSM");
  camera_.Queue(Status(wire::kGetFileTag, 8)); // imcn and flty: the type is the name's
  camera_.Queue(Status(wire::kGetFileTag, 8));
  IMAGE_INFO info;
  std::memset(&info, 0x5A, sizeof info);
  ASSERT_EQ(TaveloGetImageInfo(handle_, &script, &info), S_OK);
  IMAGE_INFO expected{};
  expected.fileType = 5;
  EXPECT_TRUE(Same(info, expected));

  camera_.Queue(TagAnswer("imcn", Tag("JPEG")));
  camera_.Queue(TagAnswer("imwd", 640));
  camera_.Queue(Status(wire::kGetFileTag, 8)); // imht
  EXPECT_EQ(TaveloGetImageInfo(handle_, &kJpeg, &info), CAM_E_DATA_NOT_FOUND);
  expected = IMAGE_INFO{1, 2, 0, {}, {}, 0, 640, 0, {0, 0}, 1, 0};
  EXPECT_TRUE(Same(info, expected));
  EXPECT_EQ(camera_.Exchanges().size(), 5u);
}

TEST_F(StoreFiles, FileSizeDeleteAndImageInformationCheckTheirArguments) {
  camera_.Queue(Ok(wire::kImageList, List({ImageItem(2, "DCIM/", "IMG0001.JPG", 4321)})));
  ULONG size = 9;
  EXPECT_EQ(TaveloGetFileSize(handle_, &kJpeg, &size), S_OK);
  EXPECT_EQ(size, 4321u);
  EXPECT_EQ(TaveloDeleteFile(handle_, &kJpeg), S_OK);
  EXPECT_EQ(
      Sent().back(),
      (std::pair{Request(wire::kDeleteFile, {Record(2, "DCIM/", "IMG0001.JPG")}), ULONG{12}}));

  HCAMERA unresolved = nullptr;
  EXPECT_EQ(TaveloGetFileSize(&unresolved, &kJpeg, &size), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(size, 0u) << "cleared before the handle is resolved";
  EXPECT_EQ(TaveloGetFileSize(handle_, nullptr, &size), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloDeleteFile(handle_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloDeleteFile(&unresolved, &kJpeg), CAM_E_BAD_PARAMETER);
  static const IMAGE_INFO kReadOnly{};
  EXPECT_EQ(TaveloGetImageInfo(handle_, &kJpeg, const_cast<IMAGE_INFO *>(&kReadOnly)),
            CAM_E_BAD_PARAMETER);
  IMAGE_INFO info{};
  EXPECT_EQ(TaveloGetImageInfo(handle_, nullptr, &info), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(camera_.Exchanges().size(), 2u);
}

// directories

// Parent (null: none), name, the camera's answer, result, the path name
// handed out. The default drive is 4.
using MakeDirectory =
    CameraTable<std::tuple<const char *, const char *, const char *, Reply, HRESULT, const char *>>;

TEST_P(MakeDirectory, HandsOutTheNewDirectoryWhateverTheCameraSays) {
  const auto &[name, parentPath, directory, reply, result, path] = GetParam();
  Session().defaultDrive = 4;
  camera_.Queue(reply);
  const FH parent = Handle(parentPath != nullptr ? parentPath : "", 4);
  FH *created = nullptr;
  EXPECT_EQ(TaveloCreateDirectory(handle_, parentPath != nullptr ? &parent : nullptr, directory,
                                  &created),
            result);
  ASSERT_NE(created, nullptr);
  EXPECT_STREQ(created->path, path);
  EXPECT_EQ(created->drive, 4);
  const char *colon = std::strchr(path, ':');
  EXPECT_EQ(Sent(), (Requests{{Request(wire::kCreateDirectory,
                                       {Be32(4), Field(colon != nullptr ? colon + 1 : path, 32)}),
                               12}}));
  EXPECT_EQ(Session().IsConnected(), result == E_FAIL ? CAM_S_COMPLETED : S_OK);
  TaveloCloseFile(handle_, created);
}

const Reply kMade = Ok(wire::kCreateDirectory);

INSTANTIATE_TEST_SUITE_P(
    Table, MakeDirectory,
    ::testing::Values(
        std::tuple{"AtTheRoot", nullptr, "ALBUM2", kMade, S_OK, "ALBUM2/"},
        std::tuple{"InADirectory", "4:ALBUM1/", "SUB", kMade, S_OK, "4:ALBUM1/SUB/"},
        std::tuple{"ParentWithoutSlash", "4:ALBUM1", "SUB", kMade, S_OK, "4:ALBUM1/SUB/"},
        std::tuple{"NameWithSlash", "4:ALBUM1/", "SUB/", kMade, S_OK, "4:ALBUM1/SUB/"},
        std::tuple{"LongestNameAtADriveRoot", "4:", "ABCDEFGHIJKLMNO", kMade, S_OK,
                   "4:ABCDEFGHIJKLMNO/"},
        std::tuple{"Refused", "4:A/", "B", Status(wire::kCreateDirectory, 6), CAM_E_NO_SPACE,
                   "4:A/B/"},
        std::tuple{"LinkBroken", "4:A/", "B", Reply{E_FAIL, {}}, E_FAIL, "4:A/B/"}),
    [](const auto &info) { return std::string(std::get<0>(info.param)); });

TEST_F(StoreFiles, SystemDirectoryIsHandedOutEvenWhenRefused) {
  Session().defaultDrive = 4;
  camera_.Queue(Status(wire::kCreateDirectory, 0x16));
  FH *system = nullptr;
  ASSERT_EQ(TaveloGetSystemDir(handle_, &system), S_OK);
  ASSERT_NE(system, nullptr);
  EXPECT_STREQ(system->path, "SYSTEM/");
  EXPECT_EQ(system->drive, 4);
  EXPECT_EQ(Sent().back().first, Request(wire::kCreateDirectory, {Be32(4), Field("SYSTEM/", 32)}));
  TaveloCloseFile(handle_, system);
}

TEST_F(StoreFiles, DirectoriesThatCannotBeNamedAreRefusedWithoutContact) {
  const FH parent = Handle("2:AAAAAAAA/BBBBBBBB/CCCCCCCC/"); // 29 characters
  FH *created = reinterpret_cast<FH *>(&created);
  for (const char *name : {static_cast<const char *>(nullptr), "", "ABCDEFGHIJKLMNOP"}) {
    EXPECT_EQ(TaveloCreateDirectory(handle_, nullptr, name, &created), CAM_E_BAD_PARAMETER);
    EXPECT_EQ(created, nullptr);
  }
  EXPECT_EQ(TaveloCreateDirectory(handle_, &parent, "DDD", &created), CAM_E_BAD_PARAMETER);
  static FH *const kReadOnly = nullptr;
  EXPECT_EQ(TaveloCreateDirectory(handle_, nullptr, "A", const_cast<FH **>(&kReadOnly)),
            CAM_E_BAD_PARAMETER);
  HCAMERA unresolved = nullptr;
  EXPECT_EQ(TaveloGetSystemDir(&unresolved, &created), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
}

// groups

TEST_F(StoreFiles, GroupNameGoesInUpperCaseWithItsMembers) {
  FH first = Handle("2:DCIM/IMG0001.JPG");
  FH second = Handle("3:IMG0002.JPG");
  FH *members[] = {&first, &second};
  char name[] = "trip";
  char solo[] = "solo";
  camera_.Queue(Ok(wire::kCreateGroup));
  camera_.Queue(Status(wire::kCreateGroup, 5));
  EXPECT_EQ(TaveloCreateGroup(handle_, name, members, 2), S_OK);
  EXPECT_EQ(TaveloCreateGroup(handle_, solo, nullptr, 0), CAM_E_BAD_REQUEST_DATA);
  EXPECT_STREQ(name, "TRIP");
  EXPECT_EQ(Sent(), (Requests{{Request(wire::kCreateGroup, {Field("TRIP", 16), Be32(2),
                                                            Record(2, "DCIM/", "IMG0001.JPG"),
                                                            Record(3, "", "IMG0002.JPG")}),
                               12},
                              {Request(wire::kCreateGroup, {Field("SOLO", 16), Be32(0)}), 12}}));
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
  EXPECT_TRUE(Untouched());
}

} // namespace
} // namespace tavelo::test
