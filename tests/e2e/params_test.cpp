// Parameters, capabilities, file tags and file types end to end: the
// library, the virtual transport component and the virtual camera over a
// store folder that each test makes.
#include "image.h"
#include "tavelocam.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr ULONG Tag(const char (&text)[5]) {
  return (ULONG{static_cast<std::uint8_t>(text[0])} << 24) |
         (ULONG{static_cast<std::uint8_t>(text[1])} << 16) |
         (ULONG{static_cast<std::uint8_t>(text[2])} << 8) |
         ULONG{static_cast<std::uint8_t>(text[3])};
}

constexpr ULONG kFactoryDefaults = 0;
constexpr ULONG kList = 1, kRange = 2, kSingle = 3;

// The demo files, under drive 2, and the type each must read as: a real
// JPEG answers `imcn` with 'JPEG' or 'EXIF' (type 2); other files answer
// `flty`, which the camera takes from the extension.
enum class Content { kJpeg, kExifJpeg, kBytes };
struct DemoFile {
  const char *path;
  Content content;
  ULONG type;
};
const DemoFile kDemoFiles[] = {
    {"DCIM/IMG0001.JPG", Content::kJpeg, 2},   {"DCIM/IMG0002.JPG", Content::kExifJpeg, 2},
    {"DCIM/SCAN0001.TIF", Content::kBytes, 4}, {"DCIM/PANO0001.FPX", Content::kBytes, 3},
    {"DCIM/NOTES.TXT", Content::kBytes, 7},    {"SYSTEM/HELLO.CSM", Content::kBytes, 5},
    {"SYSTEM/SETUP.CAM", Content::kBytes, 6},
};

FH Handle(const std::string &relative) {
  FH handle{};
  handle.kind = 1;
  std::strncpy(handle.path, ("2:" + relative).c_str(), sizeof handle.path - 1);
  return handle;
}

class ParamsEndToEnd : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = std::string(E2E_PARAMS_TMP) + "/storeXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    store_ = pattern;
    for (const DemoFile &file : kDemoFiles) {
      std::vector<std::uint8_t> bytes(100, 0x5A);
      if (file.content != Content::kBytes) {
        bytes = tavelo::emu::encode_jpeg(tavelo::emu::synthetic_scene(64, 48, 1), 80,
                                         file.content == Content::kExifJpeg);
      }
      fs::path path = store_ / "2" / file.path;
      fs::create_directories(path.parent_path());
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char *>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
    }
    ASSERT_EQ(setenv("TAVELO_VIRTUAL_CAMERAS", store_.c_str(), 1), 0);

    ASSERT_GE(TaveloInitialize(1), 0);
    DEVICE_INFO record{};
    std::strcpy(record.transportClsid, "{E58C1B90-BF37-4B17-9AE8-00A0C93E71B4}");
    std::u16string id = u"virtual:";
    for (char c : store_.string()) {
      id.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    record.deviceId.vt = VT_BSTR;
    record.deviceId.bstrVal = SysAllocString(id.c_str());
    ASSERT_EQ(TaveloBindCamera(&camera_, &record), S_OK);
    VariantClear(&record.deviceId);
  }

  void TearDown() override {
    TaveloCloseCamera(camera_);
    TaveloUninitialize();
    std::error_code ec;
    fs::remove_all(store_, ec);
  }

  std::vector<ULONG> AllParameters() {
    ULONG count = 0, *tags = nullptr;
    EXPECT_EQ(TaveloListAllParameters(camera_, &count, &tags), S_OK);
    std::vector<ULONG> all(tags, tags + count);
    CoTaskMemFree(tags);
    return all;
  }

  ULONG CapabilityType(ULONG tag) {
    ULONG type = 0;
    EXPECT_EQ(TaveloGetParamCapType(camera_, tag, &type), S_OK);
    return type;
  }

  std::vector<CAP_ITEM> Choices(ULONG tag) {
    ULONG listValue = 0, count = 0;
    CAP_ITEM *items = nullptr;
    EXPECT_EQ(TaveloGetParamCapList(camera_, tag, &listValue, &count, &items), S_OK);
    std::vector<CAP_ITEM> choices(items, items + count);
    CoTaskMemFree(items);
    return choices;
  }

  // The value of a number parameter, or nothing for text.
  std::optional<ULONG> Number(ULONG tag) {
    VARIANT value;
    VariantInit(&value);
    EXPECT_EQ(TaveloGetParameter(camera_, tag, &value), S_OK);
    std::optional<ULONG> number;
    if (value.vt == VT_UI4 || value.vt == VT_I4) {
      number = value.ulVal;
    }
    EXPECT_NE(value.vt, VT_EMPTY);
    VariantClear(&value);
    return number;
  }

  HRESULT SetNumber(ULONG tag, ULONG number) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UI4;
    value.ulVal = number;
    return TaveloSetParameter(camera_, tag, value);
  }

  // A list parameter with a number value and at least two choices.
  std::optional<ULONG> ListParameter() {
    for (ULONG tag : AllParameters()) {
      if (CapabilityType(tag) == kList && Number(tag) && Choices(tag).size() >= 2) {
        return tag;
      }
    }
    return std::nullopt;
  }

  fs::path store_;
  HCAMERA camera_ = nullptr;
};

