// File handles and file name records: both conversions, and the exports
// that work on handles alone.
#include "fake_transport.h"
#include "files/file_handles.h"
#include "files/file_name_record.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace tavelo::files {
namespace {

using Record = std::array<std::uint8_t, kRecordSize>;

FH Handle(const std::string &path, LONG drive = 0) {
  FH handle{};
  handle.kind = 1;
  handle.drive = drive;
  std::memcpy(handle.path, path.data(), std::min(path.size(), sizeof handle.path));
  return handle;
}

Record MakeRecord(std::uint32_t drive, const std::string &directory, const std::string &name) {
  Record record{};
  record[0] = static_cast<std::uint8_t>(drive >> 24);
  record[1] = static_cast<std::uint8_t>(drive >> 16);
  record[2] = static_cast<std::uint8_t>(drive >> 8);
  record[3] = static_cast<std::uint8_t>(drive);
  std::memcpy(&record[kDirectoryOffset], directory.data(),
              std::min<std::size_t>(directory.size(), 32));
  std::memcpy(&record[kNameOffset], name.data(), std::min<std::size_t>(name.size(), 16));
  return record;
}

struct ToRecordCase {
  std::string path;
  LONG driveField;
  HRESULT result;
  std::uint32_t drive;
  std::string directory;
  std::string name;
};

class HandleToRecordTest : public ::testing::TestWithParam<ToRecordCase> {};

TEST_P(HandleToRecordTest, SplitsThePathName) {
  const ToRecordCase &c = GetParam();
  FH handle = Handle(c.path, c.driveField);
  Record record;
  record.fill(0xEE);
  EXPECT_EQ(HandleToRecord(&handle, record), c.result);
  EXPECT_EQ(record, MakeRecord(c.drive, c.directory, c.name));
}

const std::string k31(31, 'D');

INSTANTIATE_TEST_SUITE_P(
    Paths, HandleToRecordTest,
    ::testing::Values(ToRecordCase{"2:ALBUM1/IMG0001.JPG", 9, S_OK, 2, "ALBUM1/", "IMG0001.JPG"},
                      ToRecordCase{"2:ALBUM1/", 9, S_OK, 2, "ALBUM1/", ""},
                      ToRecordCase{"2:IMG0001.JPG", 9, S_OK, 2, "", "IMG0001.JPG"},
                      ToRecordCase{"2:", 9, S_OK, 2, "", ""},
                      ToRecordCase{"2:A/B/C.D", 9, S_OK, 2, "A/B/", "C.D"},
                      ToRecordCase{"SYSTEM/", 5, S_OK, 5, "SYSTEM/", ""},
                      ToRecordCase{"X/Y.TXT", -3, S_OK, 0xFFFFFFFD, "X/", "Y.TXT"},
                      ToRecordCase{"NAME", 4, S_OK, 4, "", "NAME"},
                      ToRecordCase{" \t-7:A/", 0, S_OK, 0xFFFFFFF9, "A/", ""},
                      ToRecordCase{"x:A/", 1, S_OK, 0, "A/", ""},
                      ToRecordCase{"12abc:A/", 1, S_OK, 12, "A/", ""},
                      ToRecordCase{"2:ABCDEFGH.", 0, S_OK, 2, "", "ABCDEFGH."},
                      ToRecordCase{"2:ABCDEFGHI", 0, CAM_E_BAD_PARAMETER, 2, "", ""},
                      ToRecordCase{"2:A.JPEG", 0, CAM_E_BAD_PARAMETER, 2, "", ""},
                      ToRecordCase{"2:A.B.C", 0, CAM_E_BAD_PARAMETER, 2, "", ""},
                      ToRecordCase{"2:.JPG", 0, CAM_E_BAD_PARAMETER, 2, "", ""},
                      ToRecordCase{"2:ABCDEFGHIJKLM", 0, CAM_E_BAD_PARAMETER, 2, "", ""},
                      ToRecordCase{"2:" + k31.substr(1) + "/", 0, S_OK, 2, k31.substr(1) + "/", ""},
                      ToRecordCase{"2:" + k31 + "/", 0, CAM_E_BAD_PARAMETER, 2, "", ""},
                      // A path name that fills its field without a terminator.
                      ToRecordCase{"3:" + std::string(70, 'P'), 0, CAM_E_BAD_PARAMETER, 3, "",
                                   ""}));

TEST(HandleToRecord, NullHandleIsBadParameter) {
  Record record{};
  EXPECT_EQ(HandleToRecord(nullptr, record), CAM_E_BAD_PARAMETER);
}

struct ToHandleCase {
  std::uint32_t drive;
  std::string directory;
  std::string name;
  LONG driveField;
  std::string path;
};

class RecordToHandleTest : public ::testing::TestWithParam<ToHandleCase> {};

TEST_P(RecordToHandleTest, BuildsThePathName) {
  const ToHandleCase &c = GetParam();
  FH handle;
  std::memset(&handle, 0xEE, sizeof handle);
  RecordToHandle(MakeRecord(c.drive, c.directory, c.name), &handle);
  EXPECT_EQ(handle.kind, 1);
  EXPECT_EQ(handle.drive, c.driveField);
  EXPECT_EQ(std::string(handle.path), c.path);
}

INSTANTIATE_TEST_SUITE_P(
    Records, RecordToHandleTest,
    ::testing::Values(ToHandleCase{2, "ALBUM1/", "IMG0001.JPG", 2, "2:ALBUM1/IMG0001.JPG"},
                      ToHandleCase{2, "/ALBUM1", "", 2, "2:ALBUM1/"},
                      ToHandleCase{2, "/", "F.TXT", 2, "2:F.TXT"},
                      ToHandleCase{2, "", "F.TXT", 2, "2:F.TXT"},
                      ToHandleCase{0x00010003, "A/", "X", 3, "3:A/X"},
                      ToHandleCase{0xFFFF, "A/", "", -1, "-1:A/"},
                      ToHandleCase{0x8000, std::string(32, 'D'), std::string(16, 'N'), -32768,
                                   "-32768:" + std::string(32, 'D') + "/" + std::string(16, 'N')}));

TEST(Conversions, RoundTripKeepsThePathName) {
  for (const char *path : {"2:ALBUM1/IMG0001.JPG", "0:DCIM/100TAVEL/", "7:README", "1:"}) {
    FH handle = Handle(path);
    Record record{};
    ASSERT_EQ(HandleToRecord(&handle, record), S_OK) << path;
    FH back{};
    RecordToHandle(record, &back);
    EXPECT_STREQ(back.path, path);
  }
}

struct ParentCase {
  std::string path;
  const char *parent; // null: no parent
};

class ParentTest : public ::testing::TestWithParam<ParentCase> {};

TEST_P(ParentTest, FileGivesItsDirectoryAndDirectoryItsParent) {
  FH handle = Handle(GetParam().path);
  Record record{};
  ASSERT_EQ(HandleToRecord(&handle, record), S_OK);
  const bool has = ToParent(record);
  ASSERT_EQ(has, GetParam().parent != nullptr);
  if (has) {
    FH parent{};
    RecordToHandle(record, &parent);
    EXPECT_STREQ(parent.path, GetParam().parent);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ParentTest,
    ::testing::Values(ParentCase{"2:ALBUM1/IMG0001.JPG", "2:ALBUM1/"},
                      ParentCase{"2:ALBUM1/", nullptr}, ParentCase{"2:IMG0001.JPG", nullptr},
                      ParentCase{"2:A/B/", "2:A/"}, ParentCase{"2:A/B/C/", "2:A/B/"},
                      ParentCase{"2:A/B/C/F.TXT", "2:A/B/C/"}, ParentCase{"SYSTEM/", nullptr}));

struct DisplayCase {
  std::string path;
  std::string shown;
};

class DisplayNameTest : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayNameTest, ShowsTheLastName) {
  EXPECT_EQ(DisplayName(GetParam().path), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Paths, DisplayNameTest,
                         ::testing::Values(DisplayCase{"2:ALBUM1/", "ALBUM1"},
                                           DisplayCase{"2:ALBUM1/IMG0001.JPG", "IMG0001.JPG"},
                                           DisplayCase{"2:IMG0001.JPG", "IMG0001.JPG"},
                                           DisplayCase{"2:A/B/", "B"},
                                           DisplayCase{"SYSTEM/", "SYSTEM"},
                                           DisplayCase{"NAME", "NAME"}, DisplayCase{"", ""}));

// The exports, with a camera handle bound to a fake transport (never
// contacted: these exports take no command gate).
class FileHandleExportTest : public ::testing::Test {
protected:
  void SetUp() override {
    DEVICE_INFO record = camera_.Record();
    ASSERT_EQ(TaveloBindCamera(&camera, &record), S_OK);
    VariantClear(&record.deviceId);
  }
  void TearDown() override {
    EXPECT_EQ(camera_.InstancesCreated(), 0);
    TaveloCloseCamera(camera);
  }

