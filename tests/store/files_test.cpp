// Image information, file size and delete, and making directories, the
// system directory and groups.
#include "files/file_info.h"
#include "store_answers.h"

#include <gtest/gtest.h>

namespace tavelo::test {
namespace {

const FH kJpeg = Handle("2:DCIM/IMG0001.JPG");
const Bytes kJpegRecord = Record(2, "DCIM/", "IMG0001.JPG");

Reply TagAnswer(std::uint32_t tag, std::uint32_t value) {
  return OneItem(wire::kGetFileTag, tag, 1, Be32(value));
}

bool Same(const IMAGE_INFO &a, const IMAGE_INFO &b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

struct Picture {
  const char *name;
  std::uint32_t colour, date;
  SYSTEMTIME when;
  ULONG bits;
};

using ImageInfo = CameraTable<Picture>;

// An EXIF picture of 640 x 480 with sound, taken at 23:59:58.
TEST_P(ImageInfo, GathersTypeTagsAndSize) {
  const Picture &c = GetParam();
  const std::uint32_t tags[] = {Tag("imcn"), Tag("imwd"), Tag("imht"), Tag("impn"),
                                Tag("date"), Tag("time"), Tag("sdss")};
  const std::uint32_t values[] = {Tag("EXIF"), 640, 480, c.colour, c.date, 0x00235958, 1};
  Requests expected;
  for (std::size_t i = 0; i < std::size(tags); ++i) {
    camera_.Queue(TagAnswer(tags[i], values[i]));
    expected.emplace_back(Request(wire::kGetFileTag, {kJpegRecord, Be32(tags[i])}), 0);
  }
  camera_.Queue(Ok(wire::kImageList, List({ImageItem(2, "DCIM/", "IMG0001.JPG", 5000)})));
  expected.emplace_back(Request(wire::kImageList, {Be32(0), kJpegRecord}), 0);
  IMAGE_INFO info;
  std::memset(&info, 0x5A, sizeof info);
  ASSERT_EQ(TaveloGetImageInfo(handle_, &kJpeg, &info), S_OK);
  EXPECT_TRUE(Same(info, IMAGE_INFO{1, 2, 5000, c.when, c.when, c.bits, 640, 480, {0, 0}, 1, 1}));
  EXPECT_EQ(Sent(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ImageInfo,
    ::testing::Values(Picture{"Colour1999", 1, 0x00123199, {1999, 12, 0, 31, 23, 59, 58, 0}, 24},
                      Picture{"Colour2000", 1, 0x00010100, {2000, 1, 0, 1, 23, 59, 58, 0}, 24},
                      Picture{"Grey2069", 3, 0x00022869, {2069, 2, 0, 28, 23, 59, 58, 0}, 8}),
    kCaseName);

using StoreFiles = BoundCameraTest;

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

  camera_.Queue(TagAnswer(Tag("imcn"), Tag("JPEG")));
  camera_.Queue(TagAnswer(Tag("imwd"), 640));
  camera_.Queue(Status(wire::kGetFileTag, 8)); // imht
  EXPECT_EQ(TaveloGetImageInfo(handle_, &kJpeg, &info), CAM_E_DATA_NOT_FOUND);
  EXPECT_TRUE(Same(info, IMAGE_INFO{1, 2, 0, {}, {}, 0, 640, 0, {0, 0}, 1, 0}));
  EXPECT_EQ(camera_.Exchanges().size(), 5u);
}

// The size export over the demo store is checked end to end.
TEST_F(StoreFiles, DeleteOfAFileSendsItsRecord) {
  EXPECT_EQ(TaveloDeleteFile(handle_, &kJpeg), S_OK);
  EXPECT_EQ(Sent().back(), (std::pair{Request(wire::kDeleteFile, {kJpegRecord}), ULONG{12}}));
}

// Size query and its entry: the answer, the result, the size left behind.
using FileSize = CameraTable<std::tuple<const char *, Reply, HRESULT, ULONG>>;

TEST_P(FileSize, AsksForTheOneFileAndReadsItsEntry) {
  const auto &[name, reply, result, expected] = GetParam();
  camera_.Queue(reply);
  ULONG size = 77;
  EXPECT_EQ(files::QueryFileSize(Session(), &kJpeg, &size), result);
  EXPECT_EQ(size, expected);
  EXPECT_EQ(Sent(), (Requests{{Request(wire::kImageList, {Be32(0), kJpegRecord}), 0}}));
  EXPECT_EQ(Session().IsConnected(), result == E_FAIL ? CAM_S_COMPLETED : S_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileSize,
    ::testing::Values(
        std::tuple{"OneEntry", Ok(wire::kImageList, List({ImageItem(2, "D/", "I.JPG", 123456)})),
                   S_OK, ULONG{123456}},
        std::tuple{"NoEntries", Ok(wire::kImageList), S_OK, ULONG{77}},
        std::tuple{"EntryCutShort", Ok(wire::kImageList, Join({Be32(1), Bytes(40, 0)})), S_OK,
                   ULONG{77}},
        std::tuple{"Refused", Status(wire::kImageList, 7), CAM_E_FILE_NOT_FOUND, ULONG{77}},
        std::tuple{"LinkBroken", Reply{E_FAIL, {}}, E_FAIL, ULONG{77}}),
    [](const auto &info) { return std::string(std::get<0>(info.param)); });

constexpr std::uint16_t kGentle = wire::kRemoveDirectory;
constexpr std::uint16_t kWhole = wire::kRemoveDirectoryAlt;

// The camera's answers, the commands that reach it, the result.
using RemoveDirectory =
    CameraTable<std::tuple<const char *, std::vector<Reply>, std::vector<std::uint16_t>, HRESULT>>;

TEST_P(RemoveDirectory, TriesTheGentleCommandFirst) {
  const auto &[name, replies, commands, result] = GetParam();
  for (const Reply &reply : replies) {
    camera_.Queue(reply);
  }
  const FH directory = Handle("2:ALBUM1/SUB/");
  EXPECT_EQ(TaveloDeleteFile(handle_, &directory), result);
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

// Parent (null: none), name (null: the system directory), the camera's
// status word, the result, the path name handed out and the link's result.
// The default drive is 4.
struct NewDirectory {
  const char *name, *parent, *directory;
  std::uint16_t status;
  HRESULT result;
  const char *path;
  HRESULT link = S_OK;
};

using MakeDirectory = CameraTable<NewDirectory>;

TEST_P(MakeDirectory, HandsOutTheNewDirectoryWhateverTheCameraSays) {
  const NewDirectory &c = GetParam();
  Session().defaultDrive = 4;
  camera_.Queue(Reply{c.link, Packet(wire::kCreateDirectory, c.status)});
  const FH parent = Handle(c.parent != nullptr ? c.parent : "", 4);
  FH *made = nullptr;
  EXPECT_EQ(c.directory == nullptr
                ? TaveloGetSystemDir(handle_, &made)
                : TaveloCreateDirectory(handle_, c.parent ? &parent : nullptr, c.directory, &made),
            c.result);
  ASSERT_NE(made, nullptr);
  EXPECT_STREQ(made->path, c.path);
  EXPECT_EQ(made->drive, 4);
  const char *colon = std::strchr(c.path, ':');
  EXPECT_EQ(Sent(), (Requests{{Request(wire::kCreateDirectory,
                                       {Be32(4), Field(colon != nullptr ? colon + 1 : c.path, 32)}),
                               12}}));
  EXPECT_EQ(Session().IsConnected(), c.link == E_FAIL ? CAM_S_COMPLETED : S_OK);
  TaveloCloseFile(handle_, made);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MakeDirectory,
    ::testing::Values(
        NewDirectory{"AtTheRoot", nullptr, "ALBUM2", 0, S_OK, "ALBUM2/"},
        NewDirectory{"InADirectory", "4:ALBUM1/", "SUB", 0, S_OK, "4:ALBUM1/SUB/"},
        NewDirectory{"ParentWithoutSlash", "4:ALBUM1", "SUB", 0, S_OK, "4:ALBUM1/SUB/"},
        NewDirectory{"NameWithSlash", "4:ALBUM1/", "SUB/", 0, S_OK, "4:ALBUM1/SUB/"},
        NewDirectory{"LongestNameAtADriveRoot", "4:", "ABCDEFGHIJKLMNO", 0, S_OK,
                     "4:ABCDEFGHIJKLMNO/"},
        NewDirectory{"Refused", "4:A/", "B", 6, CAM_E_NO_SPACE, "4:A/B/"},
        NewDirectory{"LinkBroken", "4:A/", "B", 0, E_FAIL, "4:A/B/", E_FAIL},
        NewDirectory{"SystemEvenWhenRefused", nullptr, nullptr, 0x16, S_OK, "SYSTEM/"}),
    kCaseName);

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
  EXPECT_EQ(Sent(), (Requests{{Request(wire::kCreateGroup, {Field("TRIP", 16), Be32(2), kJpegRecord,
                                                            Record(3, "", "IMG0002.JPG")}),
                               12},
                              {Request(wire::kCreateGroup, {Field("SOLO", 16), Be32(0)}), 12}}));
}

TEST_F(StoreFiles, UnusableArgumentsAreRefusedWithoutContact) {
  HCAMERA unresolved = nullptr;
  ULONG size = 9;
  EXPECT_EQ(TaveloGetFileSize(&unresolved, &kJpeg, &size), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(size, 0u) << "cleared before the handle is resolved";
  const FH root = Handle("2:"), unconvertible = Handle("2:DCIM/NOT_SHORT_NAME.JPG");
  const FH directory = Handle("2:DCIM/"), parent = Handle("2:AAAAAAAA/BBBBBBBB/CCCCCCCC/");
  static const IMAGE_INFO kReadOnlyInfo{};
  IMAGE_INFO info{};
  static FH *const kReadOnlyHandle = nullptr;
  FH *created = reinterpret_cast<FH *>(&created);
  ExpectRefused(
      {TaveloGetFileSize(handle_, nullptr, &size), TaveloGetFileSize(handle_, &root, &size),
       TaveloGetFileSize(handle_, &unconvertible, &size),
       TaveloGetFileSize(handle_, &directory, &size), // a directory has no size
       TaveloDeleteFile(handle_, nullptr), TaveloDeleteFile(&unresolved, &kJpeg),
       TaveloDeleteFile(handle_, &root), // a drive root stays
       TaveloDeleteFile(handle_, &unconvertible),
       TaveloGetImageInfo(handle_, &kJpeg, const_cast<IMAGE_INFO *>(&kReadOnlyInfo)),
       TaveloGetImageInfo(handle_, nullptr, &info),
       TaveloCreateDirectory(handle_, nullptr, nullptr, &created),
       TaveloCreateDirectory(handle_, nullptr, "", &created),
       TaveloCreateDirectory(handle_, nullptr, "ABCDEFGHIJKLMNOP", &created),
       TaveloCreateDirectory(handle_, &parent, "DDD", &created), // 29 + 3 characters
       TaveloCreateDirectory(handle_, nullptr, "A", const_cast<FH **>(&kReadOnlyHandle))});
  EXPECT_EQ(created, nullptr);
  EXPECT_EQ(TaveloGetSystemDir(&unresolved, &created), CAM_E_BAD_PARAMETER);

  FH *members[] = {const_cast<FH *>(&kJpeg), const_cast<FH *>(&unconvertible)};
  FH *missing[] = {const_cast<FH *>(&kJpeg), nullptr};
  char name[] = "trip";
  char longName[] = "abcdefghijklmnop";
  static const char kReadOnlyName[] = "trip";
  ExpectRefused(
      {TaveloCreateGroup(handle_, name, members, -1), TaveloCreateGroup(handle_, name, nullptr, 1),
       TaveloCreateGroup(handle_, name, members, 0), TaveloCreateGroup(handle_, name, members, 2),
       TaveloCreateGroup(handle_, name, missing, 2),
       TaveloCreateGroup(handle_, longName, members, 1),
       TaveloCreateGroup(handle_, const_cast<char *>(kReadOnlyName), members, 1)});
  EXPECT_STREQ(longName, "abcdefghijklmnop") << "a refused name is left as it was";
  EXPECT_TRUE(Untouched());
}

} // namespace
} // namespace tavelo::test
