// Parameters, capabilities, file tags and file types end to end: the
// library, the virtual transport component and the virtual camera over a
// store folder that each test makes.
#include "image.h"
#include "tavelo/transport.h"
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

struct DemoFile {
  const char *path; // under drive 2
  enum class Content { kJpeg, kExifJpeg, kBytes } content;
  ULONG type; // what TaveloGetFileType must give
};

// A real JPEG answers `imcn` with 'JPEG' or 'EXIF' (type 2); other files
// answer `flty`, which the camera takes from the extension.
const std::vector<DemoFile> kDemoFiles = {
    {"DCIM/IMG0001.JPG", DemoFile::Content::kJpeg, 2},
    {"DCIM/IMG0002.JPG", DemoFile::Content::kExifJpeg, 2},
    {"DCIM/SCAN0001.TIF", DemoFile::Content::kBytes, 4},
    {"DCIM/PANO0001.FPX", DemoFile::Content::kBytes, 3},
    {"DCIM/NOTES.TXT", DemoFile::Content::kBytes, 7},
    {"SYSTEM/HELLO.CSM", DemoFile::Content::kBytes, 5},
    {"SYSTEM/SETUP.CAM", DemoFile::Content::kBytes, 6},
};

FH Handle(const std::string &relative) {
  FH handle{};
  handle.kind = 1;
  handle.drive = 2;
  std::string path = "2:" + relative;
  std::strncpy(handle.path, path.c_str(), sizeof handle.path - 1);
  return handle;
}

