// Code-page conversion, the lstr functions, wsprintfA and message boxes.
#include "tavelo/tavelort.h"

#include <gtest/gtest.h>

#include <array>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

std::u16string to_wide(const std::string &text, UINT code_page = CP_UTF8) {
  const int needed =
      MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::u16string out(static_cast<std::size_t>(needed), u'\0');
  EXPECT_EQ(MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()),
                                out.data(), needed),
            needed);
  return out;
}

std::string to_narrow(const std::u16string &text, UINT code_page = CP_UTF8) {
  const int needed = WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(needed), '\0');
  EXPECT_EQ(WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()),
                                out.data(), needed, nullptr, nullptr),
            needed);
  return out;
}

struct Decoding {
  const char *name;
  std::string utf8;
  std::u16string utf16;
};

void PrintTo(const Decoding &value, std::ostream *out) {
  *out << value.name;
}

class Utf8Decoding : public testing::TestWithParam<Decoding> {};

TEST_P(Utf8Decoding, GivesTheExpectedUnits) {
  EXPECT_EQ(to_wide(GetParam().utf8), GetParam().utf16);
  EXPECT_EQ(to_wide(GetParam().utf8, CP_ACP), GetParam().utf16);
}

INSTANTIATE_TEST_SUITE_P(
    Text, Utf8Decoding,
    testing::Values(Decoding{"Ascii", "camera", u"camera"},
                    Decoding{"ThreeByte", "\xE7\x9B\xB8\xE6\x9C\xBA", u"相机"},
                    Decoding{"FourByte", "\xF0\x9F\x93\xB7", u"\U0001F4F7"},
                    Decoding{"NeverALeadByte",
                             "a\xFF"
                             "b",
                             u"a\uFFFDb"},
                    Decoding{"StrayContinuation",
                             "a\x80"
                             "b",
                             u"a\uFFFDb"},
                    Decoding{"CutAtTheEnd", "\xE7\x9B", u"\uFFFD"},
                    Decoding{"CutBeforeAscii",
                             "\xE7\x9B"
                             "a",
                             u"\uFFFDa"},
                    Decoding{"Overlong", "\xC0\xAF", u"\uFFFD\uFFFD"},
                    Decoding{"EncodedSurrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
                    Decoding{"AboveUnicode", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}),
    [](const testing::TestParamInfo<Decoding> &info) { return std::string(info.param.name); });

TEST(Text, UnpairedSurrogatesBecomeReplacementCharacters) {
  const std::u16string lone = {u'a', static_cast<char16_t>(0xD83D), u'b',
                               static_cast<char16_t>(0xDCF7)};
  EXPECT_EQ(to_narrow(lone), "a\xEF\xBF\xBD"
                             "b\xEF\xBF\xBD");
  EXPECT_EQ(to_narrow(u"\U0001F4F7相机"), "\xF0\x9F\x93\xB7\xE7\x9B\xB8\xE6\x9C\xBA");
  BOOL used = FALSE;
  std::array<char, 16> out{};
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, lone.data(), 2, out.data(), 16, nullptr, &used), 4);
  EXPECT_TRUE(used);
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone.data(), 2, out.data(), 16,
                                nullptr, nullptr),
            0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(Text, MinusOneCountsTheTerminator) {
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0), 4);
  std::array<WCHAR, 4> wide{};
  wide.fill(u'x');
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide.data(), 4), 4);
  EXPECT_EQ(std::u16string(wide.data()), u"abc");
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"相", -1, nullptr, 0, nullptr, nullptr), 4);
}

TEST(Text, ShortBuffersFailWithoutOverrun) {
  std::array<WCHAR, 4> wide{};
  wide.fill(u'x');
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcd", -1, wide.data(), 3), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(wide[3], u'x');

  std::array<char, 4> narrow{};
  narrow.fill('x');
  SetLastError(0);
  // Three characters of three bytes each do not fit in three bytes.
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"相机相", 3, narrow.data(), 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(narrow[3], 'x');
}

TEST(Text, BadArgumentsAreRefused) {
  std::array<WCHAR, 4> wide{};
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(936, 0, "a", 1, wide.data(), 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 1, wide.data(), 4), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a", 0, wide.data(), 4), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a", -2, wide.data(), 4), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a", 1, nullptr, 4), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 1 /* MB_PRECOMPOSED */, "a", 1, wide.data(), 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 1 /* MB_PRECOMPOSED */, "a", 1, wide.data(), 4), 1);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xFF", 1, wide.data(), 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  BOOL used = FALSE;
  std::array<char, 4> narrow{};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, narrow.data(), 4, nullptr, &used), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Strings, CompareLikeStrcmpWithSignsOnly) {
  EXPECT_EQ(lstrcmpA("abc", "abc"), 0);
  EXPECT_EQ(lstrcmpA("abc", "abd"), -1);
  EXPECT_EQ(lstrcmpA("abz", "abc"), 1);
  EXPECT_EQ(lstrcmpA("ab", "abc"), -1);
  EXPECT_EQ(lstrcmpA("\xE7", "a"), 1); // bytes compare unsigned
  EXPECT_EQ(lstrcmpA("B", "a"), -1);
  EXPECT_EQ(lstrcmpiA("B", "a"), 1);
  EXPECT_EQ(lstrcmpiA("DCIM", "dcim"), 0);
  EXPECT_EQ(lstrcmpiA("img_0001.JPG", "IMG_0002.jpg"), -1);
  EXPECT_EQ(lstrcmpA(nullptr, ""), 0);
  EXPECT_EQ(lstrcmpA(nullptr, "a"), -1);
}

