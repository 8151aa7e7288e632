// BSTR layout and VARIANT ownership rules, and the process heap.
#include "tavelo/win32.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class MockUnknown : public IUnknown {
public:
  MOCK_METHOD(HRESULT, QueryInterface, (REFIID, void **), (override));
  MOCK_METHOD(ULONG, AddRef, (), (override));
  MOCK_METHOD(ULONG, Release, (), (override));
};

TEST(Bstr, CarriesByteLengthPrefixTerminatorAndEmbeddedNuls) {
  const OLECHAR source[] = {u'a', 0, u'b', u'c'};
  const BSTR copy = SysAllocStringLen(source, 3);
  ASSERT_NE(copy, nullptr);
  std::uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<const unsigned char *>(copy) - 4, 4);
  EXPECT_EQ(prefix, 6u);
  EXPECT_EQ(SysStringLen(copy), 3u);
  EXPECT_EQ(SysStringByteLen(copy), 6u);
  EXPECT_EQ(std::u16string(copy, 4), std::u16string(u"a\0b\0", 4));
  SysFreeString(copy);
  const BSTR blank = SysAllocStringLen(nullptr, 5);
  EXPECT_EQ(std::u16string(blank, 6), std::u16string(6, u'\0'));
  SysFreeString(blank);
  EXPECT_EQ(SysAllocString(nullptr), nullptr); // null is the empty string
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
}

VARIANT of(VARTYPE type) {
  VARIANT value;
  VariantInit(&value);
  value.vt = type;
  return value;
}

TEST(Variant, CopyDuplicatesTextAndAddRefsInterfacesClearFreesAndReleasesThem) {
  VARIANT text = of(VT_BSTR);
  text.bstrVal = SysAllocString(u"camera");
  VARIANT destination = of(VT_BSTR);
  destination.bstrVal = SysAllocString(u"old"); // the sanitizer build reports it if not freed
  ASSERT_EQ(VariantCopy(&destination, &text), S_OK);
  EXPECT_NE(destination.bstrVal, text.bstrVal);
  EXPECT_EQ(VariantClear(&text), S_OK);
  EXPECT_EQ(text.vt, VT_EMPTY);
  EXPECT_EQ(SysStringLen(destination.bstrVal), 6u);
  EXPECT_EQ(std::u16string(destination.bstrVal), u"camera");

  testing::StrictMock<MockUnknown> unknown;
  VARIANT source = of(VT_UNKNOWN);
  source.punkVal = &unknown;
  EXPECT_CALL(unknown, AddRef()).WillOnce(testing::Return(2));
  ASSERT_EQ(VariantCopy(&destination, &source), S_OK); // frees the text first
  EXPECT_EQ(destination.punkVal, &unknown);
  testing::Mock::VerifyAndClearExpectations(&unknown);
  EXPECT_CALL(unknown, Release()).Times(2).WillRepeatedly(testing::Return(1));
  VARIANT number = of(VT_UI4);
  number.ulVal = 0xDEADBEEF;
  ASSERT_EQ(VariantCopy(&destination, &number), S_OK); // releases the interface first
  EXPECT_EQ(destination.vt, VT_UI4);
  EXPECT_EQ(destination.ulVal, 0xDEADBEEFu);
  EXPECT_EQ(VariantClear(&source), S_OK);
}

TEST(Variant, UnknownTypesAreRefusedWithoutTouchingTheDestination) {
  VARIANT source = of(36); // VT_RECORD, which this runtime does not carry
  VARIANT destination = of(VT_I4);
  destination.lVal = 7;
  EXPECT_EQ(VariantCopy(&destination, &source), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantClear(&source), DISP_E_BADVARTYPE);
  source.vt = VT_ARRAY | VT_I4;
  EXPECT_EQ(VariantCopy(&destination, &source), DISP_E_BADVARTYPE);
  EXPECT_EQ(destination.vt, VT_I4);
  EXPECT_EQ(destination.lVal, 7);
}

TEST(ProcessHeap, ZeroesOnRequestIncludingGrowthAndReportsExhaustion) {
  const HANDLE heap = GetProcessHeap();
  auto *block = static_cast<char *>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 3));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::string(block, 3), std::string(3, '\0'));
  block[2] = 'x';
  block = static_cast<char *>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 1000));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::string(block + 2, 998), 'x' + std::string(997, '\0'));
  EXPECT_TRUE(HeapFree(heap, 0, block));
  EXPECT_EQ(HeapAlloc(heap, 0, SIZE_MAX), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

} // namespace
