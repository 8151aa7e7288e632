// File tags and the file type query on the wire.
#include "answer_builders.h"
#include "bound_camera.h"
#include "files/file_type.h"
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

constexpr std::uint32_t kImcn = test::Tag("imcn");
constexpr std::uint32_t kFlty = test::Tag("flty");
constexpr std::uint32_t kTag = test::Tag("ownr");

FH Handle(const char *path) {
  FH handle{};
  handle.kind = 1;
  std::strncpy(handle.path, path, sizeof handle.path - 1);
  return handle;
}

// The 52-byte file name record of drive 2, directory DCIM/, file `name`.
std::vector<std::uint8_t> NameRecord(const std::string &name) {
  std::vector<std::uint8_t> record = Be32(2);
  Append(record, Field("DCIM/", 32));
  Append(record, Field(name, 16));
  return record;
}

class TagsTest : public test::BoundCameraTest {
protected:
  FH file_ = Handle("2:DCIM/IMG0001.JPG");
};

TEST_F(TagsTest, GetTagNamesTheFileAndTheTag) {
  camera_.Queue(test::OneItem(wire::kGetFileTag, kTag, 8, Field("Ada", 32)));
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(TaveloGetFileTag(handle_, &file_, kTag, &value), S_OK);
  ASSERT_EQ(value.vt, VT_BSTR);
  EXPECT_EQ(std::u16string(value.bstrVal), u"Ada");
  VariantClear(&value);

  auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), 1u);
  std::vector<std::uint8_t> expected(wire::kHeaderSize);
  Append(expected, NameRecord("IMG0001.JPG"));
  Append(expected, Be32(kTag));
  wire::BuildHeader(expected, wire::kGetFileTag);
  EXPECT_EQ(sent[0].request, expected) << "68 bytes, length field 64";
  EXPECT_EQ(sent[0].lengthHint, 0u);
}

TEST_F(TagsTest, GetTagUsesTheValueTable) {
  camera_.Queue(test::OneItem(wire::kGetFileTag, kTag, 4, Be32(9)));
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(TaveloGetFileTag(handle_, &file_, kTag, &value), S_OK);
  EXPECT_EQ(value.vt, VT_BOOL);
  EXPECT_EQ(value.boolVal, -1);
  camera_.Queue(test::OneItem(wire::kGetFileTag, kTag, 1, Be32(640)));
  ASSERT_EQ(TaveloGetFileTag(handle_, &file_, kTag, &value), S_OK);
  EXPECT_EQ(value.vt, VT_UI4);
  EXPECT_EQ(value.ulVal, 640u);
}

// Arguments refused before any contact. Null pointers and bad tags leave
// the variant as it was; a handle that names no file is found after the
// variant has been cleared.
struct RefusedGet {
  const char *name;
  const char *path; // null: no handle
  std::uint32_t tag;
  bool cleared;
};

class RefusedGetTest : public TagsTest, public ::testing::WithParamInterface<RefusedGet> {};

TEST_P(RefusedGetTest, RefusedWithoutContactAndVariantUntouched) {
  const RefusedGet &c = GetParam();
  FH file = c.path ? Handle(c.path) : FH{};
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_I4;
  value.lVal = 77;
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
                      RefusedGet{"NameNotShort", "2:DCIM/IMAGE00001.JPG", kTag, true},
                      RefusedGet{"PathTooLong", "2:ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456/A.JPG", kTag,
                                 true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(TagsTest, GetTagRefusesAnUnresolvedHandleOrUnwritableVariant) {
  VARIANT value;
  VariantInit(&value);
  EXPECT_EQ(TaveloGetFileTag(nullptr, &file_, kTag, &value), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetFileTag(handle_, &file_, kTag, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetFileTag(nullptr, &file_, kTag, value), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
}

TEST_F(TagsTest, FailedGetLeavesTheVariantEmpty) {
  camera_.Queue(test::Status(wire::kGetFileTag, 8));
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(u"old");
  EXPECT_EQ(TaveloGetFileTag(handle_, &file_, kTag, &value), CAM_E_DATA_NOT_FOUND);
  EXPECT_EQ(value.vt, VT_EMPTY);
}

// The answer is bounded at 56 bytes: a component with the bounded exchange
// is told so and fails a larger packet; one without writes into the
// exchange buffer, and only 56 bytes are read.
TEST_F(TagsTest, BoundedExchangeGetsTheAnswerCapacity) {
  camera_.OfferBoundedExchange(true);
  camera_.Queue(test::OneItem(wire::kGetFileTag, kTag, 2, Be32(5)));
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(TaveloGetFileTag(handle_, &file_, kTag, &value), S_OK);
  EXPECT_EQ(value.lVal, 5);
  EXPECT_EQ(camera_.Exchanges().back().capacity, 56u);

  std::vector<std::uint8_t> tooLong = Be32(1);
  Append(tooLong, test::Item(kTag, 2, Be32(6)));
  Append(tooLong, std::vector<std::uint8_t>(200, 0xCC));
  camera_.Queue(test::Ok(wire::kGetFileTag, tooLong));
  EXPECT_EQ(TaveloGetFileTag(handle_, &file_, kTag, &value), test::FakeCamera::kReplyTooLarge);
  EXPECT_EQ(Session().IsConnected(), CAM_S_COMPLETED);
}

TEST_F(TagsTest, PlainExchangeWithALongAnswerReadsOnlyTheValueItem) {
  std::vector<std::uint8_t> tooLong = Be32(1);
  Append(tooLong, test::Item(kTag, 8, std::vector<std::uint8_t>(32, 'z')));
  Append(tooLong, std::vector<std::uint8_t>(1000, 'y'));
  camera_.Queue(test::Ok(wire::kGetFileTag, tooLong));
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(TaveloGetFileTag(handle_, &file_, kTag, &value), S_OK);
  ASSERT_EQ(value.vt, VT_BSTR);
  EXPECT_EQ(std::u16string(value.bstrVal), std::u16string(31, u'z'));
  VariantClear(&value);
}

struct SetCase {
  const char *name;
  const char16_t *text; // null: the number -2
  std::vector<std::uint8_t> field;
};

VARIANT Number(LONG n) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = n;
  return v;
}

VARIANT Text(const char16_t *text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text);
  return v;
}

class SetTagTest : public TagsTest, public ::testing::WithParamInterface<SetCase> {};

TEST_P(SetTagTest, SendsTheValueFieldAfterTheTag) {
  const SetCase &c = GetParam();
  VARIANT value = c.text ? Text(c.text) : Number(-2);
  ASSERT_EQ(TaveloSetFileTag(handle_, &file_, kTag, value), S_OK);
  VariantClear(&value);
  auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), 1u);
  std::vector<std::uint8_t> expected(wire::kHeaderSize);
  Append(expected, NameRecord("IMG0001.JPG"));
  Append(expected, Be32(kTag));
  Append(expected, c.field);
  wire::BuildHeader(expected, wire::kSetFileTag);
  EXPECT_EQ(sent[0].request, expected) << "72 bytes for a number, 100 for text";
  EXPECT_EQ(sent[0].lengthHint, 12u);
}

