// The camera clock, its power, the raw exchange, the echo test and scripts
// through a scripted fake camera.
#include "answer_builders.h"
#include "bound_camera.h"
#include "control/clock.h"
#include "control/power.h"
#include "control/raw.h"
#include "control/scripts.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace tavelo {
namespace {

using test::Be32;
using test::Bytes;
using test::Field;
using test::Handle;
using test::Reply;

using ControlTest = test::BoundCameraTest;

// A bare request as the camera sees it: header only, with its command byte.
Bytes Bare(std::uint8_t command) {
  return {0, 0, 0, 8, 1, 0, 0, 0, 0, command, 0, 0};
}

struct ClockCase {
  SYSTEMTIME time;
  Bytes body; // 0x00MMDDYY 0x00HHMMSS
};

class ClockTest : public ControlTest, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(ClockTest, SetSendsAndGetDecodesTheBodyInBcd) {
  const ClockCase &c = GetParam();
  ASSERT_EQ(TaveloSetCameraTime(handle_, &c.time), S_OK);
  Bytes answer = c.body;
  answer[0] = answer[4] = 0xEE; // bytes the clock does not use
  camera_.Queue(test::Ok(wire::kGetClock, answer));
  SYSTEMTIME time{1, 1, 6, 1, 1, 1, 1, 777};
  ASSERT_EQ(TaveloGetCameraTime(handle_, &time), S_OK);

