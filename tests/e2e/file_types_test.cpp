// Parameters, capabilities, file tags and file types end to end, over a store
// of one file of each type.
#include "image.h"
#include "virtual_camera.h"

#include <algorithm>
#include <optional>

namespace e2e {
namespace {

constexpr ULONG kFactoryDefaults = 0;
constexpr ULONG kList = 1, kRange = 2, kSingle = 3;

// The files, under drive 2, and the type each must read as: a real JPEG
// answers `imcn` with 'JPEG' or 'EXIF' (type 2); other files answer `flty`,
// which the camera takes from the extension.
enum class Content { kJpeg, kExifJpeg, kBytes };
const struct {
  const char *path;
  Content content;
  ULONG type;
} kFiles[] = {
    {"DCIM/IMG0001.JPG", Content::kJpeg, 2},   {"DCIM/IMG0002.JPG", Content::kExifJpeg, 2},
    {"DCIM/SCAN0001.TIF", Content::kBytes, 4}, {"DCIM/PANO0001.FPX", Content::kBytes, 3},
    {"DCIM/NOTES.TXT", Content::kBytes, 7},    {"SYSTEM/HELLO.CSM", Content::kBytes, 5},
    {"SYSTEM/SETUP.CAM", Content::kBytes, 6},
};

class ParamsEndToEnd : public VirtualCamera {
protected:
  void Fill() override {
    for (const auto &file : kFiles) {
      PutHostBytes(StoreFile(file.path),
                   file.content == Content::kBytes
                       ? Bytes(100, 0x5A)
                       : tavelo::emu::encode_jpeg(tavelo::emu::synthetic_scene(64, 48, 1), 80,
                                                  file.content == Content::kExifJpeg));
    }
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
    EXPECT_NE(value.vt, VT_EMPTY);
    std::optional<ULONG> number;
    if (value.vt == VT_UI4 || value.vt == VT_I4) {
      number = value.ulVal;
    }
    VariantClear(&value);
    return number;
  }
};

TEST_F(ParamsEndToEnd, ListsEveryParameterWithDescriptionCapabilityAndValue) {
  const std::vector<ULONG> tags = AllParameters();
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
      const std::vector<CAP_ITEM> choices = Choices(tag);
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

// iqal: a list of Economy 1, Normal 2 (the factory default) and Fine 3.
TEST_F(ParamsEndToEnd, SetsAChoiceIsRefusedAnOutsiderAndRestoresTheFactoryDefault) {
  const ULONG iqal = Tag("iqal");
  VARIANT factory;
  VariantInit(&factory);
  ASSERT_EQ(TaveloGetParameterDefault(camera_, iqal, kFactoryDefaults, &factory), S_OK);
  EXPECT_EQ(factory.ulVal, 2u);
  ASSERT_EQ(SetNumber(iqal, 3), S_OK);
  EXPECT_EQ(Number(iqal), 3u);
  EXPECT_LT(SetNumber(iqal, 4), 0);
  EXPECT_EQ(Number(iqal), 3u) << "a refused value changes nothing";
  ASSERT_EQ(TaveloRestoreParameterDefault(camera_, iqal, kFactoryDefaults), S_OK);
  EXPECT_EQ(Number(iqal), 2u);
}

TEST_F(ParamsEndToEnd, WritesAndReadsFileTags) {
  const FH file = Handle("2:DCIM/IMG0001.JPG");
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
  ASSERT_EQ(TaveloGetFileTag(camera_, &file, Tag("rate"), &value), S_OK);
  EXPECT_EQ(value.vt, VT_UI4);
  EXPECT_EQ(value.ulVal, 4711u);
}

TEST_F(ParamsEndToEnd, ReadsTheTypeOfEachFile) {
  for (const auto &entry : kFiles) {
    const FH file = Handle(std::string("2:") + entry.path);
    ULONG type = 0;
    EXPECT_EQ(TaveloGetFileType(camera_, &file, &type), S_OK) << entry.path;
    EXPECT_EQ(type, entry.type) << entry.path;
  }
}

} // namespace
} // namespace e2e
