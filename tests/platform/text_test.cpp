// Code-page conversion, CharUpperA and message boxes.
#include "tavelo/tavelort.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

namespace {

// Converts with the size query first, as callers do.
std::u16string to_wide(const std::string &text, UINT code_page) {
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(code_page, 0, text.data(), length, nullptr, 0);
  std::u16string out(static_cast<std::size_t>(needed), u'\0');
  EXPECT_EQ(MultiByteToWideChar(code_page, 0, text.data(), length, out.data(), needed), needed);
  return out;
}

std::string to_narrow(const std::u16string &text) {
  const int length = static_cast<int>(text.size());
  const int needed =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(needed), '\0');
  EXPECT_EQ(
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), needed, nullptr, nullptr),
      needed);
  return out;
}

const std::u16string kLoneSurrogates = u"a\xD83Dz\xDCF7";

TEST(Text, Utf8AndUtf16ConvertWithReplacementCharactersForInvalidInput) {
  enum Way { both, decode, encode };
  const struct {
    std::string utf8;
    std::u16string utf16;
    Way way;
  } cases[] = {
      {"camera", u"camera", both},
      {"\xE7\x9B\xB8\xE6\x9C\xBA", u"相机", both},
      {"\xF0\x9F\x93\xB7", u"\U0001F4F7", both},
      {"a\xFFz", u"a\uFFFDz", decode},                           // never a lead byte
      {"a\x80z", u"a\uFFFDz", decode},                           // stray continuation
      {"\xE7\x9B", u"\uFFFD", decode},                           // cut at the end
      {"\xE7\x9Bz", u"\uFFFDz", decode},                         // cut before ASCII
      {"\xC0\xAF", u"\uFFFD\uFFFD", decode},                     // overlong
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD", decode},           // overlong '/'
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", decode},           // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", decode}, // above Unicode
      {"a\xEF\xBF\xBDz\xEF\xBF\xBD", kLoneSurrogates, encode},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.utf8));
    if (c.way != encode) {
      EXPECT_EQ(to_wide(c.utf8, CP_UTF8), c.utf16);
      EXPECT_EQ(to_wide(c.utf8, CP_ACP), c.utf16);
    }
    if (c.way != decode) {
      EXPECT_EQ(to_narrow(c.utf16), c.utf8);
    }
  }
}

TEST(Text, RefusalsNameTheirReasonAndWriteNothingPastTheRoom) {
  const struct {
    UINT code_page;
    DWORD flags;
    const char *text;
    int length, room;
    DWORD error;
  } cases[] = {
      {CP_UTF8, 0, "abcd", -1, 3, ERROR_INSUFFICIENT_BUFFER},
      {936, 0, "a", 1, 4, ERROR_INVALID_PARAMETER},
      {CP_UTF8, 0, "a", 0, 4, ERROR_INVALID_PARAMETER},
      {CP_UTF8, 0, "a", -2, 4, ERROR_INVALID_PARAMETER},
      {CP_UTF8, 1 /* MB_PRECOMPOSED */, "a", 1, 4, ERROR_INVALID_FLAGS},
      {CP_UTF8, MB_ERR_INVALID_CHARS, "\xFF", 1, 4, ERROR_NO_UNICODE_TRANSLATION},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.code_page << " " << c.flags << " " << c.length);
    std::array<WCHAR, 5> wide{};
    wide.fill(u'x');
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(c.code_page, c.flags, c.text, c.length, wide.data(), c.room), 0);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(wide[static_cast<std::size_t>(c.room)], u'x');
  }
  std::array<char, 4> narrow{};
  narrow.fill('x');
  // Three characters of three bytes each do not fit in three bytes.
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"相机相", 3, narrow.data(), 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(narrow[3], 'x');
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, kLoneSurrogates.data(), 2,
                                narrow.data(), 4, nullptr, nullptr),
            0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(Text, MinusOneCountsTheTerminatorAndDefaultCharactersAreAnsiOnly) {
  std::array<WCHAR, 4> wide{};
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 1 /* MB_PRECOMPOSED */, "abc", -1, wide.data(), 4), 4);
  EXPECT_EQ(std::u16string(wide.data(), 4), std::u16string(u"abc\0", 4));
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"相", -1, nullptr, 0, nullptr, nullptr), 4);
  BOOL used = FALSE;
  std::array<char, 16> out{};
  EXPECT_EQ(
      WideCharToMultiByte(CP_ACP, 0, kLoneSurrogates.data(), 2, out.data(), 16, nullptr, &used), 4);
  EXPECT_TRUE(used);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, out.data(), 16, nullptr, &used), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CharUpper, ChangesAsciiOnlyAndTakesACharacterForAPointer) {
  std::string name = "img_0001.jpg \xC3\xA9";
  EXPECT_EQ(CharUpperA(name.data()), name.data());
  EXPECT_EQ(name, "IMG_0001.JPG \xC3\xA9");
  // A value below 0x10000 is one character, not a pointer.
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(CharUpperA(reinterpret_cast<LPSTR>('q'))), 'Q');
}

void capture(const char *text, const char *caption, void *seen) {
  static_cast<std::vector<std::string> *>(seen)->push_back(std::string(caption) + ": " + text);
}

TEST(MessageBoxes, GoToTheHookFromAnyThreadOrElseToStandardError) {
  std::vector<std::string> seen;
  tavelort_set_message_box_hook(capture, &seen);
  EXPECT_EQ(MessageBoxA(nullptr, "Bad component pointer", "IsInit", MB_OK), IDOK);
  std::thread([] { MessageBoxA(nullptr, "teardown", "Fault", MB_OK); }).join();
  EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, MB_OK), IDOK);
  tavelort_set_message_box_hook(nullptr, nullptr);
  EXPECT_EQ(seen, (std::vector<std::string>{"IsInit: Bad component pointer", "Fault: teardown",
                                            "Error: "}));
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(nullptr, "text here", "CAPTION", MB_OK), IDOK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "CAPTION: text here\n");
}

} // namespace
