// Parameter commands on the wire: every value type both ways, the requests,
// result handling, the list of all parameters and the capability answers.
#include "answer_builders.h"
#include "bound_camera.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

namespace tavelo::test {
namespace {

constexpr std::uint32_t kTag = Tag("expo");

struct ReadCase {
  const char *name;
  std::uint32_t type;
  Bytes value;
  std::string variant; // as Show writes it
};

using ReadValue = CameraTable<ReadCase>;

TEST_P(ReadValue, GetParameterAndGetDefaultGiveTheTableVariant) {
  const ReadCase &c = GetParam();
  camera_.Queue(OneItem(wire::kGetParameter, kTag, c.type, c.value));
  camera_.Queue(OneItem(wire::kGetParameterDefault, kTag, c.type, c.value));
  Variant value, byDefault;
  ASSERT_EQ(TaveloGetParameter(handle_, kTag, &value), S_OK);
  ASSERT_EQ(TaveloGetParameterDefault(handle_, kTag, 2, &byDefault), S_OK);
  EXPECT_EQ(Show(value), c.variant);
  EXPECT_EQ(Show(byDefault), c.variant);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadValue,
    ::testing::Values(ReadCase{"Unsigned", 1, Be32(0xFFFFFFFF), "UI4 4294967295"},
                      ReadCase{"Signed", 2, Be32(0xFFFFFFFE), "I4 -2"},

                      ReadCase{"RealIsUnsigned", 3, Be32(0xFFFFFFFF), "R4 4.2949673e+09"},
                      ReadCase{"BooleanTwo", 4, Be32(2), "BOOL -1"},
                      ReadCase{"BooleanZero", 4, Be32(0), "BOOL 0"},
                      ReadCase{"Type5", 5, Be32(0x80000000), "I4 -2147483648"},
                      ReadCase{"Type6", 6, Be32(7), "I4 7"},
                      ReadCase{"ShortTextEndsAt15", 7, Field(std::string(32, 'A'), 32),
                               "BSTR " + std::string(15, 'A')},
                      ReadCase{"LongTextEndsAt31", 8, Field(std::string(32, 'B'), 32),
                               "BSTR " + std::string(31, 'B')},
                      ReadCase{"LongTextIsConverted", 8, Field("Gr\xC3\xBCn", 32),
                               "BSTR Gr\\u00FCn"},
                      ReadCase{"EmptyText", 8, Field("", 32), "BSTR "},
                      ReadCase{"UnknownType", 9, Be32(1), "EMPTY"}),
    kCaseName);

// `field` is the value field sent, 4 or 32 bytes; none when the variant is
// refused before any contact.
struct SendCase {
  const char *name;
  VARTYPE vt;
  double number;
  Bytes field;
  const char16_t *text = nullptr;
};

using SendValue = CameraTable<SendCase>;

TEST_P(SendValue, SetParameterAndSetUserDefaultSendTheFieldOrRefuse) {
  const SendCase &c = GetParam();
  Variant value(c.vt, c.number, c.text);
  const HRESULT expected = c.field.empty() ? CAM_E_BAD_PARAMETER : S_OK;
  EXPECT_EQ(TaveloSetParameter(handle_, kTag, value), expected);
  EXPECT_EQ(TaveloSetParameterUserDefault(handle_, kTag, 0x01020304, value), expected);
  EXPECT_EQ(Untouched(), c.field.empty());
  // 20 and 24 bytes for a number, 48 and 52 for text.
  const Requests requests = {
      {Request(wire::kSetParameter, {Be32(kTag), c.field}), 12},
      {Request(wire::kSetParameterUserDefault, {Be32(0x01020304), Be32(kTag), c.field}), 12}};
  EXPECT_EQ(Sent(), c.field.empty() ? Requests{} : requests);
}

const std::u16string k31(31, u'x');
const std::u16string k32(32, u'x');
const std::u16string k16Umlauts(16, u'\u00FC'); // 16 characters, 32 bytes of 8-bit text

INSTANTIATE_TEST_SUITE_P(
    Table, SendValue,
    ::testing::Values(
        SendCase{"I4", VT_I4, -5, Be32(0xFFFFFFFB)},
        SendCase{"UI4", VT_UI4, 0xDEADBEEF, Be32(0xDEADBEEF)},
        SendCase{"R4Positive", VT_R4, 2.9, Be32(2)},
        SendCase{"R4Negative", VT_R4, -2.9, Be32(0xFFFFFFFE)},
        SendCase{"R4KeepsLow32Bits", VT_R4, 5e9, Be32(static_cast<std::uint32_t>(5000000000ull))},
        SendCase{"R4Huge", VT_R4, 1e30, Be32(0)},
        SendCase{"BoolTrue", VT_BOOL, -1, Be32(0xFFFFFFFF)},
        SendCase{"BoolFalse", VT_BOOL, 0, Be32(0)},
        SendCase{"Text", VT_BSTR, 0, Field("Gr\xC3\xBCn", 32), u"Gr\u00FCn"},
        SendCase{"Text31", VT_BSTR, 0, Field(std::string(31, 'x'), 32), k31.c_str()},
        SendCase{"NullText", VT_BSTR, 0, Field("", 32)}, SendCase{"RefusesEmpty", VT_EMPTY, 0, {}},
        SendCase{"RefusesR8", VT_R8, 1, {}}, SendCase{"RefusesI2", VT_I2, 1, {}},
        SendCase{"RefusesByRefI4", VT_I4 | VT_BYREF, 0, {}},
        SendCase{"RefusesR4NaN", VT_R4, std::numeric_limits<double>::quiet_NaN(), {}},
        SendCase{"RefusesR4Infinite", VT_R4, -std::numeric_limits<double>::infinity(), {}},
        SendCase{"RefusesText32", VT_BSTR, 0, {}, k32.c_str()},
        SendCase{"RefusesText32Bytes", VT_BSTR, 0, {}, k16Umlauts.c_str()}),
    kCaseName);

using Parameters = BoundCameraTest;

TEST_F(Parameters, TheOtherCommandsSendTheirRequestAndLengthHint) {
  Variant value;
  ULONG count = 0, *tags = nullptr;
  char text[32];
  ASSERT_GE(TaveloGetParameter(handle_, kTag, &value), 0);
  ASSERT_GE(TaveloGetParameterDefault(handle_, kTag, 9, &value), 0);
  ASSERT_GE(TaveloRestoreParameterDefault(handle_, kTag, 9), 0);
  ASSERT_GE(TaveloRestoreParameterDefault(handle_, 0, 9), 0); // by selector alone
  ASSERT_GE(TaveloListAllParameters(handle_, &count, &tags), 0);
  ASSERT_GE(TaveloGetParameterDesc(handle_, kTag, text), 0);
  CoTaskMemFree(tags);
  EXPECT_EQ(Sent(), (Requests{{Request(0x11, {Be32(kTag)}), 0},
                              {Request(0x13, {Be32(9), Be32(kTag)}), 0},
                              {Request(0x15, {Be32(9), Be32(kTag)}), 12},
                              {Request(0x15, {Be32(9)}), 12},
                              {Request(0x11, {}), 0},
                              {Request(0x10, {Be32(kTag)}), 0}}));
}

TEST_F(Parameters, TagZeroIsRefusedWithoutContact) {
  Variant value(VT_BSTR, 0, u"old");
  EXPECT_EQ(TaveloGetParameter(handle_, 0, &value), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(value.vt, VT_EMPTY) << "cleared first";
  EXPECT_EQ(TaveloSetParameter(handle_, 0, Variant(VT_I4, 7)), CAM_E_BAD_PARAMETER);
  // The list value is written last, so it must be writable, not only non-null.
  static const ULONG kReadOnly = 0;
  ULONG count = 0;
  CAP_ITEM *items = nullptr;
  EXPECT_EQ(TaveloGetParamCapList(handle_, kTag, const_cast<ULONG *>(&kReadOnly), &count, &items),
            CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
}

TEST_F(Parameters, ShortAnswerReadsNoStaleBytes) {
  // The first answer fills the exchange buffer; the second ends after the
  // value type, so its value must read 0, not 99.
  camera_.Queue(OneItem(wire::kGetParameterDefault, kTag, 1, Be32(99)));
  camera_.Queue(Ok(wire::kGetParameterDefault, Join({Be32(1), Be32(kTag), Be32(1)})));
  Variant value;
  ASSERT_EQ(TaveloGetParameterDefault(handle_, kTag, 0, &value), S_OK);
  ASSERT_EQ(TaveloGetParameterDefault(handle_, kTag, 0, &value), S_OK);
  EXPECT_EQ(Show(value), "UI4 0");
}

// Set user default and restore default take any exchange result other than
// 0 and CAM_S_COMPLETED as a failed link; set parameter keeps the link.
using StrictResult = CameraTable<std::pair<HRESULT, bool>>;

TEST_P(StrictResult, OnlyZeroAndCompletedKeepTheLink) {
  const auto [exchange, drops] = GetParam();
  const HRESULT linkAfterStrict = drops ? CAM_S_COMPLETED : S_OK;
  Variant value(VT_I4, 7);
  camera_.Queue({exchange, Packet(wire::kSetParameterUserDefault, 0)});
  EXPECT_EQ(TaveloSetParameterUserDefault(handle_, kTag, 1, value), exchange);
  EXPECT_EQ(Session().IsConnected(), linkAfterStrict);
  camera_.Queue({exchange, Packet(wire::kRestoreParameterDefault, 0)});
  EXPECT_EQ(TaveloRestoreParameterDefault(handle_, kTag, 1), exchange);
  EXPECT_EQ(Session().IsConnected(), linkAfterStrict);
  camera_.Queue({exchange, Packet(wire::kSetParameter, 0)});
  EXPECT_EQ(TaveloSetParameter(handle_, kTag, value), exchange);
  EXPECT_EQ(Session().IsConnected(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Table, StrictResult,
                         ::testing::Values(std::pair{S_OK, false},
                                           std::pair{CAM_S_COMPLETED, false},
                                           std::pair{S_FALSE, true}, std::pair{0x12345, true}));

// A capability answer: 8 unread bytes, the type, the description, then
// `rest` from offset 56. Its length field is 52 + rest.size().
Reply Capability(std::uint32_t type, const std::string &description, const Bytes &rest) {
  return Ok(wire::kParameterCapabilities,
            Join({Bytes(8, 0xEE), Be32(type), Field(description, 32), rest}));
}

// List all and the list form: the count field, but only as many items as the
// packet holds. List-all items are value items; list-form items are a
// 32-byte text and a value, after the list value.
struct ListCase {
  const char *name;
  std::uint32_t claimed;
  std::size_t sent;
  ULONG expected;
};

using ListsItems = CameraTable<ListCase>;

TEST_P(ListsItems, AsFarAsThePacketGoes) {
  const ListCase &c = GetParam();
  Bytes all = Be32(c.claimed);
  Bytes form = Join({Be32(c.claimed), Be32(0x0BADCAFE)});
  for (std::uint32_t i = 0; i < c.sent; ++i) {
    Append(all, Item(0x61616100 + i, 1, Be32(0)));
    Append(form, Join({Field("item" + std::to_string(i), 32), Be32(0x01000000 + i)}));
  }
  camera_.Queue(Ok(wire::kGetParameter, all));
  camera_.Queue(Capability(1, "", form));
  ULONG count = 99, listValue = 0xAAAA, formCount = 99;
  ULONG *tags = nullptr;
  CAP_ITEM *items = nullptr;
  ASSERT_EQ(TaveloListAllParameters(handle_, &count, &tags), S_OK);
  ASSERT_EQ(TaveloGetParamCapList(handle_, kTag, &listValue, &formCount, &items), S_OK);
  ASSERT_EQ(std::pair(count, formCount), std::pair(c.expected, c.expected));
  EXPECT_EQ(std::pair(tags == nullptr, items == nullptr), std::pair(!c.expected, !c.expected));
  EXPECT_EQ(listValue, c.expected == 0 ? 0xAAAAu : 0x0BADCAFEu);
  for (ULONG i = 0; i < count; ++i) {
    EXPECT_EQ(tags[i], 0x61616100u + i);
    EXPECT_STREQ(reinterpret_cast<const char *>(items[i].data),
                 ("item" + std::to_string(i)).c_str());
    EXPECT_EQ(items[i].value, 0x01000000u + i);
  }
  CoTaskMemFree(tags);
  CoTaskMemFree(items);
}

INSTANTIATE_TEST_SUITE_P(Table, ListsItems,
                         ::testing::Values(ListCase{"All", 3, 3, 3}, ListCase{"CountZero", 0, 2, 0},
                                           ListCase{"CountPastThePacket", 5, 2, 2},
                                           ListCase{"CountMaximum", 0xFFFFFFFF, 1, 1}),
                         kCaseName);

TEST_F(Parameters, DescriptionIsCutToThirtyAndZeroFilledOnFailure) {
  camera_.Queue(Capability(9, std::string(40, 'd'), {}));
  camera_.Queue(Status(wire::kParameterCapabilities, 8));
  char buffer[32];
  std::memset(buffer, 'x', sizeof buffer);
  ASSERT_EQ(TaveloGetParameterDesc(handle_, kTag, buffer), S_OK);
  EXPECT_EQ(std::string(buffer, 32), std::string(30, 'd') + std::string(2, '\0'));
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(TaveloGetParameterDesc(handle_, kTag, buffer), CAM_E_DATA_NOT_FOUND);
  EXPECT_EQ(std::string(buffer, 32), std::string(32, '\0'));
}

// Each capability operation against each form and the length-field limits.
// `out` is what the operation reports, as text.
enum class Ask { kType, kValue, kRange, kList };

struct FormCase {
  const char *name;
  Ask ask;
  std::uint32_t type;
  Bytes rest;
  HRESULT result;
  std::string out;
};

using CapabilityForm = CameraTable<FormCase>;

TEST_P(CapabilityForm, ChecksTheTypeAndTheLengthField) {
  const FormCase &c = GetParam();
  camera_.Queue(Capability(c.type, "", c.rest));
  ULONG a = 7, b = 7, step = 7;
  Variant value;
  CAP_ITEM *items = nullptr;
  const HRESULT result = c.ask == Ask::kType    ? TaveloGetParamCapType(handle_, kTag, &a)
                         : c.ask == Ask::kValue ? TaveloGetParamCapValue(handle_, kTag, &value)
                         : c.ask == Ask::kRange
                             ? TaveloGetParamCapRange(handle_, kTag, &a, &b, &step)
                             : TaveloGetParamCapList(handle_, kTag, &a, &b, &items);
  CoTaskMemFree(items);
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(c.ask == Ask::kValue ? Show(value)
            : c.ask == Ask::kRange
                ? std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(step)
                : std::to_string(c.ask == Ask::kType ? a : b),
            c.out);
}

const Bytes kOneItem = Join({Be32(1), Be32(0), Field("item", 32), Be32(5)}); // 96 - 52 bytes

INSTANTIATE_TEST_SUITE_P(
    Table, CapabilityForm,
    ::testing::Values(FormCase{"TypeRange", Ask::kType, 2, {}, S_OK, "2"},
                      FormCase{"TypeOutsideOneToThree", Ask::kType, 7, {}, S_OK, "0"},
                      FormCase{"ValueOfARange", Ask::kValue, 2, Bytes(12), CAM_E_FEATURE, "EMPTY"},
                      FormCase{"ValueLength56", Ask::kValue, 3, Be32(1), CAM_E_CAMERA, "EMPTY"},
                      FormCase{"ValueLength57Text", Ask::kValue, 3, Join({Be32(8), {'A'}}), S_OK,
                               "BSTR A"},
                      FormCase{"ValueLength57NumberCut", Ask::kValue, 3, Join({Be32(1), {0}}),
                               CAM_E_CAMERA, "EMPTY"},
                      FormCase{"ValueType1IsI4", Ask::kValue, 3, Join({Be32(1), Be32(0xFFFFFFFF)}),
                               S_OK, "I4 -1"},
                      FormCase{"ValueTextOfThirty", Ask::kValue, 3,
                               Join({Be32(7), Field(std::string(32, 't'), 32)}), S_OK,
                               "BSTR " + std::string(30, 't')},
                      FormCase{"RangeOfAList", Ask::kRange, 1, Bytes(12), CAM_E_FEATURE, "0 0 0"},
                      FormCase{"RangeLength63", Ask::kRange, 2, Bytes(11), CAM_E_CAMERA, "0 0 0"},
                      FormCase{"RangeLength64", Ask::kRange, 2,
                               Join({Be32(100), Be32(3200), Be32(100)}), S_OK, "100 3200 100"},
                      FormCase{"ListOfAValue", Ask::kList, 3, kOneItem, CAM_E_FEATURE, "0"},
                      FormCase{"ListLength95", Ask::kList, 1,
                               Bytes(kOneItem.begin(), kOneItem.end() - 1), CAM_E_CAMERA, "0"},
                      FormCase{"ListLength96", Ask::kList, 1, kOneItem, S_OK, "1"}),
    kCaseName);

} // namespace
} // namespace tavelo::test
