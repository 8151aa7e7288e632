// The message table as an application reads it: FormatMessageA on the
// TAVELOCAM module. On POSIX the platform runtime's FormatMessageA finds the
// table through tavelort_message_table and returns UTF-8.
#include "message_files.h"
#include "tavelo/win32.h"
#include "tavelocam.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace tavelo::test {
namespace {

constexpr DWORD kChineseSimplified = 0x0804; // language 2052: primary 0x04, sublanguage 2

// The test is linked with libtavelocam.so the way an application is; using one
// export keeps the linker from dropping the library, so LoadLibraryA finds it
// already in the process.
const void *volatile gLinkedExport = reinterpret_cast<const void *>(&TaveloInitialize);

HMODULE Module() {
  static const HMODULE module = LoadLibraryA("TAVELOCAM");
  return module;
}

// FormatMessageA into a fixed buffer. *result is its return value: the
// length of the text, or 0 when there is no message.
std::string Format(DWORD flags, DWORD code, DWORD language, DWORD *result,
                   const DWORD_PTR *arguments = nullptr) {
  char buffer[512] = {};
  *result = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | flags, Module(), code, language, buffer,
                           sizeof buffer,
                           reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(arguments)));
  return std::string(buffer, *result);
}

TEST(FormatMessage, ModuleLoads) {
  EXPECT_NE(Module(), nullptr);
}

class FormatEveryMessage : public ::testing::TestWithParam<MessageRow> {};

TEST_P(FormatEveryMessage, GivesTheTextOfMessagesTxtWithCrLf) {
  DWORD result = 0;
  const std::string text = Format(FORMAT_MESSAGE_IGNORE_INSERTS, GetParam().code, 0, &result);
  EXPECT_EQ(text, GetParam().text + "\r\n");
  EXPECT_EQ(result, text.size());
}

TEST_P(FormatEveryMessage, IsFoundInChineseSimplified) {
  DWORD result = 0;
  const std::string text =
      Format(FORMAT_MESSAGE_IGNORE_INSERTS, GetParam().code, kChineseSimplified, &result);
  EXPECT_EQ(text, GetParam().text + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(MessagesTxt, FormatEveryMessage,
                         ::testing::ValuesIn(ReadMessageRows(TAVELO_MESSAGES_TXT)),
                         [](const ::testing::TestParamInfo<MessageRow> &info) {
                           return info.param.name;
                         });

TEST(FormatMessage, SuccessAndCompletedGiveTheSameText) {
  DWORD first = 0;
  DWORD second = 0;
  const std::string success = Format(FORMAT_MESSAGE_IGNORE_INSERTS, 0, 0, &first);
  const std::string completed =
      Format(FORMAT_MESSAGE_IGNORE_INSERTS, static_cast<DWORD>(CAM_S_COMPLETED), 0, &second);
  ASSERT_NE(first, 0u);
  EXPECT_EQ(success, completed);
  EXPECT_EQ(success, "该相机功能成功地完成。\r\n");
}

TEST(FormatMessage, FileNotFoundKeepsPercentOneWhenInsertsAreIgnored) {
  DWORD result = 0;
  EXPECT_EQ(
      Format(FORMAT_MESSAGE_IGNORE_INSERTS, static_cast<DWORD>(CAM_E_FILE_NOT_FOUND), 0, &result),
      "在相机中找不到请求的文件 %1.\r\n");
}

TEST(FormatMessage, FileNotFoundTakesTheFileNameFromAnArgumentArray) {
  const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>("IMG_0001.JPG")};
  DWORD result = 0;
  EXPECT_EQ(Format(FORMAT_MESSAGE_ARGUMENT_ARRAY, static_cast<DWORD>(CAM_E_FILE_NOT_FOUND), 0,
                   &result, arguments),
            "在相机中找不到请求的文件 IMG_0001.JPG.\r\n");
}

TEST(FormatMessage, AllocatesTheBufferWhenAsked) {
  char *text = nullptr;
  const DWORD result = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      Module(), static_cast<DWORD>(CAM_E_ABORTED), 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text, result), "放弃操作。\r\n");
  LocalFree(text);
}

// Error codes from status words without a name, among them 0xCFFA0014 (not
// the success code 0x0FFA0014).
class FormatUnnamedCode : public ::testing::TestWithParam<DWORD> {};

TEST_P(FormatUnnamedCode, FailsWithMessageNotFound) {
  DWORD result = 1;
  Format(FORMAT_MESSAGE_IGNORE_INSERTS, GetParam(), 0, &result);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

INSTANTIATE_TEST_SUITE_P(StatusWords, FormatUnnamedCode,
                         ::testing::Values(0xCFFA0014u, 0xCFFA000Eu, 0xCFFA0022u, 0xCFFA03E7u),
                         [](const ::testing::TestParamInfo<DWORD> &info) {
                           char name[16];
                           std::snprintf(name, sizeof name, "x%08X",
                                         static_cast<unsigned>(info.param));
                           return std::string(name);
                         });

} // namespace
} // namespace tavelo::test