TEST_F(ParamsEndToEnd, ListsEveryParameterWithDescriptionCapabilityAndValue) {
  std::vector<ULONG> tags = AllParameters();
  EXPECT_NE(std::find(tags.begin(), tags.end(), Tag("mhbs")), tags.end())
      << "downloads size their chunks by it";
  for (ULONG tag : tags) {
    SCOPED_TRACE(tag);
    char description[32];
    ASSERT_EQ(TaveloGetParameterDesc(camera_, tag, description), S_OK);
    EXPECT_GT(std::strlen(description), 0u);
    const std::optional<ULONG> number = Number(tag);

    const ULONG type = CapabilityType(tag);
    if (type == kList) {
      std::vector<CAP_ITEM> choices = Choices(tag);
      ASSERT_FALSE(choices.empty());
      EXPECT_TRUE(!number || std::any_of(choices.begin(), choices.end(), [&](const CAP_ITEM &c) {
        return c.value == *number;
      })) << "the value is one of the choices";
    } else if (type == kRange) {
      ULONG low = 0, high = 0, step = 0;
      ASSERT_EQ(TaveloGetParamCapRange(camera_, tag, &low, &high, &step), S_OK);
      EXPECT_GT(step, 0u);
    } else {
      ASSERT_EQ(type, kSingle);
      VARIANT single;
      VariantInit(&single);
      ASSERT_EQ(TaveloGetParamCapValue(camera_, tag, &single), S_OK);
      EXPECT_TRUE(single.vt == VT_I4 || single.vt == VT_BSTR) << single.vt;
      VariantClear(&single);
    }
  }
}

TEST_F(ParamsEndToEnd, SetsAChoiceAndIsRefusedAValueOutsideTheList) {
  std::optional<ULONG> tag = ListParameter();
  ASSERT_TRUE(tag);
  std::vector<CAP_ITEM> choices = Choices(*tag);
  const ULONG within = choices.back().value;
  ASSERT_EQ(SetNumber(*tag, within), S_OK);
  EXPECT_EQ(Number(*tag), within);

  ULONG outside = 0;
  for (const CAP_ITEM &choice : choices) {
    outside = std::max(outside, choice.value + 1);
  }
  EXPECT_LT(SetNumber(*tag, outside), 0);
  EXPECT_EQ(Number(*tag), within) << "a refused value changes nothing";
}

TEST_F(ParamsEndToEnd, RestoresAFactoryDefault) {
  std::optional<ULONG> tag = ListParameter();
  ASSERT_TRUE(tag);
  VARIANT factory;
  VariantInit(&factory);
  ASSERT_EQ(TaveloGetParameterDefault(camera_, *tag, kFactoryDefaults, &factory), S_OK);
  std::vector<CAP_ITEM> choices = Choices(*tag);
  const ULONG other = choices[0].value != factory.ulVal ? choices[0].value : choices[1].value;
  ASSERT_EQ(SetNumber(*tag, other), S_OK);
  ASSERT_EQ(Number(*tag), other);

  ASSERT_EQ(TaveloRestoreParameterDefault(camera_, *tag, kFactoryDefaults), S_OK);
  EXPECT_EQ(Number(*tag), factory.ulVal);
}

TEST_F(ParamsEndToEnd, WritesAndReadsFileTags) {
  FH file = Handle("DCIM/IMG0001.JPG");
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(u"Ada Lovelace");
  ASSERT_EQ(TaveloSetFileTag(camera_, &file, Tag("ownr"), value), S_OK);
  ASSERT_EQ(TaveloGetFileTag(camera_, &file, Tag("ownr"), &value), S_OK);
  ASSERT_EQ(value.vt, VT_BSTR);
  EXPECT_EQ(std::u16string(value.bstrVal), u"Ada Lovelace");

  VariantClear(&value);
  value.vt = VT_UI4;
  value.ulVal = 4711;
  ASSERT_EQ(TaveloSetFileTag(camera_, &file, Tag("rate"), value), S_OK);
  // A tag the camera derives from the file is read, not written.
  EXPECT_LT(TaveloSetFileTag(camera_, &file, Tag("imwd"), value), 0);
  ASSERT_EQ(TaveloGetFileTag(camera_, &file, Tag("rate"), &value), S_OK);
  EXPECT_EQ(value.vt, VT_UI4);
  EXPECT_EQ(value.ulVal, 4711u);
  ASSERT_EQ(TaveloGetFileTag(camera_, &file, Tag("imwd"), &value), S_OK);
  EXPECT_EQ(value.ulVal, 64u);
}

TEST_F(ParamsEndToEnd, ReadsTheTypeOfEachDemoFile) {
  for (const DemoFile &demo : kDemoFiles) {
    FH file = Handle(demo.path);
    ULONG type = 0;
    EXPECT_EQ(TaveloGetFileType(camera_, &file, &type), S_OK) << demo.path;
    EXPECT_EQ(type, demo.type) << demo.path;
  }
}

} // namespace
