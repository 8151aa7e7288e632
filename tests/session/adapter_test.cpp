// The transport adapter and the packet header through a fake component.
#include "fake_transport.h"
#include "session/transport_adapter.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace tavelo {
namespace {

using test::FakeCamera;

struct Runtime {
  Runtime() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~Runtime() { CoUninitialize(); }
};

std::u16string Wide(const std::string &text) {
  return {text.begin(), text.end()};
}

TEST(PacketHeader, LengthFieldComesFromTheBufferSize) {
  std::array<std::uint8_t, 16> request{};
  wire::BuildHeader(request, 0x01);
  EXPECT_EQ(std::vector<std::uint8_t>(request.begin(), request.begin() + 12),
            (std::vector<std::uint8_t>{0, 0, 0, 0x0C, 1, 0, 0, 0, 0, 0x01, 0, 0}));

  std::array<std::uint8_t, 120> drive{};
  wire::BuildHeader(drive, 0x05);
  EXPECT_EQ(wire::GetU32(drive, 0), 0x74u);
  EXPECT_EQ(wire::GetU16(drive, 8), 0x05u);
}

class AdapterTest : public ::testing::Test {
protected:
  Runtime runtime_;
  FakeCamera camera_;
};

TEST_F(AdapterTest, BareHeaderCarriesTheCommandCodeHighByteFirst) {
  TransportAdapter adapter(Wide(camera_.ClassIdText()).c_str());
  ASSERT_TRUE(adapter.IsInitialised());
  std::array<BYTE, 12> response{};
  EXPECT_EQ(adapter.Exchange(0x0103, {}, response, 12), S_OK);
  auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].command, 0x0103);
  EXPECT_EQ(sent[0].requestLength, 12u);
  EXPECT_EQ(sent[0].request, (std::vector<std::uint8_t>{0, 0, 0, 8, 1, 0, 0, 0, 0x01, 0x03, 0, 0}));
}

TEST_F(AdapterTest, ReceivedSizeNeverPassesTheBufferWhateverTheLengthFieldClaims) {
  TransportAdapter adapter(Wide(camera_.ClassIdText()).c_str());
  auto packet = test::Packet(0x40, 0, std::vector<std::uint8_t>(8, 0xAB));
  packet[0] = 0x7F; // claims about 2 GB
  camera_.Queue(test::Reply{S_OK, packet});
  std::size_t received = 0;
  EXPECT_EQ(adapter.Exchange(0x40, {}, adapter.ExchangeBuffer(), 0, &received), S_OK);
  EXPECT_EQ(received, TransportAdapter::kExchangeBufferSize);

  camera_.Queue(test::Ok(0x40, std::vector<std::uint8_t>(8, 1)));
  EXPECT_EQ(adapter.Exchange(0x40, {}, adapter.ExchangeBuffer(), 0, &received), S_OK);
  EXPECT_EQ(received, 20u);
}

TEST_F(AdapterTest, MalformedClassIdGivesAnAdapterWithoutComponent) {
  TransportAdapter adapter(u"{not-a-class-id}");
  EXPECT_FALSE(adapter.IsInitialised());
  std::array<BYTE, 12> response{};
  EXPECT_EQ(adapter.Exchange(0x03, {}, response, 12), E_UNEXPECTED);
  EXPECT_LT(adapter.Open(), 0);
  EXPECT_EQ(adapter.Configure(VARIANT{}), S_OK);
  ULONG count = 99;
  VARIANT *ids = nullptr;
  EXPECT_EQ(adapter.EnumerateDevices(&count, &ids), E_UNEXPECTED);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(camera_.InstancesCreated(), 0);
}

TEST_F(AdapterTest, EnumeratesDevicesInOrder) {
  camera_.SetDevices({u"fake:a", u"fake:b", u"fake:c"});
  TransportAdapter adapter(Wide(camera_.ClassIdText()).c_str());
  ULONG count = 0;
  VARIANT *ids = nullptr;
  ASSERT_EQ(adapter.EnumerateDevices(&count, &ids), S_OK);
  ASSERT_EQ(count, 3u);
  const char16_t *expected[] = {u"fake:a", u"fake:b", u"fake:c"};
  for (ULONG i = 0; i < count; ++i) {
    ASSERT_EQ(ids[i].vt, VT_BSTR);
    EXPECT_EQ(std::u16string(ids[i].bstrVal), expected[i]);
    VariantClear(&ids[i]);
  }
  CoTaskMemFree(ids);
}

TEST_F(AdapterTest, NoDeviceIsCommErrorAndEnumeratorFailurePassesThrough) {
  TransportAdapter adapter(Wide(camera_.ClassIdText()).c_str());
  ULONG count = 5;
  VARIANT *ids = nullptr;
  EXPECT_EQ(adapter.EnumerateDevices(&count, &ids), CAM_E_COMM);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(ids, nullptr);

  camera_.SetDevices({u"fake:a"});
  camera_.SetEnumeratorResult(S_FALSE);
  EXPECT_EQ(adapter.EnumerateDevices(&count, &ids), S_FALSE);
  EXPECT_EQ(count, 0u);
}

} // namespace
} // namespace tavelo