INSTANTIATE_TEST_SUITE_P(Table, SetTagTest,
                         ::testing::Values(SetCase{"Number", nullptr, Be32(0xFFFFFFFE)},
                                           SetCase{"Text", u"Ada", Field("Ada", 32)}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(TagsTest, SetTagRefusesBadArgumentsWithoutContact) {
  VARIANT number = Number(1);
  VARIANT longText = Text(std::u16string(32, u'x').c_str());
  VARIANT real;
  VariantInit(&real);
  real.vt = VT_R8;
  FH directory = Handle("2:DCIM/");
  EXPECT_EQ(TaveloSetFileTag(handle_, nullptr, kTag, number), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetFileTag(handle_, &file_, 0, number), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetFileTag(handle_, &directory, kTag, number), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetFileTag(handle_, &file_, kTag, longText), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetFileTag(handle_, &file_, kTag, real), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
  VariantClear(&longText);
}

TEST_F(TagsTest, SetTagMapsTheStatusWordAndFreesTheGate) {
  camera_.Queue(test::Status(wire::kSetFileTag, 7));
  EXPECT_EQ(TaveloSetFileTag(handle_, &file_, kTag, Number(1)), CAM_E_FILE_NOT_FOUND);
  EXPECT_EQ(TaveloSetFileTag(handle_, &file_, kTag, Number(1)), S_OK);
  EXPECT_EQ(Session().BusyCount(), 0);
}

// ---- the file type query ----------------------------------------------

// How the camera answers one tag read: a number, or a refusal.
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

class FileTypeTest : public TagsTest, public ::testing::WithParamInterface<TypeCase> {};

Reply Answer(std::uint32_t tag, const TagAnswer &answer) {
  if (!answer.number) {
    return test::Status(wire::kGetFileTag, 8);
  }
  if (answer.type == 8) {
    return test::OneItem(wire::kGetFileTag, tag, 8, Be32(*answer.number)); // text in reading order
  }
  return test::OneItem(wire::kGetFileTag, tag, answer.type, Be32(*answer.number));
}

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
                      TypeCase{"ImcnZero", {0}, {}, "2:DCIM/A.JPG", 0, 1},
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
  EXPECT_TRUE(Untouched());
}

TEST_F(TagsTest, FileTypeAfterTransportFailuresStillSucceeds) {
  camera_.Queue(Reply{E_FAIL, {}});
  camera_.Queue(Reply{E_FAIL, {}});
  FH file = Handle("2:DCIM/IMG0001.TIF");
  ULONG type = 0;
  ASSERT_EQ(TaveloGetFileType(handle_, &file, &type), S_OK);
  EXPECT_EQ(type, 4u);
}

TEST_F(TagsTest, FileTypeChecksItsPointers) {
  ULONG type = 5;
  EXPECT_EQ(TaveloGetFileType(handle_, &file_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetFileType(nullptr, &file_, &type), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(type, 0u) << "zeroed before the handle is resolved";
  EXPECT_EQ(TaveloGetFileType(handle_, nullptr, &type), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
}

} // namespace
} // namespace tavelo
