// File tags and the file type query on the wire.
#include "answer_builders.h"
#include "bound_camera.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

namespace tavelo {
namespace {

using test::Append;
using test::Be32;
using test::Field;
using test::Reply;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kImcn = test::Tag("imcn");
constexpr std::uint32_t kFlty = test::Tag("flty");
constexpr std::uint32_t kTag = test::Tag("ownr");

FH Handle(const char *path) {
  FH handle{};
  handle.kind = 1;
  std::strncpy(handle.path, path, sizeof handle.path - 1);
  return handle;
}

// Get tag and set tag requests for 2:DCIM/IMG0001.JPG: the file name
// record, the tag and, for set tag, the value field.
Bytes TagRequest(std::uint16_t command, const Bytes &field = {}) {
  Bytes packet(wire::kHeaderSize);
  Append(packet, Be32(2));
  Append(packet, Field("DCIM/", 32));
  Append(packet, Field("IMG0001.JPG", 16));
  Append(packet, Be32(kTag));
  Append(packet, field);
  wire::BuildHeader(packet, command);
  return packet;
}

class TagsTest : public test::BoundCameraTest {
protected:
  FH file_ = Handle("2:DCIM/IMG0001.JPG");
};

TEST_F(TagsTest, GetTagNamesTheFileAndTheTagAndConvertsTheValue) {
  camera_.Queue(test::OneItem(wire::kGetFileTag, kTag, 8, Field("Ada", 32)));
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(TaveloGetFileTag(handle_, &file_, kTag, &value), S_OK);
  ASSERT_EQ(value.vt, VT_BSTR);
  EXPECT_EQ(std::u16string(value.bstrVal), u"Ada");
  VariantClear(&value);
  auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].request, TagRequest(wire::kGetFileTag)) << "68 bytes";
  EXPECT_EQ(sent[0].lengthHint, 0u);

  camera_.Queue(test::Status(wire::kGetFileTag, 8));
  value.vt = VT_I4;
  EXPECT_EQ(TaveloGetFileTag(handle_, &file_, kTag, &value), CAM_E_DATA_NOT_FOUND);
  EXPECT_EQ(value.vt, VT_EMPTY) << "a failed read leaves the variant empty";
}

// Refused before any contact. Null pointers and bad tags leave the variant
// as it was; a handle that names no file is found after it was cleared.
struct RefusedGet {
  const char *name;
  const char *path; // null: no handle
  std::uint32_t tag;
  bool cleared;
};

class RefusedGetTest : public TagsTest, public ::testing::WithParamInterface<RefusedGet> {};

TEST_P(RefusedGetTest, RefusedWithoutContact) {
  const RefusedGet &c = GetParam();
  FH file = c.path ? Handle(c.path) : FH{};
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_I4;
  EXPECT_EQ(TaveloGetFileTag(handle_, c.path ? &file : nullptr, c.tag, &value),
            CAM_E_BAD_PARAMETER);
  EXPECT_EQ(value.vt, c.cleared ? VT_EMPTY : VT_I4);
  EXPECT_TRUE(Untouched());
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedGetTest,
    ::testing::Values(RefusedGet{"NoHandle", nullptr, kTag, false},
                      RefusedGet{"TagZero", "2:DCIM/IMG0001.JPG", 0, false},
                      RefusedGet{"WholeAnswerTag", "2:DCIM/IMG0001.JPG", 0xFFFFFFFF, false},
                      RefusedGet{"Directory", "2:DCIM/", kTag, true},
                      RefusedGet{"NameNotShort", "2:DCIM/IMAGE00001.JPG", kTag, true}),
    [](const auto &info) { return std::string(info.param.name); });

// The answer is bounded at 56 bytes: a component with the bounded exchange
// is told so and fails a larger packet; without it the packet lands in the
// exchange buffer and only the value item is read.
TEST_F(TagsTest, TheAnswerIsBoundedAtFiftySixBytes) {
  Bytes tooLong = Be32(1);
  Append(tooLong, test::Item(kTag, 8, Bytes(32, 'z')));
  Append(tooLong, Bytes(1000, 'y'));
  camera_.Queue(test::Ok(wire::kGetFileTag, tooLong));
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(TaveloGetFileTag(handle_, &file_, kTag, &value), S_OK);
  EXPECT_EQ(std::u16string(value.bstrVal), std::u16string(31, u'z'));
  VariantClear(&value);

  camera_.SetBounded(true);
  Session().DropConnection(); // the next instance offers it
  camera_.Queue(test::Ok(wire::kGetFileTag, tooLong));
  EXPECT_EQ(TaveloGetFileTag(handle_, &file_, kTag, &value),
            HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(camera_.Exchanges().back().capacity, 56u);
  EXPECT_EQ(Session().IsConnected(), CAM_S_COMPLETED);
}

TEST_F(TagsTest, SetTagSendsANumberOrText) {
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_I4;
  value.lVal = -2;
  ASSERT_EQ(TaveloSetFileTag(handle_, &file_, kTag, value), S_OK);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(u"Ada");
  ASSERT_EQ(TaveloSetFileTag(handle_, &file_, kTag, value), S_OK);
  auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].request, TagRequest(wire::kSetFileTag, Be32(0xFFFFFFFE))) << "72 bytes";
  EXPECT_EQ(sent[1].request, TagRequest(wire::kSetFileTag, Field("Ada", 32))) << "100 bytes";
  EXPECT_EQ(sent[1].lengthHint, 12u);

  // Text past 31 characters, a type without a value field and a directory
  // are refused without contact.
  SysFreeString(value.bstrVal);
  value.bstrVal = SysAllocString(std::u16string(32, u'x').c_str());
  EXPECT_EQ(TaveloSetFileTag(handle_, &file_, kTag, value), CAM_E_BAD_PARAMETER);
  VariantClear(&value);
  value.vt = VT_R8;
  EXPECT_EQ(TaveloSetFileTag(handle_, &file_, kTag, value), CAM_E_BAD_PARAMETER);
  FH directory = Handle("2:DCIM/");
  value.vt = VT_UI4;
  EXPECT_EQ(TaveloSetFileTag(handle_, &directory, kTag, value), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(camera_.Exchanges().size(), 2u);
}