TEST(Strings, LengthAndCopies) {
  EXPECT_EQ(lstrlenA(nullptr), 0);
  EXPECT_EQ(lstrlenA("DCIM"), 4);

  std::array<char, 8> buffer{};
  buffer.fill('x');
  EXPECT_EQ(lstrcpynA(buffer.data(), "abcdefgh", 4), buffer.data());
  EXPECT_STREQ(buffer.data(), "abc");
  EXPECT_EQ(buffer[4], 'x');
  EXPECT_EQ(lstrcpynA(buffer.data(), "ab", 8), buffer.data());
  EXPECT_STREQ(buffer.data(), "ab");
  buffer.fill('x');
  EXPECT_EQ(lstrcpynA(buffer.data(), "ab", 0), buffer.data());
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(lstrcpynA(buffer.data(), nullptr, 8), nullptr);

  std::array<char, 16> text{};
  EXPECT_EQ(lstrcpyA(text.data(), "0:\\"), text.data());
  EXPECT_EQ(lstrcatA(text.data(), "DCIM"), text.data());
  EXPECT_STREQ(text.data(), "0:\\DCIM");
}

TEST(Strings, CharUpperChangesAsciiOnly) {
  std::string text = "img_0001.jpg \xC3\xA9";
  EXPECT_EQ(CharUpperA(text.data()), text.data());
  EXPECT_EQ(text, "IMG_0001.JPG \xC3\xA9");
  // A value below 0x10000 is one character, not a pointer.
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(CharUpperA(reinterpret_cast<LPSTR>('q'))),
            static_cast<std::uintptr_t>('Q'));
}

TEST(Wsprintf, FormatsWithWindowsArgumentSizes) {
  std::array<char, 1024> buffer{};
  const DWORD big = 0xFFFFFFFFu;
  const LONG negative = -5;
  EXPECT_EQ(wsprintfA(buffer.data(), "%lu|%ld|%d|%u", big, negative, negative, 7u), 18);
  EXPECT_STREQ(buffer.data(), "4294967295|-5|-5|7");
  wsprintfA(buffer.data(), "%d:%s%s", 0, "\\DCIM\\", "IMG.JPG");
  EXPECT_STREQ(buffer.data(), "0:\\DCIM\\IMG.JPG");
  wsprintfA(buffer.data(), "[%5d][%-4s][%04X][%x][%c][%%]", 42, "ab", 0xBEEFu, 255u, 'z');
  EXPECT_STREQ(buffer.data(), "[   42][ab  ][BEEF][ff][z][%]");
  wsprintfA(buffer.data(), "%s|%S|%I64u", static_cast<const char *>(nullptr), u"相机",
            0x100000000ull);
  EXPECT_STREQ(buffer.data(), "(null)|相机|4294967296");
}

TEST(Wsprintf, StopsAtTheWindowsLimit) {
  std::vector<char> buffer(4096, 'x');
  const std::string long_text(3000, 'a');
  EXPECT_EQ(wsprintfA(buffer.data(), "%s", long_text.c_str()), 1023);
  EXPECT_EQ(buffer[1022], 'a');
  EXPECT_EQ(buffer[1023], '\0');
  EXPECT_EQ(buffer[1024], 'x');
}

struct Boxes {
  std::mutex mutex;
  std::vector<std::pair<std::string, std::string>> seen;
};

void capture(const char *text, const char *caption, void *context) {
  auto *boxes = static_cast<Boxes *>(context);
  const std::lock_guard lock(boxes->mutex);
  boxes->seen.emplace_back(caption, text);
}

TEST(MessageBoxes, GoToTheHookFromAnyThread) {
  Boxes boxes;
  tavelort_set_message_box_hook(capture, &boxes);
  EXPECT_EQ(MessageBoxA(nullptr, "Bad component pointer", "IsInit", MB_OK), IDOK);
  std::thread([] { MessageBoxA(nullptr, "teardown", "Fault", MB_OK); }).join();
  EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, MB_OK), IDOK);
  tavelort_set_message_box_hook(nullptr, nullptr);
  ASSERT_EQ(boxes.seen.size(), 3u);
  EXPECT_EQ(boxes.seen[0],
            std::make_pair(std::string("IsInit"), std::string("Bad component pointer")));
  EXPECT_EQ(boxes.seen[1], std::make_pair(std::string("Fault"), std::string("teardown")));
  EXPECT_EQ(boxes.seen[2], std::make_pair(std::string("Error"), std::string()));
}

TEST(MessageBoxes, WithoutAHookGoToStandardError) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(nullptr, "text here", "CAPTION", MB_OK), IDOK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "CAPTION: text here\n");
}

} // namespace
