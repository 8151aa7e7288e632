// Parameter commands on the wire: requests, result handling, argument
// checks, the list of all parameters and the capability answers.
#include "answer_builders.h"
#include "bound_camera.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace tavelo {
namespace {

using test::Append;
using test::Be32;
using test::Be32At;
using test::Field;
using test::Reply;

constexpr std::uint32_t kTag = test::Tag("whbl");

class ParametersTest : public test::BoundCameraTest {};

TEST_F(ParametersTest, GetParameterAsksForTheTagAndIgnoresTheAnswersTag) {
  camera_.Queue(test::OneItem(wire::kGetParameter, test::Tag("othr"), 1, Be32(42)));
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(TaveloGetParameter(handle_, kTag, &value), S_OK);
  EXPECT_EQ(value.vt, VT_UI4);
  EXPECT_EQ(value.ulVal, 42u);

  auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), 1u);
  std::vector<std::uint8_t> expected(wire::kHeaderSize);
  Append(expected, Be32(kTag));
  wire::BuildHeader(expected, wire::kGetParameter);
  EXPECT_EQ(sent[0].request, expected);
  EXPECT_EQ(sent[0].lengthHint, 0u);
}

TEST_F(ParametersTest, GetParameterWithTagZeroClearsTheVariantWithoutContact) {
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(u"old");
  EXPECT_EQ(TaveloGetParameter(handle_, 0, &value), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(value.vt, VT_EMPTY);
  EXPECT_EQ(TaveloGetParameterDefault(handle_, 0, 1, &value), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
}

TEST_F(ParametersTest, ExportsRefuseBadHandlesAndPointersWithoutContact) {
  VARIANT value;
  VariantInit(&value);
  HCAMERA unresolved = nullptr;
  ULONG count = 7;
  ULONG *tags = nullptr;
  ULONG low = 1, high = 1, step = 1, type = 1, listValue = 0;
  CAP_ITEM *items = nullptr;
  char description[32];
  EXPECT_EQ(TaveloGetParameter(unresolved, kTag, &value), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetParameter(handle_, kTag, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetParameter(unresolved, kTag, value), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetParameter(handle_, 0, value), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetParameterUserDefault(handle_, 0, 1, value), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloRestoreParameterDefault(unresolved, kTag, 1), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloListAllParameters(unresolved, &count, &tags), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(count, 0u) << "zeroed before the handle is resolved";
  EXPECT_EQ(TaveloListAllParameters(handle_, &count, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetParameterDesc(handle_, kTag, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetParameterDesc(handle_, 0, description), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetParamCapType(unresolved, kTag, &type), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(TaveloGetParamCapValue(handle_, 0, &value), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetParamCapRange(handle_, kTag, &low, nullptr, &step), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetParamCapRange(handle_, 0, &low, &high, &step), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(low + high + step, 0u);
  EXPECT_EQ(TaveloGetParamCapList(handle_, kTag, nullptr, &count, &items), CAM_E_BAD_PARAMETER);
  // A list value in read-only memory is refused too, not written at the end.
  static const ULONG kReadOnly = 0;
  EXPECT_EQ(TaveloGetParamCapList(handle_, kTag, const_cast<ULONG *>(&kReadOnly), &count, &items),
            CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetParamCapList(handle_, kTag, &listValue, &count, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
}

TEST_F(ParametersTest, GetDefaultSendsSelectorThenTag) {
  camera_.Queue(test::OneItem(wire::kGetParameterDefault, kTag, 2, Be32(0xFFFFFFFF)));
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(TaveloGetParameterDefault(handle_, kTag, 0xA1B2C3D4, &value), S_OK);
  EXPECT_EQ(value.vt, VT_I4);
  EXPECT_EQ(value.lVal, -1);
  auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), 1u);
  std::vector<std::uint8_t> expected(wire::kHeaderSize);
  Append(expected, Be32(0xA1B2C3D4));
  Append(expected, Be32(kTag));
  wire::BuildHeader(expected, wire::kGetParameterDefault);
  EXPECT_EQ(sent[0].request, expected);
}

TEST_F(ParametersTest, ShortAnswerReadsNoStaleBytes) {
  // Fill the exchange buffer with a full answer, then send one that ends
  // after the value type: the value must not come from the first answer.
  camera_.Queue(test::OneItem(wire::kGetParameterDefault, kTag, 1, Be32(99)));
  std::vector<std::uint8_t> shortBody = Be32(1);
  Append(shortBody, Be32(kTag));
  Append(shortBody, Be32(1));
  camera_.Queue(test::Ok(wire::kGetParameterDefault, shortBody));
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(TaveloGetParameterDefault(handle_, kTag, 0, &value), S_OK);
  ASSERT_EQ(TaveloGetParameterDefault(handle_, kTag, 0, &value), S_OK);
  EXPECT_EQ(value.vt, VT_UI4);
  EXPECT_EQ(value.ulVal, 0u);
}

TEST_F(ParametersTest, RestoreDefaultSendsTheTagOnlyWhenGiven) {
  ASSERT_EQ(TaveloRestoreParameterDefault(handle_, 0, 0x55), S_OK);
  ASSERT_EQ(TaveloRestoreParameterDefault(handle_, kTag, 0x55), S_OK);
  auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), 2u);
  std::vector<std::uint8_t> all(wire::kHeaderSize);
  Append(all, Be32(0x55));
  wire::BuildHeader(all, wire::kRestoreParameterDefault);
  EXPECT_EQ(sent[0].request, all);
  std::vector<std::uint8_t> one = all;
  Append(one, Be32(kTag));
  wire::BuildHeader(one, wire::kRestoreParameterDefault);
  EXPECT_EQ(sent[1].request, one);
  EXPECT_EQ(sent[1].lengthHint, 12u);
}

// Set user default and restore default take any exchange result other than
// 0 and CAM_S_COMPLETED as a failed link; set parameter keeps the link.
struct StrictCase {
  HRESULT exchange;
  bool userDefaultDrops;
};

class StrictResultTest : public test::BoundCameraTest,
                         public ::testing::WithParamInterface<StrictCase> {};

TEST_P(StrictResultTest, OnlyZeroAndCompletedKeepTheLink) {
  const StrictCase &c = GetParam();
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_I4;
  value.lVal = 3;

  camera_.Queue(Reply{c.exchange, test::Packet(wire::kSetParameterUserDefault, 0)});
  EXPECT_EQ(TaveloSetParameterUserDefault(handle_, kTag, 1, value), c.exchange);
  EXPECT_EQ(Session().IsConnected(), c.userDefaultDrops ? CAM_S_COMPLETED : S_OK);

  camera_.Queue(Reply{c.exchange, test::Packet(wire::kRestoreParameterDefault, 0)});
  EXPECT_EQ(TaveloRestoreParameterDefault(handle_, kTag, 1), c.exchange);
  EXPECT_EQ(Session().IsConnected(), c.userDefaultDrops ? CAM_S_COMPLETED : S_OK);

  camera_.Queue(Reply{c.exchange, test::Packet(wire::kSetParameter, 0)});
  EXPECT_EQ(TaveloSetParameter(handle_, kTag, value), c.exchange);
  EXPECT_EQ(Session().IsConnected(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Table, StrictResultTest,
                         ::testing::Values(StrictCase{S_OK, false},
                                           StrictCase{CAM_S_COMPLETED, false},
                                           StrictCase{S_FALSE, true}, StrictCase{0x12345, true}));

TEST_F(ParametersTest, StatusWordsBecomeResults) {
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_UI4;
  camera_.Queue(test::Status(wire::kSetParameter, 5));
  EXPECT_EQ(TaveloSetParameter(handle_, kTag, value), CAM_E_BAD_REQUEST_DATA);
  camera_.Queue(test::Status(wire::kGetParameter, 8));
  EXPECT_EQ(TaveloGetParameter(handle_, kTag, &value), CAM_E_DATA_NOT_FOUND);
  EXPECT_EQ(value.vt, VT_EMPTY);
  camera_.Queue(Reply{E_FAIL, {}});
  EXPECT_EQ(TaveloGetParameter(handle_, kTag, &value), E_FAIL);
  EXPECT_EQ(Session().IsConnected(), CAM_S_COMPLETED);
}

// ---- list all parameters ----------------------------------------------

std::vector<std::uint8_t> ListBody(std::uint32_t claimed, std::size_t items) {
  std::vector<std::uint8_t> body = Be32(claimed);
  for (std::size_t i = 0; i < items; ++i) {
    Append(body, test::Item(0x61616100 + static_cast<std::uint32_t>(i), 1, Be32(0)));
  }
  return body;
}

struct ListCase {
  std::uint32_t claimed;
  std::size_t sent;
  ULONG expected;
};

class ListAllTest : public test::BoundCameraTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ListAllTest, ReadsOnlyTheItemsThePacketHolds) {
  const ListCase &c = GetParam();
  camera_.Queue(test::Ok(wire::kGetParameter, ListBody(c.claimed, c.sent)));
  ULONG count = 99;
  ULONG *tags = reinterpret_cast<ULONG *>(8);
  ASSERT_EQ(TaveloListAllParameters(handle_, &count, &tags), S_OK);
  ASSERT_EQ(count, c.expected);
  if (c.expected == 0) {
    EXPECT_EQ(tags, nullptr);
    return;
  }
  ASSERT_NE(tags, nullptr);
  for (ULONG i = 0; i < count; ++i) {
    EXPECT_EQ(tags[i], 0x61616100u + i);
  }
  CoTaskMemFree(tags);
  auto sent = camera_.Exchanges();
  std::vector<std::uint8_t> bare(wire::kHeaderSize);
  wire::BuildHeader(bare, wire::kGetParameter);
  EXPECT_EQ(sent[0].command, wire::kGetParameter);
  EXPECT_EQ(sent[0].request, bare) << "no body";
}

INSTANTIATE_TEST_SUITE_P(Table, ListAllTest,
                         ::testing::Values(ListCase{3, 3, 3}, ListCase{0, 0, 0}, ListCase{0, 2, 0},
                                           ListCase{5, 2, 2}, ListCase{0xFFFFFFFF, 1, 1}));

// ---- capabilities -------------------------------------------------------

// A capability answer: 8 unread bytes, the type, the description, then the
// part that depends on the type.
std::vector<std::uint8_t> Capability(std::uint32_t type, const std::string &description,
                                     const std::vector<std::uint8_t> &rest) {
  std::vector<std::uint8_t> body(8, 0xEE);
  Append(body, Be32(type));
  Append(body, Field(description, 32));
  Append(body, rest);
  return body;
}

std::vector<std::uint8_t> ListItem(const std::string &data, std::uint32_t value) {
  std::vector<std::uint8_t> item = Field(data, 32);
  Append(item, Be32(value));
  return item;
}

TEST_F(ParametersTest, CapabilityQueryAsksForTheTagIntoTheExchangeBuffer) {
  camera_.Queue(test::Ok(wire::kParameterCapabilities, Capability(2, "White balance", {})));
  ULONG type = 0;
  ASSERT_EQ(TaveloGetParamCapType(handle_, kTag, &type), S_OK);
  EXPECT_EQ(type, 2u);
  auto sent = camera_.Exchanges();
  std::vector<std::uint8_t> expected(wire::kHeaderSize);
  Append(expected, Be32(kTag));
  wire::BuildHeader(expected, wire::kParameterCapabilities);
  EXPECT_EQ(sent[0].request, expected);
  EXPECT_EQ(sent[0].lengthHint, 0u);
}

TEST_F(ParametersTest, CapabilityTypeOutsideOneToThreeIsSuccessAndZero) {
  camera_.Queue(test::Ok(wire::kParameterCapabilities, Capability(7, "", {})));
  ULONG type = 5;
  EXPECT_EQ(TaveloGetParamCapType(handle_, kTag, &type), S_OK);
  EXPECT_EQ(type, 0u);
}

TEST_F(ParametersTest, DescriptionIsCutToThirtyAndZeroFilledOnFailure) {
  camera_.Queue(test::Ok(wire::kParameterCapabilities, Capability(9, std::string(40, 'd'), {})));
  char buffer[32];
  std::memset(buffer, 'x', sizeof buffer);
  ASSERT_EQ(TaveloGetParameterDesc(handle_, kTag, buffer), S_OK);
  EXPECT_EQ(std::string(buffer), std::string(30, 'd'));
  EXPECT_EQ(buffer[31], 0);

  camera_.Queue(test::Status(wire::kParameterCapabilities, 8));
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(TaveloGetParameterDesc(handle_, kTag, buffer), CAM_E_DATA_NOT_FOUND);
  EXPECT_EQ(std::string(buffer, 32), std::string(32, '\0'));
}

// Each capability form against the answer's length field. The packet is
// exactly as long as its length field says.
enum class Form { kValue, kRange, kList };

struct CapCase {
  const char *name;
  Form form;
  std::uint32_t type;
  std::vector<std::uint8_t> rest; // from offset 56
  HRESULT result;
};

class CapabilityFormTest : public test::BoundCameraTest,
                           public ::testing::WithParamInterface<CapCase> {
protected:
  HRESULT Ask(const CapCase &c) {
    camera_.Queue(test::Ok(wire::kParameterCapabilities, Capability(c.type, "d", c.rest)));
    switch (c.form) {
    case Form::kValue:
      return TaveloGetParamCapValue(handle_, kTag, &value_);
    case Form::kRange:
      return TaveloGetParamCapRange(handle_, kTag, &low_, &high_, &step_);
    case Form::kList:
      return TaveloGetParamCapList(handle_, kTag, &listValue_, &count_, &items_);
    }
    return E_FAIL;
  }
  void TearDown() override {
    VariantClear(&value_);
    CoTaskMemFree(items_);
    test::BoundCameraTest::TearDown();
  }
  VARIANT value_{};
  ULONG low_ = 0, high_ = 0, step_ = 0, listValue_ = 0xAAAA, count_ = 0;
  CAP_ITEM *items_ = nullptr;
};

TEST_P(CapabilityFormTest, LengthFieldLimitsAndTypeChecks) {
  const CapCase &c = GetParam();
  EXPECT_EQ(Ask(c), c.result);
  if (FAILED(c.result)) {
    EXPECT_EQ(value_.vt, VT_EMPTY);
    EXPECT_EQ(low_ + high_ + step_ + count_, 0u);
    EXPECT_EQ(items_, nullptr);
    EXPECT_EQ(listValue_, 0xAAAAu);
  }
}

std::vector<std::uint8_t> Bytes(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> all;
  for (const auto &part : parts) {
    Append(all, part);
  }
  return all;
}

// Length field = 52 + rest.size() (12-byte header less 4, 44 common bytes).
INSTANTIATE_TEST_SUITE_P(
    Table, CapabilityFormTest,
    ::testing::Values(
        CapCase{"ValueOfARange", Form::kValue, 2, Bytes({Be32(1), Be32(2), Be32(3)}),
                CAM_E_FEATURE},
        CapCase{"ValueLength56", Form::kValue, 3, Be32(8), CAM_E_CAMERA},
        CapCase{"ValueLength57Text", Form::kValue, 3, Bytes({Be32(8), {'A'}}), S_OK},
        CapCase{"ValueLength57NumberCutOff", Form::kValue, 3, Bytes({Be32(1), {0}}), CAM_E_CAMERA},
        CapCase{"ValueLength60Number", Form::kValue, 3, Bytes({Be32(1), Be32(5)}), S_OK},
        CapCase{"RangeOfAList", Form::kRange, 1, Bytes({Be32(1), Be32(0), Be32(0)}), CAM_E_FEATURE},
        CapCase{"RangeLength63", Form::kRange, 2, Bytes({Be32(1), Be32(2), {0, 0, 0}}),
                CAM_E_CAMERA},
        CapCase{"RangeLength64", Form::kRange, 2, Bytes({Be32(1), Be32(9), Be32(2)}), S_OK},
        CapCase{"ListOfAValue", Form::kList, 3, Bytes({Be32(1), Be32(0)}), CAM_E_FEATURE},
        CapCase{"ListLength95", Form::kList, 1,
                Bytes({Be32(1), Be32(4), std::vector<std::uint8_t>(35, 0)}), CAM_E_CAMERA},
        CapCase{"ListLength96", Form::kList, 1, Bytes({Be32(1), Be32(4), ListItem("a", 1)}), S_OK}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ParametersTest, SingleValueIsI4OrTextOfThirty) {
  camera_.Queue(test::Ok(wire::kParameterCapabilities,
                         Capability(3, "", Bytes({Be32(1), Be32(0xFFFFFFFF)}))));
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(TaveloGetParamCapValue(handle_, kTag, &value), S_OK);
  EXPECT_EQ(value.vt, VT_I4) << "type 1 is VT_I4 here, not VT_UI4";
  EXPECT_EQ(value.lVal, -1);

  camera_.Queue(test::Ok(wire::kParameterCapabilities,
                         Capability(3, "", Bytes({Be32(8), Field(std::string(32, 't'), 32)}))));
  ASSERT_EQ(TaveloGetParamCapValue(handle_, kTag, &value), S_OK);
  ASSERT_EQ(value.vt, VT_BSTR);
  EXPECT_EQ(std::u16string(value.bstrVal), std::u16string(30, u't'));
  VariantClear(&value);
}

TEST_F(ParametersTest, RangeGivesLowHighStep) {
  camera_.Queue(test::Ok(wire::kParameterCapabilities,
                         Capability(2, "", Bytes({Be32(100), Be32(3200), Be32(100)}))));
  ULONG low = 0, high = 0, step = 0;
  ASSERT_EQ(TaveloGetParamCapRange(handle_, kTag, &low, &high, &step), S_OK);
  EXPECT_EQ(low, 100u);
  EXPECT_EQ(high, 3200u);
  EXPECT_EQ(step, 100u);
}

struct CapListCase {
  std::uint32_t claimed;
  std::size_t sent;
  ULONG expected;
};

class CapabilityListTest : public test::BoundCameraTest,
                           public ::testing::WithParamInterface<CapListCase> {};

TEST_P(CapabilityListTest, ItemsAreCopiedAsFarAsThePacketGoes) {
  const CapListCase &c = GetParam();
  std::vector<std::uint8_t> rest = Bytes({Be32(c.claimed), Be32(0x0BADCAFE)});
  for (std::size_t i = 0; i < c.sent; ++i) {
    Append(rest, ListItem("item" + std::to_string(i), 0x01000000 + static_cast<ULONG>(i)));
  }
  if (c.sent == 0) {
    Append(rest, ListItem("pad", 0)); // a length field of 96 all the same
  }
  camera_.Queue(test::Ok(wire::kParameterCapabilities, Capability(1, "", rest)));
  ULONG listValue = 0xAAAA, count = 0;
  CAP_ITEM *items = nullptr;
  ASSERT_EQ(TaveloGetParamCapList(handle_, kTag, &listValue, &count, &items), S_OK);
  ASSERT_EQ(count, c.expected);
  if (c.expected == 0) {
    EXPECT_EQ(items, nullptr);
    EXPECT_EQ(listValue, 0xAAAAu) << "not written for an empty list";
    return;
  }
  EXPECT_EQ(listValue, 0x0BADCAFEu);
  for (ULONG i = 0; i < count; ++i) {
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(items[i].data)),
              "item" + std::to_string(i));
    EXPECT_EQ(items[i].value, 0x01000000u + i);
  }
  CoTaskMemFree(items);
}

INSTANTIATE_TEST_SUITE_P(Table, CapabilityListTest,
                         ::testing::Values(CapListCase{1, 1, 1}, CapListCase{3, 3, 3},
                                           CapListCase{0, 0, 0}, CapListCase{4, 2, 2},
                                           CapListCase{0xFFFFFFFF, 1, 1}));

} // namespace
} // namespace tavelo
