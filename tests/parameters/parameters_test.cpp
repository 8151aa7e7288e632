// Parameter commands on the wire: request layouts, result handling, the
// list of all parameters and the capability answers.
#include "answer_builders.h"
#include "bound_camera.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

namespace tavelo {
namespace {

using test::Append;
using test::Be32;
using test::Field;
using test::Reply;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kTag = test::Tag("whbl");

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts) {
    Append(all, part);
  }
  return all;
}

// A request: header for `command`, then `body`.
Bytes Request(std::uint16_t command, const Bytes &body) {
  Bytes packet = Join({Bytes(wire::kHeaderSize), body});
  wire::BuildHeader(packet, command);
  return packet;
}

// Each command's request and length hint. The variant sent is VT_I4 7.
struct RequestCase {
  const char *name;
  std::function<HRESULT(HCAMERA)> call;
  Bytes request;
  ULONG hint;
};

VARIANT Seven() {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = 7;
  return v;
}

class RequestTest : public test::BoundCameraTest,
                    public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestTest, SendsTheLayout) {
  ASSERT_GE(GetParam().call(handle_), 0);
  auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].request, GetParam().request);
  EXPECT_EQ(sent[0].lengthHint, GetParam().hint);
}

VARIANT g_out; // receives what the calls read; each call clears it first

INSTANTIATE_TEST_SUITE_P(
    Table, RequestTest,
    ::testing::Values(
        RequestCase{"Get", [](HCAMERA c) { return TaveloGetParameter(c, kTag, &g_out); },
                    Request(0x11, Be32(kTag)), 0},
        RequestCase{"GetDefault",
                    [](HCAMERA c) { return TaveloGetParameterDefault(c, kTag, 9, &g_out); },
                    Request(0x13, Join({Be32(9), Be32(kTag)})), 0},
        RequestCase{"Set", [](HCAMERA c) { return TaveloSetParameter(c, kTag, Seven()); },
                    Request(0x12, Join({Be32(kTag), Be32(7)})), 12},
        RequestCase{"SetUserDefault",
                    [](HCAMERA c) { return TaveloSetParameterUserDefault(c, kTag, 9, Seven()); },
                    Request(0x14, Join({Be32(9), Be32(kTag), Be32(7)})), 12},
        RequestCase{"RestoreOne",
                    [](HCAMERA c) { return TaveloRestoreParameterDefault(c, kTag, 9); },
                    Request(0x15, Join({Be32(9), Be32(kTag)})), 12},
        RequestCase{"RestoreBySelectorAlone",
                    [](HCAMERA c) { return TaveloRestoreParameterDefault(c, 0, 9); },
                    Request(0x15, Be32(9)), 12},
        RequestCase{"ListAll",
                    [](HCAMERA c) {
                      ULONG n = 0, *tags = nullptr;
                      return TaveloListAllParameters(c, &n, &tags);
                    },
                    Request(0x11, {}), 0},
        RequestCase{"Capability",
                    [](HCAMERA c) {
                      char text[32];
                      return TaveloGetParameterDesc(c, kTag, text);
                    },
                    Request(0x10, Be32(kTag)), 0}),
    [](const auto &info) { return std::string(info.param.name); });

class ParametersTest : public test::BoundCameraTest {};

