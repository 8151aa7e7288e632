// Product information and enumeration through scripted fake cameras: the
// device info record, the one-item read, and the transport class table.
#include "answer_builders.h"
#include "bound_camera.h"
#include "discovery/device_info.h"
#include "discovery/enum_cameras.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavelo::test {
namespace {

Bytes Number(const char (&tag)[5], std::uint32_t number) {
  return Item(Tag(tag), kValueNumber, Be32(number));
}
Bytes Text(const char (&tag)[5], const std::string &text) {
  return Item(Tag(tag), kValueText32, Bytes(text.begin(), text.end()));
}
// A product information answer: the item count, then the items.
Reply Items(const std::vector<Bytes> &items, std::optional<std::uint32_t> count = {}) {
  Bytes body = Be32(count.value_or(static_cast<std::uint32_t>(items.size())));
  for (const Bytes &item : items) {
    Append(body, item);
  }
  return Ok(wire::kProductInfo, body);
}

// A record full of a sentinel, so that every byte written shows.
DEVICE_INFO Garbage() {
  DEVICE_INFO record;
  std::memset(static_cast<void *>(&record), 0xA5, sizeof record);
  return record;
}

using DeviceInfoTest = BoundCameraTest;

TEST_F(DeviceInfoTest, FillsEveryFieldFromABareHeaderRequest) {
  camera_.Queue(Items({Number("hwrv", 1), Number("oerv", 2), Text("vdid", "Tavelo"),
                       Text("ptid", "T-100"), Text("fwcn", "fw"), Text("cccn", "cc"),
                       Text("cacn", "ca"), Text("ipcn", "ip"), Number("ucrv", 3), Number("ccsv", 4),
                       Number("carv", 5), Number("iprn", 6), Number("pcnt", 7), Number("scnt", 8),
                       Number("rams", 9), Number("hprs", 10), Number("sern", 0x12345678)}));
  DEVICE_INFO record = Garbage();
  ASSERT_EQ(TaveloGetDeviceInfo(handle_, &record), S_OK);
  EXPECT_EQ(Sent(), (Requests{{Request(wire::kProductInfo, {}), 0}}));
  EXPECT_EQ(camera_.Exchanges().at(0).command, wire::kProductInfo);
  EXPECT_EQ((std::vector<std::string>{record.vdid, record.ptid, record.fwcn, record.cccn,
                                      record.cacn, record.ipcn}),
            (std::vector<std::string>{"Tavelo", "T-100", "fw", "cc", "ca", "ip"}));
  EXPECT_EQ((std::vector<ULONG>{record.hwrv, record.oerv, record.ucrv, record.ccsv, record.carv,
                                record.iprn, record.pcnt, record.scnt, record.rams, record.hprs,
                                record.sern}),
            (std::vector<ULONG>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x12345678}));
}

struct ItemCase {
  const char *name;
  Reply reply;
  HRESULT result;
  ULONG sern;
  std::string vdid;
};

using DeviceInfoItems = CameraTable<ItemCase>;

TEST_P(DeviceInfoItems, StoreOnlyMatchingTagsAndTypesAndClearTheRest) {
  const ItemCase &c = GetParam();
  camera_.Queue(c.reply);
  DEVICE_INFO record = Garbage();
  ASSERT_EQ(TaveloGetDeviceInfo(handle_, &record), c.result);
  DEVICE_INFO expected{};
  expected.sern = c.sern;
  std::memcpy(expected.vdid, c.vdid.c_str(), c.vdid.size());
  // The record has no padding: every byte must match.
  // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison)
  EXPECT_EQ(std::memcmp(&record, &expected, sizeof record), 0)
      << record.sern << " " << std::string(record.vdid, 32);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DeviceInfoItems,
    ::testing::Values(
        ItemCase{"NoItems", Items({}), S_OK, 0, ""},
        ItemCase{"NoItemCount", Ok(wire::kProductInfo), CAM_E_BAD_DATA, 0, ""},
        ItemCase{"Status", Status(wire::kProductInfo, 8), CAM_E_DATA_NOT_FOUND, 0, ""},
        ItemCase{"Transport", Reply{E_FAIL, {}}, E_FAIL, 0, ""},
        ItemCase{"SernAsTextIsIgnored", Items({Text("sern", "12")}), S_OK, 0, ""},
        ItemCase{"VdidAsNumberIsIgnored", Items({Number("vdid", 7)}), S_OK, 0, ""},
        ItemCase{"UnknownTagIsSkipped", Items({Number("zzzz", 7), Number("sern", 3)}), S_OK, 3, ""},
        ItemCase{"LaterDuplicateWins", Items({Number("sern", 1), Number("sern", 2)}), S_OK, 2, ""},
        ItemCase{"UnterminatedTextKeeps31", Items({Text("vdid", std::string(32, 'Q'))}), S_OK, 0,
                 std::string(31, 'Q')},
        ItemCase{"LargestSignedCountReadsTheItems", Items({Number("sern", 5)}, 0x7FFFFFFF), S_OK, 5,
                 ""},
        ItemCase{"TopBitCountReadsNothing", Items({Number("sern", 5)}, 0x80000000u), S_OK, 0, ""}),
    kCaseName);

