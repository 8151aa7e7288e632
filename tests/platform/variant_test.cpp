// BSTR layout and VARIANT ownership rules, and the process heap.
#include "tavelo/win32.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

namespace {

class MockUnknown : public IUnknown {
public:
  MOCK_METHOD(HRESULT, QueryInterface, (REFIID, void **), (override));
  MOCK_METHOD(ULONG, AddRef, (), (override));
  MOCK_METHOD(ULONG, Release, (), (override));
};

std::uint32_t prefix_of(BSTR text) {
  std::uint32_t bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<const unsigned char *>(text) - 4, 4);
  return bytes;
}

TEST(Bstr, CarriesByteLengthPrefixAndTerminator) {
  const BSTR text = SysAllocString(u"Tavelo");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(prefix_of(text), 12u);
  EXPECT_EQ(SysStringLen(text), 6u);
  EXPECT_EQ(SysStringByteLen(text), 12u);
  EXPECT_EQ(text[6], 0);
  EXPECT_EQ(std::u16string(text), u"Tavelo");
  SysFreeString(text);
}

TEST(Bstr, KeepsEmbeddedNulsAndZeroFillsWithoutSource) {
  const OLECHAR source[] = {u'a', 0, u'b'};
  const BSTR copy = SysAllocStringLen(source, 3);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(SysStringLen(copy), 3u);
  EXPECT_EQ(copy[2], u'b');
  SysFreeString(copy);

  const BSTR blank = SysAllocStringLen(nullptr, 5);
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(SysStringLen(blank), 5u);
  for (int i = 0; i <= 5; ++i) {
    EXPECT_EQ(blank[i], 0) << i;
  }
  SysFreeString(blank);
}

TEST(Bstr, NullIsTheEmptyString) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
}

TEST(Variant, ClearFreesTextAndReleasesInterfaces) {
  VARIANT text;
  VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString(u"owned"); // the sanitizer build reports a leak if not freed
  EXPECT_EQ(VariantClear(&text), S_OK);
  EXPECT_EQ(text.vt, VT_EMPTY);

  testing::StrictMock<MockUnknown> unknown;
  EXPECT_CALL(unknown, Release()).WillOnce(testing::Return(0));
  VARIANT object;
  VariantInit(&object);
  object.vt = VT_UNKNOWN;
  object.punkVal = &unknown;
  EXPECT_EQ(VariantClear(&object), S_OK);
  EXPECT_EQ(object.vt, VT_EMPTY);
}

TEST(Variant, CopyDuplicatesTextAndClearsTheDestinationFirst) {
  VARIANT source;
  VariantInit(&source);
  source.vt = VT_BSTR;
  source.bstrVal = SysAllocString(u"camera");
  VARIANT destination;
  VariantInit(&destination);
  destination.vt = VT_BSTR;
  destination.bstrVal = SysAllocString(u"old"); // must be freed by the copy

  ASSERT_EQ(VariantCopy(&destination, &source), S_OK);
  EXPECT_EQ(destination.vt, VT_BSTR);
  EXPECT_NE(destination.bstrVal, source.bstrVal);
  EXPECT_EQ(std::u16string(destination.bstrVal), u"camera");
  EXPECT_EQ(SysStringLen(destination.bstrVal), 6u);
  VariantClear(&source);
  EXPECT_EQ(std::u16string(destination.bstrVal), u"camera");
  VariantClear(&destination);
}

TEST(Variant, CopyAddRefsInterfacesAndCopiesNumbers) {
  testing::StrictMock<MockUnknown> unknown;
  VARIANT source;
  VariantInit(&source);
  source.vt = VT_UNKNOWN;
  source.punkVal = &unknown;
  VARIANT destination;
  VariantInit(&destination);
  EXPECT_CALL(unknown, AddRef()).WillOnce(testing::Return(2));
  ASSERT_EQ(VariantCopy(&destination, &source), S_OK);
  EXPECT_EQ(destination.punkVal, &unknown);
  testing::Mock::VerifyAndClearExpectations(&unknown);

  VARIANT number;
  VariantInit(&number);
  number.vt = VT_UI4;
  number.ulVal = 0xDEADBEEF;
  EXPECT_CALL(unknown, Release()).WillOnce(testing::Return(1));
  ASSERT_EQ(VariantCopy(&destination, &number), S_OK);
  EXPECT_EQ(destination.vt, VT_UI4);
  EXPECT_EQ(destination.ulVal, 0xDEADBEEFu);
}

TEST(Variant, UnknownTypesAreRefusedWithoutTouchingTheDestination) {
  VARIANT source;
  VariantInit(&source);
  source.vt = 36; // VT_RECORD, which this runtime does not carry
  VARIANT destination;
  VariantInit(&destination);
  destination.vt = VT_I4;
  destination.lVal = 7;
  EXPECT_EQ(VariantCopy(&destination, &source), DISP_E_BADVARTYPE);
  EXPECT_EQ(destination.vt, VT_I4);
  EXPECT_EQ(destination.lVal, 7);
  EXPECT_EQ(VariantClear(&source), DISP_E_BADVARTYPE);
  source.vt = VT_ARRAY | VT_I4;
  EXPECT_EQ(VariantCopy(&destination, &source), DISP_E_BADVARTYPE);
}

TEST(ProcessHeap, ZeroesOnRequestIncludingGrowth) {
  const HANDLE heap = GetProcessHeap();
  auto *block = static_cast<unsigned char *>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 3));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[0] | block[1] | block[2], 0);
  block[0] = 1;
  block[1] = 2;
  block[2] = 3;
  block = static_cast<unsigned char *>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 1000));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[2], 3);
  for (int i = 3; i < 1000; ++i) {
    ASSERT_EQ(block[i], 0) << i;
  }
  EXPECT_TRUE(HeapFree(heap, 0, block));
  EXPECT_TRUE(HeapFree(heap, 0, nullptr));
}

TEST(ProcessHeap, RefusesOtherHeapsAndMissingBlocks) {
  int other = 0;
  SetLastError(0);
  EXPECT_EQ(HeapAlloc(&other, 0, 4), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(HeapReAlloc(GetProcessHeap(), 0, nullptr, 4), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, SIZE_MAX), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

} // namespace