TEST_F(ParametersTest, TagZeroClearsTheVariantWithoutContact) {
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(u"old");
  EXPECT_EQ(TaveloGetParameter(handle_, 0, &value), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(value.vt, VT_EMPTY);
  EXPECT_EQ(TaveloSetParameter(handle_, 0, Seven()), CAM_E_BAD_PARAMETER);
  // The list value is written last, so it must be writable, not only non-null.
  static const ULONG kReadOnly = 0;
  ULONG count = 0;
  CAP_ITEM *items = nullptr;
  EXPECT_EQ(TaveloGetParamCapList(handle_, kTag, const_cast<ULONG *>(&kReadOnly), &count, &items),
            CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
}

TEST_F(ParametersTest, ShortAnswerReadsNoStaleBytes) {
  // The first answer fills the exchange buffer; the second ends after the
  // value type, so its value must read 0, not 99.
  camera_.Queue(test::OneItem(wire::kGetParameterDefault, kTag, 1, Be32(99)));
  camera_.Queue(test::Ok(wire::kGetParameterDefault, Join({Be32(1), Be32(kTag), Be32(1)})));
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(TaveloGetParameterDefault(handle_, kTag, 0, &value), S_OK);
  ASSERT_EQ(TaveloGetParameterDefault(handle_, kTag, 0, &value), S_OK);
  EXPECT_EQ(value.vt, VT_UI4);
  EXPECT_EQ(value.ulVal, 0u);
}

// Set user default and restore default take any exchange result other than
// 0 and CAM_S_COMPLETED as a failed link; set parameter keeps the link.
class StrictResultTest : public test::BoundCameraTest,
                         public ::testing::WithParamInterface<std::pair<HRESULT, bool>> {};

TEST_P(StrictResultTest, OnlyZeroAndCompletedKeepTheLink) {
  const auto [exchange, drops] = GetParam();
  const HRESULT linkAfterStrict = drops ? CAM_S_COMPLETED : S_OK;
  camera_.Queue(Reply{exchange, test::Packet(wire::kSetParameterUserDefault, 0)});
  EXPECT_EQ(TaveloSetParameterUserDefault(handle_, kTag, 1, Seven()), exchange);
  EXPECT_EQ(Session().IsConnected(), linkAfterStrict);
  camera_.Queue(Reply{exchange, test::Packet(wire::kRestoreParameterDefault, 0)});
  EXPECT_EQ(TaveloRestoreParameterDefault(handle_, kTag, 1), exchange);
  EXPECT_EQ(Session().IsConnected(), linkAfterStrict);
  camera_.Queue(Reply{exchange, test::Packet(wire::kSetParameter, 0)});
  EXPECT_EQ(TaveloSetParameter(handle_, kTag, Seven()), exchange);
  EXPECT_EQ(Session().IsConnected(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Table, StrictResultTest,
                         ::testing::Values(std::pair{S_OK, false},
                                           std::pair{CAM_S_COMPLETED, false},
                                           std::pair{S_FALSE, true}, std::pair{0x12345, true}));

// List all: only the items that lie within the packet are read.
struct ListCase {
  std::uint32_t claimed;
  std::size_t sent;
  ULONG expected;
};

class ListAllTest : public test::BoundCameraTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ListAllTest, ReadsAsFarAsThePacketGoes) {
  const ListCase &c = GetParam();
  Bytes body = Be32(c.claimed);
  for (std::size_t i = 0; i < c.sent; ++i) {
    Append(body, test::Item(0x61616100 + static_cast<std::uint32_t>(i), 1, Be32(0)));
  }
  camera_.Queue(test::Ok(wire::kGetParameter, body));
  ULONG count = 99;
  ULONG *tags = nullptr;
  ASSERT_EQ(TaveloListAllParameters(handle_, &count, &tags), S_OK);
  ASSERT_EQ(count, c.expected);
  EXPECT_EQ(tags == nullptr, c.expected == 0);
  for (ULONG i = 0; i < count; ++i) {
    EXPECT_EQ(tags[i], 0x61616100u + i);
  }
  CoTaskMemFree(tags);
}

INSTANTIATE_TEST_SUITE_P(Table, ListAllTest,
                         ::testing::Values(ListCase{3, 3, 3}, ListCase{0, 2, 0}, ListCase{5, 2, 2},
                                           ListCase{0xFFFFFFFF, 1, 1}));

// ---- capabilities -------------------------------------------------------

// A capability answer: 8 unread bytes, the type, the description, then
// `rest` from offset 56. Its length field is 52 + rest.size().
Reply Capability(std::uint32_t type, const std::string &description, const Bytes &rest) {
  return test::Ok(wire::kParameterCapabilities,
                  Join({Bytes(8, 0xEE), Be32(type), Field(description, 32), rest}));
}

Bytes ListItem(const std::string &data, std::uint32_t value) {
  return Join({Field(data, 32), Be32(value)});
}

TEST_F(ParametersTest, DescriptionIsCutToThirtyAndZeroFilledOnFailure) {
  camera_.Queue(Capability(9, std::string(40, 'd'), {}));
  char buffer[32];
  std::memset(buffer, 'x', sizeof buffer);
  ASSERT_EQ(TaveloGetParameterDesc(handle_, kTag, buffer), S_OK);
  EXPECT_EQ(std::string(buffer, 32), std::string(30, 'd') + std::string(2, '\0'));

  camera_.Queue(test::Status(wire::kParameterCapabilities, 8));
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(TaveloGetParameterDesc(handle_, kTag, buffer), CAM_E_DATA_NOT_FOUND);
  EXPECT_EQ(std::string(buffer, 32), std::string(32, '\0'));
}

// Each capability operation against each form and the length-field limits.
// `out` is what the operation reports on success, as text.
enum class Ask { kType, kValue, kRange };

struct FormCase {
  const char *name;
  Ask ask;
  std::uint32_t type;
  Bytes rest;
  HRESULT result;
  std::string out;
};

class CapabilityFormTest : public test::BoundCameraTest,
                           public ::testing::WithParamInterface<FormCase> {};

TEST_P(CapabilityFormTest, ChecksTheTypeAndTheLengthField) {
  const FormCase &c = GetParam();
  camera_.Queue(Capability(c.type, "", c.rest));
  std::string out;
  HRESULT result = E_FAIL;
  if (c.ask == Ask::kType) {
    ULONG type = 99;
    result = TaveloGetParamCapType(handle_, kTag, &type);
    out = std::to_string(type);
  } else if (c.ask == Ask::kValue) {
    VARIANT value;
    VariantInit(&value);
    result = TaveloGetParamCapValue(handle_, kTag, &value);
    out = value.vt == VT_I4     ? "I4 " + std::to_string(value.lVal)
          : value.vt == VT_BSTR ? "BSTR " + std::to_string(SysStringLen(value.bstrVal))
                                : "vt " + std::to_string(value.vt);
    VariantClear(&value);
  } else {
    ULONG low = 7, high = 7, step = 7;
    result = TaveloGetParamCapRange(handle_, kTag, &low, &high, &step);
    out = std::to_string(low) + " " + std::to_string(high) + " " + std::to_string(step);
  }
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(out, c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CapabilityFormTest,
    ::testing::Values(FormCase{"TypeRange", Ask::kType, 2, {}, S_OK, "2"},
                      FormCase{"TypeOutsideOneToThree", Ask::kType, 7, {}, S_OK, "0"},
                      FormCase{"ValueOfARange", Ask::kValue, 2, Bytes(12), CAM_E_FEATURE, "vt 0"},
                      FormCase{"ValueLength56", Ask::kValue, 3, Be32(1), CAM_E_CAMERA, "vt 0"},
                      FormCase{"ValueLength57Text", Ask::kValue, 3, Join({Be32(8), {'A'}}), S_OK,
                               "BSTR 1"},
                      FormCase{"ValueLength57NumberCut", Ask::kValue, 3, Join({Be32(1), {0}}),
                               CAM_E_CAMERA, "vt 0"},
                      FormCase{"ValueType1IsI4", Ask::kValue, 3, Join({Be32(1), Be32(0xFFFFFFFF)}),
                               S_OK, "I4 -1"},
                      FormCase{"ValueTextOfThirty", Ask::kValue, 3,
                               Join({Be32(7), Field(std::string(32, 't'), 32)}), S_OK, "BSTR 30"},
                      FormCase{"RangeOfAList", Ask::kRange, 1, Bytes(12), CAM_E_FEATURE, "0 0 0"},
                      FormCase{"RangeLength63", Ask::kRange, 2, Bytes(11), CAM_E_CAMERA, "0 0 0"},
                      FormCase{"RangeLength64", Ask::kRange, 2,
                               Join({Be32(100), Be32(3200), Be32(100)}), S_OK, "100 3200 100"}),
    [](const auto &info) { return std::string(info.param.name); });

// The list form: the type, the length-field limit of 96 (one item), and
// items copied only as far as the packet goes.
struct ListFormCase {
  const char *name;
  std::uint32_t type;
  std::uint32_t claimed;
  std::size_t sent;
  std::size_t cut; // bytes dropped from the end of the packet
  HRESULT result;
  ULONG expected;
};

class CapabilityListTest : public test::BoundCameraTest,
                           public ::testing::WithParamInterface<ListFormCase> {};

TEST_P(CapabilityListTest, CopiesTheItemsThePacketHolds) {
  const ListFormCase &c = GetParam();
  Bytes rest = Join({Be32(c.claimed), Be32(0x0BADCAFE)});
  for (std::size_t i = 0; i < c.sent; ++i) {
    Append(rest, ListItem("item" + std::to_string(i), 0x01000000 + static_cast<ULONG>(i)));
  }
  rest.resize(rest.size() - c.cut);
  camera_.Queue(Capability(c.type, "", rest));
  ULONG listValue = 0xAAAA, count = 0;
  CAP_ITEM *items = nullptr;
  ASSERT_EQ(TaveloGetParamCapList(handle_, kTag, &listValue, &count, &items), c.result);
  ASSERT_EQ(count, c.expected);
  EXPECT_EQ(items == nullptr, c.expected == 0);
  EXPECT_EQ(listValue, c.expected == 0 ? 0xAAAAu : 0x0BADCAFEu);
  for (ULONG i = 0; i < count; ++i) {
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(items[i].data)),
              "item" + std::to_string(i));
    EXPECT_EQ(items[i].value, 0x01000000u + i);
  }
  CoTaskMemFree(items);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CapabilityListTest,
    ::testing::Values(ListFormCase{"ListOfAValue", 3, 1, 1, 0, CAM_E_FEATURE, 0},
                      ListFormCase{"Length95", 1, 1, 1, 1, CAM_E_CAMERA, 0},
                      ListFormCase{"Length96", 1, 1, 1, 0, S_OK, 1},
                      ListFormCase{"CountZero", 1, 0, 1, 0, S_OK, 0},
                      ListFormCase{"CountPastThePacket", 1, 0xFFFFFFFF, 2, 0, S_OK, 2}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace tavelo
