// Enumeration over the transport class table, with a scripted fake camera
// registered under each of the table's class identifiers.
#include "discovery/enum_cameras.h"
#include "fake_transport.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tavelo {
namespace {

using test::ExchangeRecord;
using test::FakeCamera;
using test::Reply;

struct Runtime {
  Runtime() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~Runtime() { CoUninitialize(); }
};

// A product information answer holding one "sern" item.
Reply SerialNumber(std::uint32_t sern) {
  std::vector<std::uint8_t> body(4 + 40, 0);
  body[3] = 1;
  std::memcpy(&body[4], "sern", 4);
  body[11] = 1; // type 1
  body[12] = static_cast<std::uint8_t>(sern >> 24);
  body[13] = static_cast<std::uint8_t>(sern >> 16);
  body[14] = static_cast<std::uint8_t>(sern >> 8);
  body[15] = static_cast<std::uint8_t>(sern);
  return test::Ok(wire::kProductInfo, body);
}

std::u16string DeviceIdOf(const DEVICE_INFO &record) {
  if (record.deviceId.vt != VT_BSTR || record.deviceId.bstrVal == nullptr) {
    return {};
  }
  return {record.deviceId.bstrVal, SysStringLen(record.deviceId.bstrVal)};
}

std::string ClassIdText(const CLSID &clsid) {
  std::array<OLECHAR, 64> wide{};
  StringFromGUID2(clsid, wide.data(), static_cast<int>(wide.size()));
  return std::string(wide.begin(), wide.begin() + 38);
}

class EnumerationTest : public ::testing::Test {
protected:
  EnumerationTest() {
    for (std::size_t i = 0; i < kTransportClasses.size(); ++i) {
      cameras_[i] = std::make_unique<FakeCamera>(kTransportClasses[i]);
      // Every device answers with a serial number made from its identifier's
      // last character; identifiers ending in 'x' fail.
      cameras_[i]->SetHandler([](const ExchangeRecord &record) {
        char16_t last = record.device.empty() ? u'?' : record.device.back();
        if (last == u'x') {
          return test::Status(wire::kProductInfo, 0x0A);
        }
        return SerialNumber(static_cast<std::uint32_t>(last));
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

  Runtime runtime_;
  std::array<std::unique_ptr<FakeCamera>, 4> cameras_;
  ULONG count_ = 0;
  DEVICE_INFO *records_ = nullptr;
};

TEST_F(EnumerationTest, RecordsFollowTableOrderThenEnumeratorOrder) {
  Transport(1).SetDevices({u"net:a", u"net:b"});
  Transport(3).SetDevices({u"res:c"});

  ASSERT_EQ(TaveloEnumCameras(&count_, &records_), S_OK);
  ASSERT_EQ(count_, 3u);
  const std::vector<std::pair<std::u16string, const CLSID *>> expected{
      {u"net:a", &CLSID_TaveloNetTransport},
      {u"net:b", &CLSID_TaveloNetTransport},
      {u"res:c", &CLSID_TaveloReservedTransport}};
  for (ULONG i = 0; i < count_; ++i) {
    EXPECT_EQ(DeviceIdOf(records_[i]), expected[i].first) << i;
    EXPECT_EQ(std::string(records_[i].transportClsid), ClassIdText(*expected[i].second)) << i;
    EXPECT_EQ(records_[i].sern, static_cast<ULONG>(expected[i].first.back())) << i;
  }
}

TEST_F(EnumerationTest, EachTransportListsOnOneInstanceAndReadsEachDeviceOnItsOwn) {
  Transport(2).SetDevices({u"ser:a", u"ser:b"});
  ASSERT_EQ(TaveloEnumCameras(&count_, &records_), S_OK);

  FakeCamera &serial = Transport(2);
  EXPECT_EQ(serial.InstancesCreated(), 3) << "one listing instance and one per device";
  EXPECT_EQ(serial.InstancesReleased(), 3);
  EXPECT_EQ(serial.Configured(), (std::vector<std::u16string>{u"ser:a", u"ser:b"}));
  const auto exchanges = serial.Exchanges();
  ASSERT_EQ(exchanges.size(), 2u);
  EXPECT_EQ(exchanges[0].instance, 2);
  EXPECT_EQ(exchanges[0].device, u"ser:a");
  EXPECT_EQ(exchanges[1].instance, 3);
  EXPECT_EQ(exchanges[1].device, u"ser:b");
  for (const ExchangeRecord &sent : exchanges) {
    EXPECT_EQ(sent.command, wire::kProductInfo);
    EXPECT_EQ(sent.requestLength, wire::kHeaderSize);
  }
  for (std::size_t order : {1, 3, 4}) {
    EXPECT_EQ(Transport(order).InstancesCreated(), Transport(order).InstancesReleased());
    EXPECT_TRUE(Transport(order).Exchanges().empty()) << order;
  }
}

TEST_F(EnumerationTest, FailingDevicesAreLeftOutAndKeptOnesKeepTheirIdentifiers) {
  Transport(1).SetDevices({u"net:x", u"net:1", u"net:x", u"net:2"});
  Transport(4).SetDevices({u"virt:3"});
  Transport(4).QueueOpenResults({E_FAIL}); // the listing instance is never opened

  ASSERT_EQ(TaveloEnumCameras(&count_, &records_), S_OK);
  ASSERT_EQ(count_, 2u) << "the virtual device's open failed";
  EXPECT_EQ(DeviceIdOf(records_[0]), u"net:1");
  EXPECT_EQ(records_[0].sern, static_cast<ULONG>(u'1'));
  EXPECT_EQ(DeviceIdOf(records_[1]), u"net:2");
  EXPECT_EQ(records_[1].sern, static_cast<ULONG>(u'2'));
}

TEST_F(EnumerationTest, NothingFoundIsNoCamera) {
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
}

TEST_F(EnumerationTest, AnEnumeratedRecordBindsToItsDevice) {
  Transport(2).SetDevices({u"ser:5", u"ser:6"});
  ASSERT_EQ(TaveloEnumCameras(&count_, &records_), S_OK);
  ASSERT_EQ(count_, 2u);

  HCAMERA camera = nullptr;
  ASSERT_EQ(TaveloBindCamera(&camera, &records_[1]), S_OK);
  DEVICE_INFO info{};
  EXPECT_EQ(TaveloGetDeviceInfo(camera, &info), S_OK);
  EXPECT_EQ(info.sern, static_cast<ULONG>(u'6'));
  EXPECT_EQ(Transport(2).Exchanges().back().device, u"ser:6");
  TaveloCloseCamera(camera);
}

TEST_F(EnumerationTest, RefusesUnwritableOutputs) {
  EXPECT_EQ(TaveloEnumCameras(nullptr, &records_), CAM_E_BAD_PARAMETER);
  count_ = 7;
  EXPECT_EQ(TaveloEnumCameras(&count_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(count_, 0u);
  for (std::size_t order = 1; order <= 4; ++order) {
    EXPECT_EQ(Transport(order).InstancesCreated(), 0) << order;
  }
}

TEST(EnumerationWithoutComponents, UnknownClassContributesNothing) {
  Runtime runtime;
  DeviceRecords found;
  EXPECT_EQ(ProbeTransport(u"{00000000-0000-0000-0000-000000000001}", &found), CAM_E_NO_CAMERA);
  EXPECT_TRUE(found.Empty());
}

} // namespace
} // namespace tavelo
