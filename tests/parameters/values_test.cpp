// Every value type in both directions: camera values read as variants
// (get parameter, get default) and variants sent as value fields (set
// parameter, set user default), checked on the wire.
#include "answer_builders.h"
#include "bound_camera.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>

namespace tavelo {
namespace {

using test::Append;
using test::Be32;
using test::Be32At;
using test::Field;

constexpr std::uint32_t kTag = test::Tag("expo");

// ---- camera value -> variant ------------------------------------------

struct ReadCase {
  const char *name;
  std::uint32_t type;
  std::vector<std::uint8_t> value;
  VARTYPE vt;
  std::uint32_t bits;  // ulVal for numbers, the float's bits for VT_R4, boolVal for VT_BOOL
  std::u16string text; // for VT_BSTR
};

std::uint32_t FloatBits(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

void ExpectVariant(const VARIANT &v, const ReadCase &c) {
  ASSERT_EQ(v.vt, c.vt);
  switch (c.vt) {
  case VT_UI4:
  case VT_I4:
    EXPECT_EQ(v.ulVal, c.bits);
    break;
  case VT_R4:
    EXPECT_EQ(FloatBits(v.fltVal), c.bits) << v.fltVal;
    break;
  case VT_BOOL:
    EXPECT_EQ(static_cast<std::uint16_t>(v.boolVal), c.bits);
    break;
  case VT_BSTR:
    ASSERT_NE(v.bstrVal, nullptr);
    EXPECT_EQ(std::u16string(v.bstrVal, SysStringLen(v.bstrVal)), c.text);
    break;
  default:
    break;
  }
}

class ReadValueTest : public test::BoundCameraTest,
                      public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadValueTest, GetParameterAndGetDefaultGiveTheTableVariant) {
  const ReadCase &c = GetParam();
  camera_.Queue(test::OneItem(wire::kGetParameter, kTag, c.type, c.value));
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(TaveloGetParameter(handle_, kTag, &value), S_OK);
  ExpectVariant(value, c);
  VariantClear(&value);

  camera_.Queue(test::OneItem(wire::kGetParameterDefault, kTag, c.type, c.value));
  ASSERT_EQ(TaveloGetParameterDefault(handle_, kTag, 2, &value), S_OK);
  ExpectVariant(value, c);
  VariantClear(&value);
}

const std::u16string k15(15, u'A');
const std::u16string k31(31, u'B');

INSTANTIATE_TEST_SUITE_P(
    Table, ReadValueTest,
    ::testing::Values(
        ReadCase{"Unsigned", 1, Be32(0xFFFFFFFF), VT_UI4, 0xFFFFFFFF, {}},
        ReadCase{"Signed", 2, Be32(0xFFFFFFFE), VT_I4, 0xFFFFFFFE, {}},
        ReadCase{"RealFive", 3, Be32(5), VT_R4, FloatBits(5.0f), {}},
        ReadCase{"RealIsUnsigned", 3, Be32(0xFFFFFFFF), VT_R4, FloatBits(4294967296.0f), {}},
        ReadCase{"BooleanTwo", 4, Be32(2), VT_BOOL, 0xFFFF, {}},
        ReadCase{"BooleanZero", 4, Be32(0), VT_BOOL, 0, {}},
        ReadCase{"Type5", 5, Be32(0x80000000), VT_I4, 0x80000000, {}},
        ReadCase{"Type6", 6, Be32(7), VT_I4, 7, {}},
        ReadCase{"ShortText", 7, Field("ISO", 32), VT_BSTR, 0, u"ISO"},
        ReadCase{"ShortTextEndsAt15", 7, Field(std::string(32, 'A'), 32), VT_BSTR, 0, k15},
        ReadCase{"LongTextEndsAt31", 8, Field(std::string(32, 'B'), 32), VT_BSTR, 0, k31},
        ReadCase{"LongTextIsConverted", 8, Field("Gr\xC3\xBCn", 32), VT_BSTR, 0, u"Gr\u00FCn"},
        ReadCase{"EmptyText", 8, Field("", 32), VT_BSTR, 0, u""},
        ReadCase{"UnknownType", 9, Be32(1), VT_EMPTY, 0, {}},
        ReadCase{"TypeZero", 0, Be32(1), VT_EMPTY, 0, {}}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- variant -> value field --------------------------------------------

struct SendCase {
  const char *name;
  std::function<VARIANT()> make;   // a new variant, which the test clears
  std::vector<std::uint8_t> field; // 4 or 32 bytes
};

template <class Setter>
std::function<VARIANT()> Make(VARTYPE vt, Setter setter) {
  return [vt, setter] {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    setter(v);
    return v;
  };
}
auto I4(LONG n) {
  return Make(VT_I4, [n](VARIANT &v) { v.lVal = n; });
}
auto UI4(ULONG n) {
  return Make(VT_UI4, [n](VARIANT &v) { v.ulVal = n; });
}
auto R4(float f) {
  return Make(VT_R4, [f](VARIANT &v) { v.fltVal = f; });
}
auto Bool(VARIANT_BOOL b) {
  return Make(VT_BOOL, [b](VARIANT &v) { v.boolVal = b; });
}
// A null `text` makes a VT_BSTR holding a null string.
auto Text(const char16_t *text) {
  std::optional<std::u16string> copy;
  if (text != nullptr) {
    copy = text;
  }
  return Make(VT_BSTR,
              [copy](VARIANT &v) { v.bstrVal = copy ? SysAllocString(copy->c_str()) : nullptr; });
}

// Holds a variant from a table for one test and clears it afterwards.
struct Held {
  explicit Held(const std::function<VARIANT()> &make) : value(make()) {}
  ~Held() { VariantClear(&value); }
  VARIANT value;
};

class SendValueTest : public test::BoundCameraTest,
                      public ::testing::WithParamInterface<SendCase> {};

TEST_P(SendValueTest, SetParameterAndSetUserDefaultSendTheField) {
  const SendCase &c = GetParam();
  Held held(c.make);
  ASSERT_EQ(TaveloSetParameter(handle_, kTag, held.value), S_OK);
  ASSERT_EQ(TaveloSetParameterUserDefault(handle_, kTag, 0x01020304, held.value), S_OK);

  auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), 2u);
  std::vector<std::uint8_t> set(wire::kHeaderSize);
  Append(set, Be32(kTag));
  Append(set, c.field);
  wire::BuildHeader(set, wire::kSetParameter);
  EXPECT_EQ(sent[0].request, set) << "20 bytes for a number, 48 for text";
  EXPECT_EQ(sent[0].lengthHint, 12u);

  std::vector<std::uint8_t> user(wire::kHeaderSize);
  Append(user, Be32(0x01020304));
  Append(user, Be32(kTag));
  Append(user, c.field);
  wire::BuildHeader(user, wire::kSetParameterUserDefault);
  EXPECT_EQ(sent[1].request, user) << "24 bytes for a number, 52 for text";
  EXPECT_EQ(sent[1].lengthHint, 12u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SendValueTest,
    ::testing::Values(
        SendCase{"I4", I4(-5), Be32(0xFFFFFFFB)},
        SendCase{"UI4", UI4(0xDEADBEEF), Be32(0xDEADBEEF)},
        SendCase{"R4Positive", R4(2.9f), Be32(2)},
        SendCase{"R4Negative", R4(-2.9f), Be32(0xFFFFFFFE)},
        SendCase{"R4KeepsLow32Bits", R4(5e9f), Be32(static_cast<std::uint32_t>(5000000000ull))},
        SendCase{"R4Huge", R4(1e30f), Be32(0)}, SendCase{"BoolTrue", Bool(-1), Be32(0xFFFFFFFF)},
        SendCase{"BoolFalse", Bool(0), Be32(0)},
        SendCase{"Text", Text(u"Gr\u00FCn"), Field("Gr\xC3\xBCn", 32)},
        SendCase{"Text31", Text(std::u16string(31, u'x').c_str()), Field(std::string(31, 'x'), 32)},
        SendCase{"NullText", Text(nullptr), Field("", 32)}),
    [](const auto &info) { return std::string(info.param.name); });

// Values the camera has no field for are refused before any contact.
class RefusedValueTest : public test::BoundCameraTest,
                         public ::testing::WithParamInterface<SendCase> {};

TEST_P(RefusedValueTest, SetParameterAndSetUserDefaultRefuseWithoutContact) {
  const SendCase &c = GetParam();
  Held held(c.make);
  EXPECT_EQ(TaveloSetParameter(handle_, kTag, held.value), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetParameterUserDefault(handle_, kTag, 0, held.value), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedValueTest,
    ::testing::Values(
        SendCase{"Empty", Make(VT_EMPTY, [](VARIANT &) {}), {}},
        SendCase{"R8", Make(VT_R8, [](VARIANT &v) { v.dblVal = 1.0; }), {}},
        SendCase{"I2", Make(VT_I2, [](VARIANT &v) { v.iVal = 1; }), {}},
        SendCase{"ByRefI4", Make(VT_I4 | VT_BYREF, [](VARIANT &v) { v.byref = nullptr; }), {}},
        SendCase{"R4NaN", R4(std::numeric_limits<float>::quiet_NaN()), {}},
        SendCase{"R4Infinite", R4(-std::numeric_limits<float>::infinity()), {}},
        SendCase{"Text32", Text(std::u16string(32, u'x').c_str()), {}},
        // 16 characters, but 32 bytes of 8-bit text.
        SendCase{"Text32Bytes", Text(std::u16string(16, u'\u00FC').c_str()), {}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace tavelo
