// The raw exchange and the data echo test through a scripted fake camera.
#include "control/raw.h"
#include "control_fixture.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace tavelo {
namespace {

using Bytes = std::vector<std::uint8_t>;

class RawTest : public test::BoundCameraTest {
protected:
  void TearDown() override {
    CoTaskMemFree(response_);
    BoundCameraTest::TearDown();
  }
  HRESULT Raw(const Bytes &request) {
    return TaveloRaw(handle_, request.data(), static_cast<ULONG>(request.size()), &response_,
                     &length_);
  }

  BYTE *response_ = nullptr;
  ULONG length_ = 99;
};

TEST_F(RawTest, SendsThePacketUnchangedAndReturnsTheWholeAnswer) {
  const Bytes request{0, 0, 0, 12, 1, 0, 0, 0, 0x12, 0x34, 0, 0, 'a', 'b', 'c', 'd'};
  const Bytes answer = test::Packet(0x1234, 0, {9, 8, 7});
  camera_.Queue(test::Reply{S_OK, answer});

  ASSERT_EQ(Raw(request), S_OK);
  test::ExchangeRecord sent = OnlyExchange();
  EXPECT_EQ(sent.command, 0);
  EXPECT_EQ(sent.request, request);
  EXPECT_EQ(sent.lengthHint, 0u);
  ASSERT_EQ(length_, answer.size());
  EXPECT_EQ(Bytes(response_, response_ + length_), answer);
}

TEST_F(RawTest, BareHeaderAnswerGivesTwelveBytes) {
  camera_.Queue(test::Ok(0x01));
  ASSERT_EQ(Raw(test::Packet(0x01, 0)), S_OK);
  EXPECT_EQ(length_, 12u);
  EXPECT_EQ(Bytes(response_, response_ + length_), test::Packet(0x01, 0));
}

struct RawFailure {
  const char *name;
  bool bounded;
  test::Reply reply;
  HRESULT result;
};

class RawFailureTest : public RawTest, public ::testing::WithParamInterface<RawFailure> {};

TEST_P(RawFailureTest, WritesNoBlockAndZeroLength) {
  camera_.SetBounded(GetParam().bounded);
  camera_.Queue(GetParam().reply);
  auto *sentinel = reinterpret_cast<BYTE *>(&length_);
  response_ = sentinel;
  EXPECT_EQ(Raw(test::Packet(0x01, 0)), GetParam().result);
  EXPECT_EQ(response_, sentinel);
  EXPECT_EQ(length_, 0u);
  response_ = nullptr;
}

// A header whose length field claims `claimed` bytes after it.
test::Reply Claiming(std::uint32_t claimed) {
  Bytes packet = test::Packet(0x01, 0);
  wire::PutU32(packet, 0, claimed);
  return test::Reply{S_OK, packet};
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RawFailureTest,
    ::testing::Values(RawFailure{"Status", false, test::Status(0x01, 7), CAM_E_FILE_NOT_FOUND},
                      RawFailure{"Transport", false, test::Reply{E_FAIL, {}}, E_FAIL},
                      RawFailure{"ClaimPastTheBuffer", false, Claiming(0xFFFFFFF0u),
                                 CAM_E_BAD_DATA},
                      RawFailure{"ClaimPastWhatWasWritten", true, Claiming(100), CAM_E_BAD_DATA},
                      RawFailure{"ClaimShorterThanAHeader", false, Claiming(4), CAM_E_BAD_DATA}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(RawTest, BoundedTransportAnswerIsReturnedWhole) {
  camera_.SetBounded(true);
  camera_.Queue(test::Ok(0x03, Bytes(40, 0x11)));
  ASSERT_EQ(Raw(test::Packet(0x03, 0)), S_OK);
  EXPECT_EQ(length_, 52u);
  EXPECT_EQ(OnlyExchange().capacity, TransportAdapter::kExchangeBufferSize);
}

TEST_F(RawTest, RequestLengthIsBoundedBothWays) {
  Bytes longest(kMaxRawRequestLength, 0);
  wire::BuildHeader(longest, 0x47);
  ASSERT_EQ(Raw(longest), S_OK);
  EXPECT_EQ(OnlyExchange().requestLength, 0x7FFFu);
  CoTaskMemFree(response_);
  response_ = nullptr;

  Bytes tooLong(kMaxRawRequestLength + 1, 0);
  EXPECT_EQ(Raw(tooLong), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(Raw(Bytes(11, 0)), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(camera_.Exchanges().size(), 1u);

  BYTE *block = nullptr;
  EXPECT_EQ(TaveloRaw(handle_, nullptr, 12, &block, &length_), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloRaw(handle_, longest.data(), 12, nullptr, &length_), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloRaw(handle_, longest.data(), 12, &block, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloRaw(nullptr, longest.data(), 12, &block, &length_), CAM_E_BAD_PARAMETER);
}

// A camera that answers the echo with the request's own bytes.
test::Reply Echo(const test::ExchangeRecord &record) {
  Bytes answer = record.request;
  wire::PutU16(answer, wire::kStatusOffset, 0);
  return test::Reply{S_OK, answer};
}

class EchoTest : public test::BoundCameraTest {};

TEST_F(EchoTest, OneByteTravelsInA21BytePacket) {
  camera_.SetHandler(Echo);
  ASSERT_EQ(TaveloTestData(handle_, 1), S_OK);
  test::ExchangeRecord sent = OnlyExchange();
  EXPECT_EQ(sent.request,
            (Bytes{0, 0, 0, 17, 1, 0, 0, 0, 0, 0x92, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0x55}));
  EXPECT_EQ(sent.lengthHint, 21u);
}

TEST_F(EchoTest, ByteCountIsBoundedSoBothPacketsFitTheTransport) {
  camera_.SetHandler(Echo);
  EXPECT_EQ(TaveloTestData(handle_, 0), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloTestData(handle_, kMaxEchoBytes + 1), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloTestData(handle_, 0xFFFFFFFF), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(camera_.Exchanges().empty());

  ASSERT_EQ(TaveloTestData(handle_, kMaxEchoBytes), S_OK);
  EXPECT_EQ(OnlyExchange().requestLength, 65536u);
  const Bytes request = OnlyExchange().request;
  EXPECT_TRUE(std::all_of(request.begin() + 20, request.end(), [](auto b) { return b == 0x55; }));
}

TEST_F(EchoTest, WrongOrMissingEchoIsBadData) {
  camera_.SetHandler([](const test::ExchangeRecord &record) {
    test::Reply reply = Echo(record);
    reply.packet[reply.packet.size() / 2 + 10] ^= 1;
    return reply;
  });
  EXPECT_EQ(TaveloTestData(handle_, 100), CAM_E_BAD_DATA);

  camera_.SetHandler([](const test::ExchangeRecord &) { return test::Ok(wire::kEcho); });
  EXPECT_EQ(TaveloTestData(handle_, 100), CAM_E_BAD_DATA);

  camera_.SetHandler([](const test::ExchangeRecord &) { return test::Status(wire::kEcho, 6); });
  EXPECT_EQ(TaveloTestData(handle_, 100), CAM_E_NO_SPACE);
  EXPECT_EQ(TaveloTestData(nullptr, 100), CAM_E_BAD_PARAMETER);
}

} // namespace
} // namespace tavelo
