// File tags and the file type query on the wire.
#include "answer_builders.h"
#include "bound_camera.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tavelo::test {
namespace {

constexpr std::uint32_t kImcn = Tag("imcn");
constexpr std::uint32_t kFlty = Tag("flty");
constexpr std::uint32_t kTag = Tag("ownr");
constexpr const char *kFile = "2:DCIM/IMG0001.JPG";

// Get and set tag for kFile: its file name record, the tag, the value field.
Bytes TagRequest(std::uint16_t command, const Bytes &field = {}) {
  return Request(command,
                 {Be32(2), Field("DCIM/", 32), Field("IMG0001.JPG", 16), Be32(kTag), field});
}

class Tags : public BoundCameraTest {
protected:
  FH file_ = Handle(kFile);
};

TEST_F(Tags, GetAndSetTagNameTheFileAndTheTag) {
  camera_.Queue(OneItem(wire::kGetFileTag, kTag, 8, Field("Ada", 32)));
  Variant value, number(VT_I4, -2), longText(VT_BSTR, 0, std::u16string(32, u'x').c_str());
  ASSERT_EQ(TaveloGetFileTag(handle_, &file_, kTag, &value), S_OK);
  EXPECT_EQ(Show(value), "BSTR Ada");
  ASSERT_EQ(TaveloSetFileTag(handle_, &file_, kTag, value), S_OK);
  ASSERT_EQ(TaveloSetFileTag(handle_, &file_, kTag, number), S_OK);
  EXPECT_EQ(Sent(), (Requests{{TagRequest(wire::kGetFileTag), 0},                       // 68 bytes
                              {TagRequest(wire::kSetFileTag, Field("Ada", 32)), 12},    // 100 bytes
                              {TagRequest(wire::kSetFileTag, Be32(0xFFFFFFFE)), 12}})); // 72 bytes

  camera_.Queue(Status(wire::kGetFileTag, 8));
  EXPECT_EQ(TaveloGetFileTag(handle_, &file_, kTag, &value), CAM_E_DATA_NOT_FOUND);
  EXPECT_EQ(value.vt, VT_EMPTY) << "a failed read leaves the variant empty";

  // Values go through the parameters' value field, and its refusals too.
  EXPECT_EQ(TaveloSetFileTag(handle_, &file_, kTag, longText), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(camera_.Exchanges().size(), 4u);
}

// Refused before any contact, by get tag and, where `set`, by set tag too.
// Get tag leaves the variant as it was for a null handle and a bad tag; a
// handle that names no file is found after the variant was cleared.
struct Refusal {
  const char *name;
  const char *path; // null: no handle
  std::uint32_t tag;
  bool cleared;
  bool set = true;
};

using Refused = CameraTable<Refusal>;

TEST_P(Refused, GetAndSetTagWithoutContact) {
  const Refusal &c = GetParam();
  FH file = Handle(c.path != nullptr ? c.path : "");
  FH *handle = c.path != nullptr ? &file : nullptr;
  Variant value(VT_I4);
  EXPECT_EQ(TaveloGetFileTag(handle_, handle, c.tag, &value), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(value.vt, c.cleared ? VT_EMPTY : VT_I4);
  value.vt = VT_I4;
  if (c.set) {
    EXPECT_EQ(TaveloSetFileTag(handle_, handle, c.tag, value), CAM_E_BAD_PARAMETER);
  }
  EXPECT_TRUE(Untouched());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Refused,
    ::testing::Values(Refusal{"NoHandle", nullptr, kTag, false},
                      Refusal{"TagZero", kFile, 0, false},
                      Refusal{"WholeAnswerTag", kFile, 0xFFFFFFFF, false, false},
                      Refusal{"Directory", "2:DCIM/", kTag, true},
                      Refusal{"NameNotShort", "2:DCIM/IMAGE00001.JPG", kTag, true}),
    kCaseName);

// The answer is bounded at 56 bytes: a component with the bounded exchange
// is told so and fails a larger packet; without it the packet lands in the
// exchange buffer and only the value item is read.
TEST_F(Tags, TheAnswerIsBoundedAtFiftySixBytes) {
  const Bytes tooLong = Join({Be32(1), Item(kTag, 8, Bytes(32, 'z')), Bytes(1000, 'y')});
  camera_.Queue(Ok(wire::kGetFileTag, tooLong));
  Variant value;
  ASSERT_EQ(TaveloGetFileTag(handle_, &file_, kTag, &value), S_OK);
  EXPECT_EQ(Show(value), "BSTR " + std::string(31, 'z'));

  camera_.SetBounded(true);
  Session().DropConnection(); // the next instance offers it
  camera_.Queue(Ok(wire::kGetFileTag, tooLong));
  EXPECT_EQ(TaveloGetFileTag(handle_, &file_, kTag, &value),
            HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(camera_.Exchanges().back().capacity, 56u);
  EXPECT_EQ(Session().IsConnected(), CAM_S_COMPLETED);
}

// the file type query

Reply Imcn(std::uint32_t number, std::uint32_t type = 1) {
  return OneItem(wire::kGetFileTag, kImcn, type, Be32(number));
}
const Reply kRefused = Status(wire::kGetFileTag, 8);

struct TypeCase {
  const char *name;
  Reply imcn;
  Reply flty;
  const char *path;
  ULONG type;
};

using FileType = CameraTable<TypeCase>;

TEST_P(FileType, ImcnThenFltyThenTheExtension) {
  const TypeCase &c = GetParam();
  camera_.Queue(c.imcn);
  camera_.Queue(c.flty);
  const FH file = Handle(c.path);
  ULONG type = 99;
  ASSERT_EQ(TaveloGetFileType(handle_, &file, &type), S_OK);
  EXPECT_EQ(type, c.type);
  std::vector<std::uint32_t> asked;
  for (const auto &exchange : camera_.Exchanges()) {
    asked.push_back(Be32At(exchange.request, 64));
  }
  const bool imcnRefused = c.imcn.packet == kRefused.packet;
  EXPECT_EQ(asked, (imcnRefused ? std::vector{kImcn, kFlty} : std::vector{kImcn}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileType,
    ::testing::Values(TypeCase{"ImcnSmallNumber", Imcn(3), kRefused, "2:DCIM/A.TXT", 3},
                      TypeCase{"ImcnSeven", Imcn(7), kRefused, "2:DCIM/A.JPG", 7},
                      TypeCase{"ImcnEight", Imcn(8), kRefused, "2:DCIM/A.JPG", 7},
                      TypeCase{"ImcnExif", Imcn(Tag("EXIF")), kRefused, "2:DCIM/A.JPG", 2},
                      TypeCase{"ImcnJpeg", Imcn(Tag("JPEG")), kRefused, "2:DCIM/A.JPG", 2},
                      TypeCase{"ImcnFpx", Imcn(Tag("FPX ")), kRefused, "2:DCIM/A.JPG", 3},
                      TypeCase{"ImcnTiff", Imcn(Tag("TIFF")), kRefused, "2:DCIM/A.JPG", 4},
                      TypeCase{"ImcnTiffAsText", Imcn(Tag("TIFF"), 8), kRefused, "2:DCIM/A.JPG", 4},
                      TypeCase{"ImcnUnknownCode", Imcn(Tag("GIF8")), kRefused, "2:DCIM/A.JPG", 7},
                      TypeCase{"FltyAnyNumber", kRefused,
                               OneItem(wire::kGetFileTag, kFlty, 1, Be32(1234)), kFile, 1234},
                      TypeCase{"NameJpg", kRefused, kRefused, kFile, 1},
                      TypeCase{"NameLowerCase", kRefused, kRefused, "2:DCIM/img0001.jpg", 1},
                      TypeCase{"NameExf", kRefused, kRefused, "2:DCIM/A.EXF", 2},
                      TypeCase{"NameFpx", kRefused, kRefused, "2:DCIM/A.FPX", 3},
                      TypeCase{"NameTif", kRefused, kRefused, "2:DCIM/A.TIF", 4},
                      TypeCase{"NameCsm", kRefused, kRefused, "2:A.CSM", 5},
                      TypeCase{"NameCam", kRefused, kRefused, "2:DCIM/A.CAM", 6},
                      TypeCase{"NameOther", kRefused, kRefused, "2:DCIM/A.TXT", 7}),
    kCaseName);

TEST_F(Tags, FileTypeOfADirectoryComesFromItsNameWithoutContact) {
  // Tag reads refuse directories, so only the name is left.
  const FH directory = Handle("2:JPG/");
  ULONG type = 99;
  ASSERT_EQ(TaveloGetFileType(handle_, &directory, &type), S_OK);
  EXPECT_EQ(type, 7u);
  EXPECT_EQ(TaveloGetFileType(handle_, nullptr, &type), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(type, 0u) << "zeroed after its own check";
  EXPECT_TRUE(Untouched());
}

} // namespace
} // namespace tavelo::test
