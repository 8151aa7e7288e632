// Running a script and reading its description through a scripted fake
// camera.
#include "answer_builders.h"
#include "bound_camera.h"
#include "control/scripts.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <string>

namespace tavelo {
namespace {

using test::Be32;
using test::Field;

FH Handle(const char *path) {
  FH handle{};
  handle.kind = 1;
  std::strncpy(handle.path, path, sizeof handle.path - 1);
  return handle;
}

using ScriptsTest = test::BoundCameraTest;

TEST_F(ScriptsTest, RunSendsOnlyTheFileNameAndFailuresWriteNothing) {
  const FH inSystem = Handle("2:SYSTEM/HELLO.CSM");
  const FH elsewhere = Handle("3:A/B/HELLO.CSM");
  ASSERT_EQ(TaveloRunApp(handle_, &inSystem), S_OK);
  ASSERT_EQ(TaveloRunApp(handle_, &elsewhere), S_OK);
  const test::Bytes request = test::Request(wire::kRunApp, {Field("HELLO.CSM", 16)});
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
                         test::Join({Be32(0xFFFFFFFF), Field(c.text, 32), test::Bytes(8, 'x')})));
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
TEST_F(ScriptsTest, BadArgumentsAreRefusedAndHandlesWithoutAScriptNameSendNothing) {
  const FH script = Handle("2:SYSTEM/NIGHT.CSM");
  char buffer[32] = "kept";
  static const char kReadOnly[32] = "readable up to its terminator";
  EXPECT_EQ(TaveloGetScriptDescription(handle_, &script, const_cast<char *>(kReadOnly)),
            CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetScriptDescription(handle_, &script, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetScriptDescription(handle_, nullptr, buffer), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetScriptDescription(nullptr, &script, buffer), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloRunApp(handle_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloRunApp(nullptr, &script), CAM_E_BAD_PARAMETER);
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
