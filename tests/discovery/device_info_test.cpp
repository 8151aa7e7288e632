// Product information through a scripted fake camera: the device info
// record, the one-item read, and the value items both are made of.
#include "discovery/device_info.h"
#include "fake_transport.h"
#include "session/value_item.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace tavelo {
namespace {

using test::FakeCamera;
using Bytes = std::vector<std::uint8_t>;

struct Runtime {
  Runtime() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~Runtime() { CoUninitialize(); }
};

void Append(Bytes &bytes, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    bytes.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

// A 40-byte value item with the given value bytes, zero-padded.
Bytes Item(const char (&tag)[5], std::uint32_t type, const Bytes &value) {
  Bytes item;
  Append(item, FourCC(tag));
  Append(item, type);
  item.insert(item.end(), value.begin(), value.end());
  item.resize(kValueItemSize, 0);
  return item;
}
Bytes NumberItem(const char (&tag)[5], std::uint32_t number, std::uint32_t type = 1) {
  Bytes value;
  Append(value, number);
  return Item(tag, type, value);
}
Bytes TextItem(const char (&tag)[5], const std::string &text, std::uint32_t type = 8) {
  return Item(tag, type, Bytes(text.begin(), text.end()));
}

// The body of a product information answer: count, then the items.
Bytes ItemList(std::uint32_t count, const std::vector<Bytes> &items) {
  Bytes body;
  Append(body, count);
  for (const Bytes &item : items) {
    body.insert(body.end(), item.begin(), item.end());
  }
  return body;
}
Bytes ItemList(const std::vector<Bytes> &items) {
  return ItemList(static_cast<std::uint32_t>(items.size()), items);
}

struct RecordCase {
  std::uint32_t type;
  Bytes value;
  std::size_t size;
  std::uint32_t number; // for number types
  std::string text;     // for text types
};

class ValueRecordTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(ValueRecordTest, HoldsTheItemsValueInHostOrderAndTheTypesSize) {
  const RecordCase &c = GetParam();
  Bytes bytes = Item("abcd", c.type, c.value);
  ValueRecordPtr record =
      MakeValueRecord(DecodeValueItem(std::span<const std::uint8_t, kValueItemSize>(bytes)));
  ASSERT_TRUE(record);
  EXPECT_EQ(ValueRecordSize(c.type), c.size);
  EXPECT_EQ(record->tag, FourCC("abcd"));
  EXPECT_EQ(record->type, c.type);
  if (c.text.empty()) {
    EXPECT_EQ(record->value.number, c.number);
  } else {
    EXPECT_EQ(ValueRecordText(*record), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, ValueRecordTest,
    ::testing::Values(RecordCase{1, {0xDE, 0xAD, 0xBE, 0xEF}, 12, 0xDEADBEEF, ""},
                      RecordCase{3, {0, 0, 0, 5}, 12, 5, ""},
                      RecordCase{9, {0, 0, 1, 0}, 12, 256, ""},
                      RecordCase{7, Bytes(16, 'x'), 24, 0, std::string(15, 'x')},
                      RecordCase{8, Bytes(32, 'V'), 40, 0, std::string(31, 'V')},
                      RecordCase{8, {'E', 'O', 'S', 0, 'Z'}, 40, 0, "EOS"}));

class DeviceInfoTest : public ::testing::Test {
protected:
  void SetUp() override {
    DEVICE_INFO record = camera_.Record(u"fake:1");
    ASSERT_EQ(TaveloBindCamera(&handle_, &record), S_OK);
    VariantClear(&record.deviceId);
  }
  void TearDown() override { TaveloCloseCamera(handle_); }
  CameraSession &Session() { return **static_cast<CameraSession **>(handle_); }

  // A record full of a sentinel, so that cleared fields show.
  static DEVICE_INFO Garbage() {
    DEVICE_INFO record;
    std::memset(static_cast<void *>(&record), 0xA5, sizeof record);
    return record;
  }
  static bool AllZero(const DEVICE_INFO &record, std::size_t from = 0,
                      std::size_t to = sizeof(DEVICE_INFO)) {
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(&record);
    for (std::size_t i = from; i < to; ++i) {
      if (bytes[i] != 0) {
        return false;
      }
    }
    return true;
  }

  Runtime runtime_;
  FakeCamera camera_;
  HCAMERA handle_ = nullptr;
};

TEST_F(DeviceInfoTest, FillsEveryFieldFromABareHeaderRequest) {
  camera_.Queue(
      test::Ok(wire::kProductInfo,
               ItemList({NumberItem("hwrv", 1), NumberItem("oerv", 2), TextItem("vdid", "Tavelo"),
                         TextItem("ptid", "T-100"), TextItem("fwcn", "fw"), TextItem("cccn", "cc"),
                         TextItem("cacn", "ca"), TextItem("ipcn", "ip"), NumberItem("ucrv", 3),
                         NumberItem("ccsv", 4), NumberItem("carv", 5), NumberItem("iprn", 6),
                         NumberItem("pcnt", 7), NumberItem("scnt", 8), NumberItem("rams", 9),
                         NumberItem("hprs", 10), NumberItem("sern", 0x12345678)})));
  DEVICE_INFO record = Garbage();
  ASSERT_EQ(TaveloGetDeviceInfo(handle_, &record), S_OK);

  ASSERT_EQ(camera_.Exchanges().size(), 1u);
  const test::ExchangeRecord sent = camera_.Exchanges()[0];
  EXPECT_EQ(sent.command, wire::kProductInfo);
  EXPECT_EQ(sent.request, (Bytes{0, 0, 0, 8, 1, 0, 0, 0, 0, 1, 0, 0}));
  EXPECT_EQ(sent.lengthHint, 0u);

  EXPECT_EQ(record.reserved, 0u);
  EXPECT_EQ(record.hwrv, 1u);
  EXPECT_EQ(record.oerv, 2u);
  EXPECT_STREQ(record.vdid, "Tavelo");
  EXPECT_STREQ(record.ptid, "T-100");
  EXPECT_STREQ(record.fwcn, "fw");
  EXPECT_STREQ(record.cccn, "cc");
  EXPECT_STREQ(record.cacn, "ca");
  EXPECT_STREQ(record.ipcn, "ip");
  EXPECT_EQ((std::vector<ULONG>{record.ucrv, record.ccsv, record.carv, record.iprn, record.pcnt,
                                record.scnt, record.rams, record.hprs}),
            (std::vector<ULONG>{3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(record.sern, 0x12345678u);
  EXPECT_TRUE(AllZero(record, 240)) << "device identifier and class identifier stay zero";
}

struct ItemCase {
  const char *name;
  Bytes body;
  ULONG sern;
  std::string vdid;
  HRESULT result = S_OK;
};

class DeviceInfoItemTest : public DeviceInfoTest, public ::testing::WithParamInterface<ItemCase> {};

TEST_P(DeviceInfoItemTest, StoresOnlyMatchingTagsAndTypes) {
  const ItemCase &c = GetParam();
  camera_.Queue(test::Ok(wire::kProductInfo, c.body));
  DEVICE_INFO record = Garbage();
  ASSERT_EQ(ReadDeviceInfo(Session(), &record), c.result);
  EXPECT_EQ(record.sern, c.sern);
  EXPECT_EQ(std::string(record.vdid), c.vdid);
  DEVICE_INFO expected{};
  expected.sern = c.sern;
  std::memcpy(expected.vdid, c.vdid.c_str(), c.vdid.size());
  EXPECT_EQ(std::memcmp(&record, &expected, sizeof record), 0) << "no other field is touched";
}

INSTANTIATE_TEST_SUITE_P(
    Items, DeviceInfoItemTest,
    ::testing::Values(
        ItemCase{"NoItems", ItemList({}), 0, ""},
        ItemCase{"NoItemCount", {}, 0, "", CAM_E_BAD_DATA},
        ItemCase{"SernAsTextIsIgnored", ItemList({TextItem("sern", "12")}), 0, ""},
        ItemCase{"VdidAsNumberIsIgnored", ItemList({NumberItem("vdid", 7)}), 0, ""},
        ItemCase{"UnknownTagIsSkipped", ItemList({NumberItem("zzzz", 7), NumberItem("sern", 3)}), 3,
                 ""},
        ItemCase{"LaterDuplicateWins", ItemList({NumberItem("sern", 1), NumberItem("sern", 2)}), 2,
                 ""},
        ItemCase{"UnterminatedTextKeeps31", ItemList({TextItem("vdid", std::string(32, 'Q'))}), 0,
                 std::string(31, 'Q')},
        ItemCase{"TopBitCountReadsNothing", ItemList(0x80000000u, {NumberItem("sern", 5)}), 0, ""}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(DeviceInfoTest, CountBeyondThePacketReadsOnlyReceivedItems) {
  // The first answer leaves a vdid item in the exchange buffer where the
  // second answer's missing items would be.
  camera_.Queue(
      test::Ok(wire::kProductInfo, ItemList({NumberItem("sern", 1), TextItem("vdid", "stale")})));
  camera_.Queue(test::Ok(wire::kProductInfo, ItemList(2, {NumberItem("sern", 9)})));
  DEVICE_INFO record{};
  ASSERT_EQ(ReadDeviceInfo(Session(), &record), S_OK);
  ASSERT_STREQ(record.vdid, "stale");
  ASSERT_EQ(ReadDeviceInfo(Session(), &record), S_OK);
  EXPECT_EQ(record.sern, 9u);
  EXPECT_STREQ(record.vdid, "");
}

TEST_F(DeviceInfoTest, FailuresLeaveTheRecordZeroAndTheGateFree) {
  camera_.Queue(test::Status(wire::kProductInfo, 8));
  DEVICE_INFO record = Garbage();
  EXPECT_EQ(TaveloGetDeviceInfo(handle_, &record), CAM_E_DATA_NOT_FOUND);
  EXPECT_TRUE(AllZero(record));

  camera_.Queue(test::Reply{E_FAIL, {}});
  record = Garbage();
  EXPECT_EQ(TaveloGetDeviceInfo(handle_, &record), E_FAIL);
  EXPECT_TRUE(AllZero(record));
  EXPECT_EQ(Session().IsConnected(), CAM_S_COMPLETED) << "a transport failure drops the link";

  camera_.Queue(test::Ok(wire::kProductInfo, ItemList({})));
  EXPECT_EQ(TaveloGetDeviceInfo(handle_, &record), S_OK);
  EXPECT_EQ(Session().BusyCount(), 0);
}

TEST_F(DeviceInfoTest, ExportRefusesBadArgumentsWithoutContact) {
  DEVICE_INFO record = Garbage();
  EXPECT_EQ(TaveloGetDeviceInfo(handle_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetDeviceInfo(nullptr, &record), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(record.reserved, 0xA5A5A5A5u) << "the record stays untouched";
  EXPECT_EQ(camera_.InstancesCreated(), 0);
}

TEST_F(DeviceInfoTest, OneItemReadSendsTheTagAndMakesARecord) {
  camera_.Queue(test::Ok(wire::kProductInfo, ItemList({TextItem("ptid", "T-100")})));
  ValueRecordPtr value;
  ASSERT_EQ(ReadProductItem(Session(), FourCC("ptid"), &value), S_OK);

  const test::ExchangeRecord sent = camera_.Exchanges().at(0);
  EXPECT_EQ(sent.command, 0);
  EXPECT_EQ(sent.request, (Bytes{0, 0, 0, 12, 1, 0, 0, 0, 0, 1, 0, 0, 'p', 't', 'i', 'd'}));
  EXPECT_EQ(sent.lengthHint, 0u);
  ASSERT_TRUE(value);
  EXPECT_EQ(value->tag, FourCC("ptid"));
  EXPECT_EQ(value->type, kValueText32);
  EXPECT_EQ(ValueRecordText(*value), "T-100");
}

struct OneItemFailure {
  const char *name;
  test::Reply reply;
  HRESULT result;
};

class OneItemFailureTest : public DeviceInfoTest,
                           public ::testing::WithParamInterface<OneItemFailure> {};

TEST_P(OneItemFailureTest, GivesACodeAndNoRecord) {
  camera_.Queue(GetParam().reply);
  ValueRecordPtr value;
  EXPECT_EQ(ReadProductItem(Session(), FourCC("sern"), &value), GetParam().result);
  EXPECT_FALSE(value);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, OneItemFailureTest,
    ::testing::Values(
        OneItemFailure{"NoItem", test::Ok(wire::kProductInfo, ItemList({})), CAM_E_BAD_DATA},
        OneItemFailure{"CountTwo",
                       test::Ok(wire::kProductInfo, ItemList(2, {NumberItem("sern", 1)})),
                       CAM_E_BAD_DATA},
        OneItemFailure{"CountWithoutItem", test::Ok(wire::kProductInfo, ItemList(1, {})),
                       CAM_E_BAD_DATA},
        OneItemFailure{"Status", test::Status(wire::kProductInfo, 5), CAM_E_BAD_REQUEST_DATA},
        OneItemFailure{"Transport", test::Reply{E_FAIL, {}}, E_FAIL}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(DeviceInfoTest, OneItemReadRefusesTagZeroWithoutContact) {
  ValueRecordPtr value;
  EXPECT_EQ(ReadProductItem(Session(), 0, &value), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(camera_.InstancesCreated(), 0);
}

} // namespace
} // namespace tavelo