  struct Runtime {
    Runtime() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~Runtime() { CoUninitialize(); }
  } runtime_;
  test::FakeCamera camera_;
  HCAMERA camera = nullptr;
  HCAMERA unresolved = nullptr;
};

TEST_F(FileHandleExportTest, EqualityComparesPathNamesOnly) {
  FH a = Handle("2:ALBUM1/IMG0001.JPG", 1);
  FH b = Handle("2:ALBUM1/IMG0001.JPG", 2);
  FH c = Handle("2:ALBUM1/IMG0002.JPG", 1);
  FH noDrive = Handle("ALBUM1/IMG0001.JPG", 2);
  EXPECT_EQ(TaveloIsEqualFileHandle(camera, &a, &b), S_OK);
  EXPECT_EQ(TaveloIsEqualFileHandle(camera, &a, &c), CAM_S_COMPLETED);
  EXPECT_EQ(TaveloIsEqualFileHandle(camera, &b, &noDrive), CAM_S_COMPLETED);
  EXPECT_EQ(TaveloIsEqualFileHandle(camera, &a, nullptr), CAM_S_COMPLETED);
  EXPECT_EQ(TaveloIsEqualFileHandle(unresolved, &a, &b), CAM_S_COMPLETED);

  // Full fields without a terminator are compared within the field.
  FH full1 = Handle(std::string(64, 'F'));
  FH full2 = Handle(std::string(64, 'F'));
  EXPECT_EQ(TaveloIsEqualFileHandle(camera, &full1, &full2), S_OK);
  full2.path[63] = 'G';
  EXPECT_EQ(TaveloIsEqualFileHandle(camera, &full1, &full2), CAM_S_COMPLETED);
}

TEST_F(FileHandleExportTest, ParentIsANewHandleReleasedWithCloseFile) {
  FH file = Handle("2:ALBUM1/IMG0001.JPG");
  FH *parent = nullptr;
  ASSERT_EQ(TaveloGetParentHandle(camera, &file, &parent), S_OK);
  ASSERT_NE(parent, nullptr);
  EXPECT_STREQ(parent->path, "2:ALBUM1/");
  EXPECT_EQ(parent->kind, 1);
  EXPECT_EQ(parent->drive, 2);
  EXPECT_EQ(TaveloCloseFile(camera, parent), S_OK);

  FH root = Handle("2:ALBUM1/");
  parent = &file;
  EXPECT_EQ(TaveloGetParentHandle(camera, &root, &parent), S_OK);
  EXPECT_EQ(parent, nullptr);
}

TEST_F(FileHandleExportTest, ParentRefusesBadArgumentsBeforeTouchingTheOutput) {
  FH file = Handle("2:ALBUM1/IMG0001.JPG");
  FH *parent = &file;
  EXPECT_EQ(TaveloGetParentHandle(nullptr, &file, &parent), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetParentHandle(camera, nullptr, &parent), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(parent, &file);
  EXPECT_EQ(TaveloGetParentHandle(camera, &file, nullptr), CAM_E_BAD_PARAMETER);

  FH badName = Handle("2:ALBUM1/TOOLONGNAME.JPG");
  EXPECT_EQ(TaveloGetParentHandle(camera, &badName, &parent), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(parent, nullptr);
}

TEST_F(FileHandleExportTest, DisplayNameClearsLengthPlusTwoAndNoMore) {
  FH dir = Handle("2:ALBUM1/");
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  ASSERT_EQ(TaveloGetFileDisplayName(camera, &dir, buffer), S_OK);
  EXPECT_STREQ(buffer, "ALBUM1");
  EXPECT_EQ(std::string(buffer, 11), std::string("ALBUM1\0\0\0\0\0", 11));
  EXPECT_EQ(buffer[11], '#');

  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(TaveloGetFileDisplayName(unresolved, &dir, buffer), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetFileDisplayName(camera, nullptr, buffer), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetFileDisplayName(camera, &dir, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(buffer[0], '#');
}

TEST_F(FileHandleExportTest, CloseFileReleasesOnlyThroughAResolvingCamera) {
  FH onStack = Handle("2:A/");
  // Not released: the camera handle does not resolve (releasing a stack
  // record would fault).
  EXPECT_EQ(TaveloCloseFile(unresolved, &onStack), S_OK);
  EXPECT_EQ(TaveloCloseFile(camera, nullptr), S_OK);
}

} // namespace
} // namespace tavelo::files