// ---- the file type query ----------------------------------------------

// How the camera answers one tag read: a number of the given value type, or
// a refusal.
struct TagAnswer {
  std::optional<std::uint32_t> number;
  std::uint32_t type = 1;
};
const TagAnswer kRefused{};

struct TypeCase {
  const char *name;
  TagAnswer imcn;
  TagAnswer flty;
  const char *path;
  ULONG type;
  std::size_t exchanges;
};

Reply Answer(std::uint32_t tag, const TagAnswer &answer) {
  if (!answer.number) {
    return test::Status(wire::kGetFileTag, 8);
  }
  return test::OneItem(wire::kGetFileTag, tag, answer.type, Be32(*answer.number));
}

class FileTypeTest : public TagsTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(FileTypeTest, ImcnThenFltyThenTheExtension) {
  const TypeCase &c = GetParam();
  camera_.Queue(Answer(kImcn, c.imcn));
  camera_.Queue(Answer(kFlty, c.flty));
  FH file = Handle(c.path);
  ULONG type = 99;
  ASSERT_EQ(TaveloGetFileType(handle_, &file, &type), S_OK);
  EXPECT_EQ(type, c.type);
  auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), c.exchanges);
  EXPECT_EQ(test::Be32At(sent[0].request, 64), kImcn);
  if (c.exchanges > 1) {
    EXPECT_EQ(test::Be32At(sent[1].request, 64), kFlty);
  }
}

constexpr std::uint32_t Code(const char (&text)[5]) {
  return test::Tag(text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileTypeTest,
    ::testing::Values(TypeCase{"ImcnSmallNumber", {3}, {}, "2:DCIM/A.TXT", 3, 1},
                      TypeCase{"ImcnSeven", {7}, {}, "2:DCIM/A.JPG", 7, 1},
                      TypeCase{"ImcnEight", {8}, {}, "2:DCIM/A.JPG", 7, 1},
                      TypeCase{"ImcnExif", {Code("EXIF")}, {}, "2:DCIM/A.JPG", 2, 1},
                      TypeCase{"ImcnJpeg", {Code("JPEG")}, {}, "2:DCIM/A.JPG", 2, 1},
                      TypeCase{"ImcnFpx", {Code("FPX ")}, {}, "2:DCIM/A.JPG", 3, 1},
                      TypeCase{"ImcnTiff", {Code("TIFF")}, {}, "2:DCIM/A.JPG", 4, 1},
                      TypeCase{"ImcnTiffAsText", {Code("TIFF"), 8}, {}, "2:DCIM/A.JPG", 4, 1},
                      TypeCase{"ImcnUnknownCode", {Code("GIF8")}, {}, "2:DCIM/A.JPG", 7, 1},
                      TypeCase{"FltyAnyNumber", kRefused, {1234}, "2:DCIM/A.JPG", 1234, 2},
                      TypeCase{"NameJpg", kRefused, kRefused, "2:DCIM/IMG0001.JPG", 1, 2},
                      TypeCase{"NameLowerCase", kRefused, kRefused, "2:DCIM/img0001.jpg", 1, 2},
                      TypeCase{"NameExf", kRefused, kRefused, "2:DCIM/A.EXF", 2, 2},
                      TypeCase{"NameFpx", kRefused, kRefused, "2:DCIM/A.FPX", 3, 2},
                      TypeCase{"NameTif", kRefused, kRefused, "2:DCIM/A.TIF", 4, 2},
                      TypeCase{"NameCsm", kRefused, kRefused, "2:A.CSM", 5, 2},
                      TypeCase{"NameCam", kRefused, kRefused, "2:DCIM/A.CAM", 6, 2},
                      TypeCase{"NameOther", kRefused, kRefused, "2:DCIM/A.TXT", 7, 2}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(TagsTest, FileTypeOfADirectoryComesFromItsNameWithoutContact) {
  // Tag reads refuse directories, so only the name is left.
  FH directory = Handle("2:JPG/");
  ULONG type = 99;
  ASSERT_EQ(TaveloGetFileType(handle_, &directory, &type), S_OK);
  EXPECT_EQ(type, 7u);
  EXPECT_EQ(TaveloGetFileType(handle_, nullptr, &type), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(type, 0u) << "zeroed after its own check";
  EXPECT_TRUE(Untouched());
}

} // namespace
} // namespace tavelo
