// File handles and file name records: both conversions, and the exports
// that work on handles alone.
#include "answer_builders.h"
#include "bound_camera.h"
#include "files/file_handles.h"
#include "files/file_name_record.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace tavelo::files {
namespace {

using Bytes = std::vector<std::uint8_t>;

using test::Handle;
using test::Record;

struct ToRecordCase {
  std::string path;
  LONG driveField;
  HRESULT result;
  std::uint32_t drive;
  std::string directory;
  std::string name;
};

class HandleToRecordTest : public ::testing::TestWithParam<ToRecordCase> {};

TEST_P(HandleToRecordTest, SplitsThePathNameAndKeepsOnlyTheDriveOnFailure) {
  const ToRecordCase &c = GetParam();
  FH handle = Handle(c.path, c.driveField);
  Bytes record(kRecordSize, 0xEE);
  EXPECT_EQ(HandleToRecord(&handle, NameRecord(record.data(), kRecordSize)), c.result);
  EXPECT_EQ(record, Record(c.drive, c.directory, c.name));
}

const std::string k31(31, 'D');
constexpr HRESULT kBad = CAM_E_BAD_PARAMETER;

INSTANTIATE_TEST_SUITE_P(
    Paths, HandleToRecordTest,
    ::testing::Values(ToRecordCase{"2:ALBUM1/IMG0001.JPG", 9, S_OK, 2, "ALBUM1/", "IMG0001.JPG"},
                      ToRecordCase{"2:ALBUM1/", 9, S_OK, 2, "ALBUM1/", ""},
                      ToRecordCase{"2:IMG0001.JPG", 9, S_OK, 2, "", "IMG0001.JPG"},
                      ToRecordCase{"2:", 9, S_OK, 2, "", ""},
                      ToRecordCase{"2:A/B/C.D", 9, S_OK, 2, "A/B/", "C.D"},
                      // Without a drive prefix the handle's drive field counts.
                      ToRecordCase{"X/Y.TXT", -3, S_OK, 0xFFFFFFFD, "X/", "Y.TXT"},
                      ToRecordCase{"NAME", 4, S_OK, 4, "", "NAME"},
                      ToRecordCase{" \t-7:A/", 0, S_OK, 0xFFFFFFF9, "A/", ""},
                      ToRecordCase{"x:A/", 1, S_OK, 0, "A/", ""},
                      ToRecordCase{"12abc:A/", 1, S_OK, 12, "A/", ""},
                      // 8.3 names.
                      ToRecordCase{"2:ABCDEFGH.", 0, S_OK, 2, "", "ABCDEFGH."},
                      ToRecordCase{"2:ABCDEFGHI", 0, kBad, 2, "", ""},
                      ToRecordCase{"2:A.JPEG", 0, kBad, 2, "", ""},
                      ToRecordCase{"2:A.B.C", 0, kBad, 2, "", ""},
                      ToRecordCase{"2:.JPG", 0, kBad, 2, "", ""},
                      // Directory paths of up to 31 characters.
                      ToRecordCase{"2:" + k31.substr(1) + "/", 0, S_OK, 2, k31.substr(1) + "/", ""},
                      ToRecordCase{"2:" + k31 + "/", 0, kBad, 2, "", ""},
                      // A path name that fills its field without a terminator.
                      ToRecordCase{"3:" + std::string(70, 'P'), 0, kBad, 3, "", ""}));

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
  const Bytes record = Record(c.drive, c.directory, c.name);
  RecordToHandle(ConstNameRecord(record.data(), kRecordSize), &handle);
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

// The exports, with a camera handle bound to a fake transport that they
// never contact.
using FileHandleExportTest = test::BoundCameraTest;

struct PathCase {
  std::string path;
  const char *parent; // null: none
  std::string shown;
};

class PathTest : public test::BoundCameraTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PathTest, GivesTheParentHandleAndTheDisplayName) {
  const PathCase &c = GetParam();
  FH handle = Handle(c.path);
  FH *parent = &handle;
  ASSERT_EQ(TaveloGetParentHandle(handle_, &handle, &parent), S_OK);
  ASSERT_EQ(parent != nullptr, c.parent != nullptr);
  if (parent != nullptr) {
    EXPECT_STREQ(parent->path, c.parent);
    EXPECT_EQ(parent->kind, 1);
    EXPECT_EQ(TaveloCloseFile(handle_, parent), S_OK);
  }