  Bytes set{0, 0, 0, 16, 1, 0, 0, 0, 0, 0x71, 0, 0};
  test::Append(set, c.body);
  EXPECT_EQ(Sent(), (Requests{{set, 12}, {Bare(0x70), 20}}));
  const auto kept = [](const SYSTEMTIME &t) {
    return std::tuple(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
  };
  EXPECT_EQ(kept(time), kept(c.time));
  EXPECT_EQ(time.wDayOfWeek, 0);
  EXPECT_EQ(time.wMilliseconds, 777) << "milliseconds are left as they were";
}

// Day of week and milliseconds are not sent; 31 February goes out as it is.
INSTANTIATE_TEST_SUITE_P(
    Times, ClockTest,
    ::testing::Values(
        ClockCase{{2069, 12, 3, 31, 23, 59, 59, 999}, {0, 0x12, 0x31, 0x69, 0, 0x23, 0x59, 0x59}},
        ClockCase{{1970, 1, 0, 1, 0, 0, 0, 0}, {0, 0x01, 0x01, 0x70, 0, 0, 0, 0}},
        ClockCase{{2000, 2, 9, 31, 7, 8, 9, 0}, {0, 0x02, 0x31, 0x00, 0, 0x07, 0x08, 0x09}},
        ClockCase{{1999, 10, 0, 15, 12, 30, 45, 1}, {0, 0x10, 0x15, 0x99, 0, 0x12, 0x30, 0x45}}));

TEST_F(ControlTest, BadClockArgumentsAreRefusedWithoutContactAndFailedReadsWriteNothing) {
  const std::vector<std::pair<WORD SYSTEMTIME::*, WORD>> outOfRange{
      {&SYSTEMTIME::wYear, 1969}, {&SYSTEMTIME::wYear, 2070}, {&SYSTEMTIME::wMonth, 0},
      {&SYSTEMTIME::wMonth, 13},  {&SYSTEMTIME::wDay, 0},     {&SYSTEMTIME::wDay, 32},
      {&SYSTEMTIME::wHour, 24},   {&SYSTEMTIME::wMinute, 60}, {&SYSTEMTIME::wSecond, 60}};
  for (const auto &[field, value] : outOfRange) {
    SYSTEMTIME time{2000, 1, 0, 1, 0, 0, 0, 0};
    time.*field = value;
    EXPECT_EQ(TaveloSetCameraTime(handle_, &time), CAM_E_BAD_PARAMETER) << value;
  }
  const SYSTEMTIME before{1, 2, 3, 4, 5, 6, 7, 8};
  SYSTEMTIME time = before;
  EXPECT_EQ(TaveloGetCameraTime(handle_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetCameraTime(handle_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());

  const std::vector<std::pair<Reply, HRESULT>> failures{
      {test::Status(wire::kGetClock, 3), CAM_E_TIMEOUT},
      {test::Ok(wire::kGetClock, {0, 1}), CAM_E_BAD_DATA}, // no whole clock body
      {Reply{E_FAIL, {}}, E_FAIL}};
  for (const auto &[reply, expected] : failures) {
    camera_.Queue(reply);
    EXPECT_EQ(TaveloGetCameraTime(handle_, &time), expected);
    EXPECT_EQ(std::memcmp(&time, &before, sizeof time), 0);
  }
}

TEST_F(ControlTest, PowerModeIsTheAnswersNumberOrZero) {
  const std::vector<std::tuple<Reply, HRESULT, ULONG>> cases{
      {test::Ok(wire::kGetPowerMode, {0xDE, 0xAD, 0xBE, 0xEF}), S_OK, 0xDEADBEEF},
      {test::Status(wire::kGetPowerMode, 0x0D), CAM_E_LOW_BATTERY, 0},
      {test::Ok(wire::kGetPowerMode, {1, 2}), CAM_E_BAD_DATA, 0}};
  for (const auto &[reply, result, expected] : cases) {
    camera_.Queue(reply);
    ULONG mode = 5;
    EXPECT_EQ(TaveloGetPowerMode(handle_, &mode), result);
    EXPECT_EQ(mode, expected);
    EXPECT_EQ(Sent().back(), std::pair(Bare(0x19), ULONG{16}));
  }
  EXPECT_EQ(TaveloGetPowerMode(handle_, nullptr), CAM_E_BAD_PARAMETER);
}

// A camera that switches off may not answer: only a failed begin counts.
TEST_F(ControlTest, PowerOffSucceedsWhateverTheAnswerAndKeepsTheLink) {
  camera_.QueueOpenResults({E_FAIL});
  EXPECT_EQ(TaveloPowerOff(handle_), CAM_E_COMM);
  EXPECT_TRUE(camera_.Exchanges().empty());
  for (const Reply &reply :
       {test::Ok(wire::kPowerOff), test::Status(wire::kPowerOff, 4), Reply{E_FAIL, {}}}) {
    camera_.Queue(reply);
    EXPECT_EQ(TaveloPowerOff(handle_), S_OK);
    EXPECT_EQ(Session().IsConnected(), S_OK);
  }
  EXPECT_EQ(Sent(), Requests(3, {Bare(0x1A), 12}));
  EXPECT_EQ(camera_.InstancesCreated(), 2) << "one link for all three";
}

// A header whose length field claims `claimed` bytes after it.
Reply Claiming(std::uint32_t claimed) {
  Bytes packet = test::Packet(0x1234, 0);
  wire::PutU32(packet, 0, claimed);
  return Reply{S_OK, packet};
}

struct RawCase {
  const char *name;
  bool bounded;
  Reply reply;
  HRESULT result;
};

class RawAnswerTest : public test::CameraTable<RawCase> {};

TEST_P(RawAnswerTest, SendsThePacketUnchangedAndReturnsOnlyAWholeAnswer) {
  const RawCase &c = GetParam();
  const Bytes request{0, 0, 0, 12, 1, 0, 0, 0, 0x12, 0x34, 0, 0, 'a', 'b', 'c', 'd'};
  camera_.SetBounded(c.bounded);
  camera_.Queue(c.reply);
  BYTE *response = nullptr;
  ULONG length = 99;
  EXPECT_EQ(TaveloRaw(handle_, request.data(), 16, &response, &length), c.result);
  const Bytes got = response != nullptr ? Bytes(response, response + length) : Bytes{};
  CoTaskMemFree(response);
  EXPECT_EQ(got, c.result == S_OK ? c.reply.packet : Bytes{}) << "a block only for a whole answer";
  EXPECT_EQ(length, got.size());

  ASSERT_EQ(camera_.Exchanges().size(), 1u);
  const test::ExchangeRecord sent = camera_.Exchanges()[0];
  EXPECT_EQ(std::tuple(sent.command, sent.request, sent.lengthHint),
            std::tuple(0, request, ULONG{0}));
  EXPECT_EQ(sent.capacity, c.bounded ? TransportAdapter::kExchangeBufferSize : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RawAnswerTest,
    ::testing::Values(RawCase{"WholeAnswer", false, test::Ok(0x1234, {9, 8, 7}), S_OK},
                      RawCase{"BareHeader", false, test::Ok(0x1234), S_OK},
                      RawCase{"BoundedTransport", true, test::Ok(0x1234, Bytes(40, 0x11)), S_OK},
                      RawCase{"Status", false, test::Status(0x1234, 7), CAM_E_FILE_NOT_FOUND},
                      RawCase{"Transport", false, Reply{E_FAIL, {}}, E_FAIL},
                      RawCase{"ClaimPastTheBuffer", false, Claiming(0xFFFFFFF0u), CAM_E_BAD_DATA},
                      RawCase{"ClaimPastWhatWasWritten", true, Claiming(100), CAM_E_BAD_DATA},
                      RawCase{"ClaimShorterThanAHeader", false, Claiming(4), CAM_E_BAD_DATA}),
    test::kCaseName);

TEST_F(ControlTest, RawRequestLengthIsBoundedBothWays) {
  Bytes request(kMaxRawRequestLength + 1, 0);
  wire::BuildHeader(request, 0x47);
  BYTE *block = nullptr;
  ULONG length = 0;
  EXPECT_EQ(TaveloRaw(handle_, request.data(), 0x8000, &block, &length), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloRaw(handle_, request.data(), 11, &block, &length), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloRaw(handle_, nullptr, 12, &block, &length), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloRaw(handle_, request.data(), 12, nullptr, &length), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloRaw(handle_, request.data(), 12, &block, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
  ASSERT_EQ(TaveloRaw(handle_, request.data(), 0x7FFF, &block, &length), S_OK);
  CoTaskMemFree(block);
  EXPECT_EQ(camera_.Exchanges().at(0).requestLength, 0x7FFFu);
}

// A camera that answers the echo with the request's own bytes.
Reply Echo(const test::ExchangeRecord &record) {
  Bytes answer = record.request;
  wire::PutU16(answer, wire::kStatusOffset, 0);
  return Reply{S_OK, answer};
}

TEST_F(ControlTest, EchoByteCountIsBoundedSoBothPacketsFitTheTransport) {
  camera_.SetHandler(Echo);
  for (ULONG count : {ULONG{0}, kMaxEchoBytes + 1, ULONG{0xFFFFFFFF}}) {
    EXPECT_EQ(TaveloTestData(handle_, count), CAM_E_BAD_PARAMETER) << count;
  }
  EXPECT_TRUE(Untouched());

  ASSERT_EQ(TaveloTestData(handle_, 1), S_OK);
  ASSERT_EQ(TaveloTestData(handle_, kMaxEchoBytes), S_OK);
  const auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(Sent()[0],
            std::pair(Bytes{0, 0, 0, 17, 1, 0, 0, 0, 0, 0x92, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0x55},
                      ULONG{21}));
  EXPECT_EQ(sent[1].requestLength, 65536u);
  EXPECT_TRUE(std::all_of(sent[1].request.begin() + 20, sent[1].request.end(),
                          [](auto b) { return b == 0x55; }));
}

TEST_F(ControlTest, WrongMissingOrRefusedEchoFails) {
  camera_.SetHandler([](const test::ExchangeRecord &record) {
    Reply reply = Echo(record);
    reply.packet[reply.packet.size() / 2 + 10] ^= 1;
    return reply;
  });
  EXPECT_EQ(TaveloTestData(handle_, 100), CAM_E_BAD_DATA);
  camera_.SetHandler([](const test::ExchangeRecord &) { return test::Ok(wire::kEcho); });
  EXPECT_EQ(TaveloTestData(handle_, 100), CAM_E_BAD_DATA);
  camera_.SetHandler([](const test::ExchangeRecord &) { return test::Status(wire::kEcho, 6); });
  EXPECT_EQ(TaveloTestData(handle_, 100), CAM_E_NO_SPACE);
}

TEST_F(ControlTest, RunSendsOnlyTheFileNameAndFailuresWriteNothing) {
  const FH inSystem = Handle("2:SYSTEM/HELLO.CSM");
  const FH elsewhere = Handle("3:A/B/HELLO.CSM");
  ASSERT_EQ(TaveloRunApp(handle_, &inSystem), S_OK);
  ASSERT_EQ(TaveloRunApp(handle_, &elsewhere), S_OK);
  const Bytes request = test::Request(wire::kRunApp, {Field("HELLO.CSM", 16)});
  EXPECT_EQ(request.size(), 28u);
  EXPECT_EQ(Sent(), (Requests{{request, 12}, {request, 12}}));

  camera_.Queue(test::Status(wire::kRunApp, 9));
  EXPECT_EQ(TaveloRunApp(handle_, &inSystem), CAM_E_FILE_TYPE);
  char buffer[32] = "kept";
  camera_.Queue(test::Status(wire::kScriptDescription, 7));
  EXPECT_EQ(TaveloGetScriptDescription(handle_, &inSystem, buffer), CAM_E_FILE_NOT_FOUND);
  camera_.Queue(test::Reply{E_FAIL, {}});
  EXPECT_EQ(TaveloGetScriptDescription(handle_, &inSystem, buffer), E_FAIL);
  EXPECT_STREQ(buffer, "kept");
  EXPECT_EQ(Session().IsConnected(), CAM_S_COMPLETED);
}

struct DescriptionCase {
  const char *name;
  std::string text; // the answer's 32 bytes, cut or padded
  const char *expected;
};

class DescriptionTest : public test::CameraTable<DescriptionCase> {};

TEST_P(DescriptionTest, CopiesAtMost31Characters) {
  const DescriptionCase &c = GetParam();
  camera_.Queue(test::Ok(wire::kScriptDescription,
                         test::Join({Be32(0xFFFFFFFF), Field(c.text, 32), Bytes(8, 'x')})));
  const FH script = Handle("2:SYSTEM/NIGHT.CSM");
  char buffer[40];
  std::memset(buffer, '#', sizeof buffer);
  ASSERT_EQ(TaveloGetScriptDescription(handle_, &script, buffer), S_OK);
  EXPECT_STREQ(buffer, c.expected);
  const std::size_t end = std::strlen(c.expected) + 1;
  EXPECT_EQ(std::string(buffer + end, sizeof buffer - end), std::string(sizeof buffer - end, '#'))
      << "nothing after the terminator is written";
  EXPECT_EQ(
      Sent(),
      (Requests{{test::Request(wire::kScriptDescription, {Be32(1), Field("NIGHT.CSM", 16)}), 56}}));
}

INSTANTIATE_TEST_SUITE_P(Answers, DescriptionTest,
                         ::testing::Values(DescriptionCase{"Text", "Night mode", "Night mode"},
                                           DescriptionCase{"Empty", "", "Unnamed or system script"},
                                           DescriptionCase{"Unterminated", std::string(32, 'd'),
                                                           "ddddddddddddddddddddddddddddddd"}),
                         test::kCaseName);

// Pointers are checked before the camera is contacted: the handle must be
// readable whole, the description buffer writable for all 32 bytes. The
// script name is looked at inside the gate: those connect but send nothing.
TEST_F(ControlTest, BadArgumentsAreRefusedAndHandlesWithoutAScriptNameSendNothing) {
  const FH script = Handle("2:SYSTEM/NIGHT.CSM");
  char buffer[32] = "kept";
  static const char kReadOnly[32] = "readable up to its terminator";
  EXPECT_EQ(TaveloGetScriptDescription(handle_, &script, const_cast<char *>(kReadOnly)),
            CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetScriptDescription(handle_, &script, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetScriptDescription(handle_, nullptr, buffer), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloRunApp(handle_, nullptr), CAM_E_BAD_PARAMETER);
  void *page = mmap(nullptr, sizeof(FH), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  const auto *unreadable = static_cast<const FH *>(page);
  EXPECT_EQ(TaveloRunApp(handle_, unreadable), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetScriptDescription(handle_, unreadable, buffer), CAM_E_BAD_PARAMETER);
  munmap(page, sizeof(FH));
  EXPECT_TRUE(Untouched());

  for (const char *path : {"2:SYSTEM/", "2:SYSTEM/LONGNAME1.CSM", "2:SYSTEM/A.B.C"}) {
    const FH named = Handle(path);
    EXPECT_EQ(TaveloRunApp(handle_, &named), CAM_E_BAD_PARAMETER) << path;
    EXPECT_EQ(TaveloGetScriptDescription(handle_, &named, buffer), CAM_E_BAD_PARAMETER) << path;
  }
  EXPECT_TRUE(camera_.Exchanges().empty());
  EXPECT_STREQ(buffer, "kept");
}

} // namespace
} // namespace tavelo