class ParamsEndToEnd : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = std::string(E2E_PARAMS_TMP) + "/storeXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    store_ = pattern;
    MakeDemoFiles();
    ASSERT_EQ(setenv("TAVELO_VIRTUAL_CAMERAS", store_.c_str(), 1), 0);

    ASSERT_GE(TaveloInitialize(1), 0);
    DEVICE_INFO record{};
    const char *clsid = "{E58C1B90-BF37-4B17-9AE8-00A0C93E71B4}";
    std::memcpy(record.transportClsid, clsid, std::strlen(clsid) + 1);
    std::u16string id = u"virtual:";
    for (char c : store_.string()) {
      id.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    VariantInit(&record.deviceId);
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

  void MakeDemoFiles() {
    for (const DemoFile &file : kDemoFiles) {
      std::vector<std::uint8_t> bytes(100, 0x5A);
      if (file.content != DemoFile::Content::kBytes) {
        bytes = tavelo::emu::encode_jpeg(tavelo::emu::synthetic_scene(64, 48, 1), 80,
                                         file.content == DemoFile::Content::kExifJpeg);
      }
      fs::path path = store_ / "2" / file.path;
      fs::create_directories(path.parent_path());
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char *>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
    }
  }

  std::vector<ULONG> AllParameters() {
    ULONG count = 0;
    ULONG *tags = nullptr;
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

  // The value of a number parameter, or nothing for other types.
  std::optional<ULONG> Number(ULONG tag) {
    VARIANT value;
    VariantInit(&value);
    EXPECT_EQ(TaveloGetParameter(camera_, tag, &value), S_OK);
    std::optional<ULONG> number;
    if (value.vt == VT_UI4 || value.vt == VT_I4) {
      number = value.ulVal;
    }
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

  // A writable list parameter with a number value and at least two choices.
  std::optional<ULONG> WritableListParameter() {
    for (ULONG tag : AllParameters()) {
      if (CapabilityType(tag) != 1 || !Number(tag)) {
        continue;
      }
      ULONG listValue = 0, count = 0;
      CAP_ITEM *items = nullptr;
      EXPECT_EQ(TaveloGetParamCapList(camera_, tag, &listValue, &count, &items), S_OK);
      CoTaskMemFree(items);
      if (count >= 2) {
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
  ASSERT_FALSE(tags.empty());
  EXPECT_NE(std::find(tags.begin(), tags.end(), Tag("mhbs")), tags.end())
      << "downloads size their chunks by it";
  for (ULONG tag : tags) {
    SCOPED_TRACE(tag);
    char description[32];
    ASSERT_EQ(TaveloGetParameterDesc(camera_, tag, description), S_OK);
    EXPECT_GT(std::strlen(description), 0u);

    VARIANT value;
    VariantInit(&value);
    ASSERT_EQ(TaveloGetParameter(camera_, tag, &value), S_OK);
    EXPECT_NE(value.vt, VT_EMPTY);
    const VARTYPE vt = value.vt;
    std::optional<ULONG> number;
    if (vt == VT_UI4 || vt == VT_I4) {
      number = value.ulVal;
    }
    VariantClear(&value);

    switch (CapabilityType(tag)) {
    case 1: {
      ULONG listValue = 0, count = 0;
      CAP_ITEM *items = nullptr;
      ASSERT_EQ(TaveloGetParamCapList(camera_, tag, &listValue, &count, &items), S_OK);
      ASSERT_GT(count, 0u);
      bool current = !number;
      for (ULONG i = 0; i < count; ++i) {
        EXPECT_GT(std::strlen(reinterpret_cast<const char *>(items[i].data)), 0u);
        current = current || items[i].value == *number;
      }
      EXPECT_TRUE(current) << "the current value is one of the choices";
      CoTaskMemFree(items);
      break;
    }
    case 2: {
      ULONG low = 0, high = 0, step = 0;
      ASSERT_EQ(TaveloGetParamCapRange(camera_, tag, &low, &high, &step), S_OK);
      EXPECT_GT(step, 0u);
      if (number && vt == VT_UI4) {
        EXPECT_LE(low, *number);
        EXPECT_LE(*number, high);
      }
      break;
    }
    case 3: {
      VARIANT single;
      VariantInit(&single);
      ASSERT_EQ(TaveloGetParamCapValue(camera_, tag, &single), S_OK);
      EXPECT_TRUE(single.vt == VT_I4 || single.vt == VT_BSTR) << single.vt;
      VariantClear(&single);
      break;
    }
    default:
      ADD_FAILURE() << "no capability type";
    }
  }
}

TEST_F(ParamsEndToEnd, SetsWithinTheCapabilityAndIsRefusedOutsideIt) {
  // A range parameter read as an unsigned number.
  std::optional<ULONG> ranged;
  ULONG low = 0, high = 0, step = 0;
  for (ULONG tag : AllParameters()) {
    VARIANT value;
    VariantInit(&value);
    ASSERT_EQ(TaveloGetParameter(camera_, tag, &value), S_OK);
    const VARTYPE vt = value.vt;
    VariantClear(&value);
    if (vt == VT_UI4 && CapabilityType(tag) == 2) {
      ASSERT_EQ(TaveloGetParamCapRange(camera_, tag, &low, &high, &step), S_OK);
      ranged = tag;
      break;
    }
  }
  ASSERT_TRUE(ranged) << "the camera has an unsigned range parameter";
  const ULONG within = high >= low + step ? high - step : low;
  ASSERT_EQ(SetNumber(*ranged, within), S_OK);
  EXPECT_EQ(Number(*ranged), within);

  const HRESULT outside = SetNumber(*ranged, high + step);
  EXPECT_LT(outside, 0) << "a value past the range is refused";
  EXPECT_EQ(Number(*ranged), within) << "and changes nothing";
}

TEST_F(ParamsEndToEnd, RestoresAFactoryDefault) {
  std::optional<ULONG> tag = WritableListParameter();
  ASSERT_TRUE(tag);
  VARIANT factory;
  VariantInit(&factory);
  ASSERT_EQ(TaveloGetParameterDefault(camera_, *tag, kFactoryDefaults, &factory), S_OK);
  ASSERT_TRUE(factory.vt == VT_UI4 || factory.vt == VT_I4);

  ULONG listValue = 0, count = 0;
  CAP_ITEM *items = nullptr;
  ASSERT_EQ(TaveloGetParamCapList(camera_, *tag, &listValue, &count, &items), S_OK);
  const ULONG other = items[0].value != factory.ulVal ? items[0].value : items[1].value;
  CoTaskMemFree(items);
  ASSERT_EQ(SetNumber(*tag, other), S_OK);
  ASSERT_EQ(Number(*tag), other);

  ASSERT_EQ(TaveloRestoreParameterDefault(camera_, *tag, kFactoryDefaults), S_OK);
  EXPECT_EQ(Number(*tag), factory.ulVal);
}

TEST_F(ParamsEndToEnd, WritesAndReadsFileTags) {
  FH file = Handle("DCIM/IMG0001.JPG");
  const ULONG owner = Tag("ownr");

  VARIANT text;
  VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString(u"Ada Lovelace");
  ASSERT_EQ(TaveloSetFileTag(camera_, &file, owner, text), S_OK);
  VariantClear(&text);

  VARIANT read;
  VariantInit(&read);
  ASSERT_EQ(TaveloGetFileTag(camera_, &file, owner, &read), S_OK);
  ASSERT_EQ(read.vt, VT_BSTR);
  EXPECT_EQ(std::u16string(read.bstrVal), u"Ada Lovelace");

  VARIANT number;
  VariantInit(&number);
  number.vt = VT_UI4;
  number.ulVal = 4711;
  ASSERT_EQ(TaveloSetFileTag(camera_, &file, Tag("rate"), number), S_OK);
  ASSERT_EQ(TaveloGetFileTag(camera_, &file, Tag("rate"), &read), S_OK);
  EXPECT_EQ(read.vt, VT_UI4);
  EXPECT_EQ(read.ulVal, 4711u);

  // A tag the camera derives from the file is read, not written.
  ASSERT_EQ(TaveloGetFileTag(camera_, &file, Tag("imwd"), &read), S_OK);
  EXPECT_EQ(read.ulVal, 64u);
  EXPECT_LT(TaveloSetFileTag(camera_, &file, Tag("imwd"), number), 0);
  VariantClear(&read);
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