TEST_F(DeviceInfoTest, CountBeyondThePacketReadsOnlyReceivedItems) {
  // The first answer leaves a vdid item in the exchange buffer where the
  // second answer's missing item would be.
  camera_.Queue(Items({Number("sern", 1), Text("vdid", "stale")}));
  camera_.Queue(Items({Number("sern", 9)}, 2));
  DEVICE_INFO record{};
  ASSERT_EQ(TaveloGetDeviceInfo(handle_, &record), S_OK);
  ASSERT_STREQ(record.vdid, "stale");
  ASSERT_EQ(TaveloGetDeviceInfo(handle_, &record), S_OK);
  EXPECT_EQ(record.sern, 9u);
  EXPECT_STREQ(record.vdid, "");
}

TEST_F(DeviceInfoTest, RefusesBadArgumentsWithoutContact) {
  DEVICE_INFO record = Garbage();
  EXPECT_EQ(TaveloGetDeviceInfo(handle_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetDeviceInfo(nullptr, &record), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(record.reserved, 0xA5A5A5A5u) << "the record stays untouched";
  ValueRecordPtr value;
  EXPECT_EQ(ReadProductItem(Session(), 0, &value), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
}

// One item of each value type: the record's size for the type, the number
// in host order or the text up to its first NUL.
struct OneItemCase {
  std::uint32_t type;
  Bytes value;
  std::size_t recordSize;
  std::uint32_t number;
  std::string text; // for text types
};

using ProductItem = CameraTable<OneItemCase>;

TEST_P(ProductItem, SendsTheTagAndMakesARecordOfTheTypesSizeInHostOrder) {
  const OneItemCase &c = GetParam();
  camera_.Queue(Items({Item(Tag("ptid"), c.type, c.value)}));
  ValueRecordPtr value;
  ASSERT_EQ(ReadProductItem(Session(), Tag("ptid"), &value), S_OK);
  EXPECT_EQ(Sent(), (Requests{{Request(wire::kProductInfo, {Bytes{'p', 't', 'i', 'd'}}), 0}}));
  EXPECT_EQ(camera_.Exchanges().at(0).command, 0) << "the command is in the request";
  ASSERT_TRUE(value);
  EXPECT_EQ(ValueRecordSize(c.type), c.recordSize);
  EXPECT_EQ(value->tag, Tag("ptid"));
  EXPECT_EQ(value->type, c.type);
  if (c.text.empty()) {
    EXPECT_EQ(value->value.number, c.number);
  } else {
    EXPECT_EQ(ValueRecordText(*value), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, ProductItem,
    ::testing::Values(OneItemCase{1, Be32(0xDEADBEEF), 12, 0xDEADBEEF, ""},
                      OneItemCase{9, Be32(256), 12, 256, ""},
                      OneItemCase{7, Bytes(16, 'x'), 24, 0, std::string(15, 'x')},
                      OneItemCase{8, Bytes(32, 'V'), 40, 0, std::string(31, 'V')},
                      OneItemCase{8, {'E', 'O', 'S', 0, 'Z'}, 40, 0, "EOS"}));

TEST_F(DeviceInfoTest, OneItemReadFailuresGiveACodeAndNoRecord) {
  const std::pair<Reply, HRESULT> cases[] = {
      {Items({Number("sern", 1)}, 2), CAM_E_BAD_DATA},
      {Items({}, 1), CAM_E_BAD_DATA}, // a count without its item
      {Status(wire::kProductInfo, 5), CAM_E_BAD_REQUEST_DATA},
      {Reply{E_FAIL, {}}, E_FAIL}};
  for (const auto &[reply, expected] : cases) {
    camera_.Queue(reply);
    ValueRecordPtr value;
    EXPECT_EQ(ReadProductItem(Session(), Tag("sern"), &value), expected);
    EXPECT_FALSE(value);
  }
}

// Four fakes in the place of the transport classes; each device's serial
// number is the last character of its identifier, and identifiers ending in
// 'x' answer an error.
class EnumerationTest : public ::testing::Test {
protected:
  struct Runtime {
    Runtime() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~Runtime() { CoUninitialize(); }
  } runtime_;
  EnumerationTest() {
    for (std::size_t i = 0; i < kTransportClasses.size(); ++i) {
      cameras_[i] = std::make_unique<FakeCamera>(kTransportClasses[i]);
      cameras_[i]->SetHandler([](const ExchangeRecord &sent) {
        return sent.device.back() == u'x' ? Status(wire::kProductInfo, 0x0A)
                                          : Items({Number("sern", sent.device.back())});
      });
    }
  }
  ~EnumerationTest() override {
    for (ULONG i = 0; i < count_; ++i) {
      VariantClear(&records_[i].deviceId);
    }
    CoTaskMemFree(records_);
  }
  FakeCamera &Transport(std::size_t order) { return *cameras_[order - 1]; }
  std::u16string DeviceId(ULONG i) const {
    const BSTR id = records_[i].deviceId.bstrVal;
    return records_[i].deviceId.vt == VT_BSTR ? std::u16string(id, SysStringLen(id)) : u"";
  }

  std::array<std::unique_ptr<FakeCamera>, 4> cameras_;
  ULONG count_ = 0;
  DEVICE_INFO *records_ = nullptr;
};

TEST_F(EnumerationTest, RecordsFollowTableOrderThenDeviceOrderAndLeaveFailingDevicesOut) {
  Transport(1).SetDevices({u"net:x", u"net:1", u"net:x", u"net:2"});
  Transport(2).SetDevices({u"ser:a", u"ser:b"});
  Transport(3).SetDevices({u"res:c"});
  Transport(4).SetDevices({u"virt:3"});
  Transport(4).QueueOpenResults({E_FAIL});
  ASSERT_EQ(TaveloEnumCameras(&count_, &records_), S_OK);
  ASSERT_EQ(count_, 5u) << "the virtual device could not be opened";
  const std::pair<std::u16string, std::size_t> expected[] = {
      {u"net:1", 1}, {u"net:2", 1}, {u"ser:a", 2}, {u"ser:b", 2}, {u"res:c", 3}};
  for (ULONG i = 0; i < count_; ++i) {
    EXPECT_EQ(DeviceId(i), expected[i].first) << i;
    EXPECT_EQ(records_[i].transportClsid, Transport(expected[i].second).ClassIdText()) << i;
    EXPECT_EQ(records_[i].sern, static_cast<ULONG>(expected[i].first.back())) << i;
  }
}

TEST_F(EnumerationTest, BadOutputsAreRefusedWithoutContactAndNothingFoundIsNoCamera) {
  EXPECT_EQ(TaveloEnumCameras(nullptr, &records_), CAM_E_BAD_PARAMETER);
  count_ = 7;
  EXPECT_EQ(TaveloEnumCameras(&count_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(count_, 0u);
  for (std::size_t order = 1; order <= 4; ++order) {
    EXPECT_EQ(Transport(order).InstancesCreated(), 0) << order;
  }

  Transport(1).SetDevices({u"net:x"});
  Transport(2).SetEnumeratorResult(E_FAIL);
  Transport(2).SetDevices({u"ser:1"});
  Transport(3).SetEnumeratorResult(S_FALSE);
  Transport(3).SetDevices({u"res:1"});
  count_ = 99;
  records_ = reinterpret_cast<DEVICE_INFO *>(&count_); // must be replaced by null
  EXPECT_EQ(TaveloEnumCameras(&count_, &records_), CAM_E_NO_CAMERA);
  EXPECT_EQ(count_, 0u);
  EXPECT_EQ(records_, nullptr);
  DeviceRecords found; // a class without a component
  EXPECT_EQ(ProbeTransport(u"{00000000-0000-0000-0000-000000000001}", &found), CAM_E_NO_CAMERA);
  EXPECT_TRUE(found.Empty());
}

} // namespace
} // namespace tavelo::test