  // The display name clears the path name's length plus 2 bytes, no more.
  std::array<char, 80> buffer;
  buffer.fill('#');
  ASSERT_EQ(TaveloGetFileDisplayName(handle_, &handle, buffer.data()), S_OK);
  EXPECT_EQ(std::string(buffer.data()), c.shown);
  EXPECT_EQ(buffer[c.path.size() + 1], '\0');
  EXPECT_EQ(buffer[c.path.size() + 2], '#');
  EXPECT_TRUE(Untouched());
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathTest,
    ::testing::Values(PathCase{"2:ALBUM1/IMG0001.JPG", "2:ALBUM1/", "IMG0001.JPG"},
                      PathCase{"2:ALBUM1/", nullptr, "ALBUM1"},
                      PathCase{"2:IMG0001.JPG", nullptr, "IMG0001.JPG"},
                      PathCase{"2:A/B/", "2:A/", "B"}, PathCase{"2:A/B/C/", "2:A/B/", "C"},
                      PathCase{"2:A/B/C/F.TXT", "2:A/B/C/", "F.TXT"},
                      PathCase{"SYSTEM/", nullptr, "SYSTEM"}, PathCase{"NAME", nullptr, "NAME"},
                      PathCase{"", nullptr, ""}));

TEST_F(FileHandleExportTest, EqualityComparesPathNamesOnlyAndWithinTheirFields) {
  FH a = Handle("2:ALBUM1/IMG0001.JPG", 1);
  FH b = Handle("2:ALBUM1/IMG0001.JPG", 2);
  FH c = Handle("2:ALBUM1/IMG0002.JPG", 1);
  FH noDrive = Handle("ALBUM1/IMG0001.JPG", 2);
  FH full1 = Handle(std::string(64, 'F')); // no terminator in the field
  FH full2 = full1;
  EXPECT_EQ(TaveloIsEqualFileHandle(handle_, &a, &b), S_OK);
  EXPECT_EQ(TaveloIsEqualFileHandle(handle_, &a, &c), CAM_S_COMPLETED);
  EXPECT_EQ(TaveloIsEqualFileHandle(handle_, &b, &noDrive), CAM_S_COMPLETED);
  EXPECT_EQ(TaveloIsEqualFileHandle(handle_, &a, nullptr), CAM_S_COMPLETED);
  EXPECT_EQ(TaveloIsEqualFileHandle(handle_, &full1, &full2), S_OK);
  full2.path[63] = 'G';
  EXPECT_EQ(TaveloIsEqualFileHandle(handle_, &full1, &full2), CAM_S_COMPLETED);
  EXPECT_TRUE(Untouched());
}

TEST_F(FileHandleExportTest, RefuseBadArgumentsBeforeTouchingTheOutput) {
  FH file = Handle("2:ALBUM1/IMG0001.JPG");
  FH *parent = &file;
  EXPECT_EQ(TaveloGetParentHandle(nullptr, &file, &parent), kBad);
  EXPECT_EQ(TaveloGetParentHandle(handle_, nullptr, &parent), kBad);
  EXPECT_EQ(parent, &file);
  EXPECT_EQ(TaveloGetParentHandle(handle_, &file, nullptr), kBad);
  FH badName = Handle("2:ALBUM1/TOOLONGNAME.JPG");
  EXPECT_EQ(TaveloGetParentHandle(handle_, &badName, &parent), kBad);
  EXPECT_EQ(parent, nullptr);

  char buffer[4] = "##";
  EXPECT_EQ(TaveloGetFileDisplayName(nullptr, &file, buffer), kBad);
  EXPECT_EQ(TaveloGetFileDisplayName(handle_, nullptr, buffer), kBad);
  EXPECT_EQ(TaveloGetFileDisplayName(handle_, &file, nullptr), kBad);
  EXPECT_STREQ(buffer, "##");

  // Without a camera that resolves nothing is released (a stack handle
  // would fault).
  EXPECT_EQ(TaveloCloseFile(nullptr, &file), S_OK);
  EXPECT_EQ(TaveloCloseFile(handle_, nullptr), S_OK);
  EXPECT_TRUE(Untouched());
}

} // namespace
} // namespace tavelo::files
