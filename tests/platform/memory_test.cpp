// Memory: pointer-validity checks against pages with known protection, BSTR
// layout, VARIANT ownership rules and the process heap.
#include "tavelo/tavelort.h"
#include "tavelo/win32.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::size_t kPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));

// Four blocks: read-write, read-only, no access, read-write; all 'a'. A
// block is a page, or a megabyte, which the checks judge by another method.
class Pages : public testing::TestWithParam<std::size_t> {
protected:
  void SetUp() override {
    void *memory =
        mmap(nullptr, 4 * block_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    base_ = static_cast<char *>(memory);
    std::memset(base_, 'a', 4 * block_);
    ASSERT_EQ(mprotect(base_ + block_, block_, PROT_READ), 0);
    ASSERT_EQ(mprotect(base_ + 2 * block_, block_, PROT_NONE), 0);
  }
  void TearDown() override { munmap(base_, 4 * block_); }
  char *at(std::size_t blocks, std::ptrdiff_t bytes = 0) const {
    return base_ + blocks * block_ + bytes;
  }

  const std::size_t block_ = GetParam();
  char *base_ = nullptr;
};

INSTANTIATE_TEST_SUITE_P(PageAndMegabyte, Pages, testing::Values(kPage, std::size_t{1} << 20));

TEST_P(Pages, RangesAreJudgedByEveryPageTheyTouch) {
  const struct {
    std::size_t block;
    std::ptrdiff_t offset;
    std::ptrdiff_t size; // in bytes, plus `blocks` whole blocks
    std::size_t blocks;
    bool bad_read, bad_write;
  } cases[] = {
      {0, 0, 0, 1, false, false}, // read-write
      {1, 0, 0, 1, false, true},  // read-only
      {2, 0, 1, 0, true, true},   // no access
      {3, 0, 0, 1, false, false}, // read-write after the hole
      {0, 5, -5, 2, false, true}, // the two readable blocks
      {1, -1, 2, 0, false, true}, // last writable byte and the next
      {2, -1, 2, 0, true, true},  // last readable byte and the next
      {0, 0, 0, 4, true, true},   // hole in the middle
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "block " << c.block << "+" << c.offset << ", " << c.blocks);
    const auto size = static_cast<std::size_t>(c.size) + c.blocks * block_;
    EXPECT_EQ(IsBadReadPtr(at(c.block, c.offset), size), c.bad_read);
    EXPECT_EQ(IsBadWritePtr(at(c.block, c.offset), size), c.bad_write);
  }
  // Nothing is ever mapped just above the lowest address a mapping may have.
  const auto *unmapped = reinterpret_cast<const char *>(std::uintptr_t{1} << 16);
  EXPECT_TRUE(IsBadReadPtr(unmapped, block_) &&
              IsBadWritePtr(const_cast<char *>(unmapped), block_));
  // Checking changed nothing.
  EXPECT_EQ(std::string(base_, 2 * block_), std::string(2 * block_, 'a'));
}

TEST_P(Pages, StringChecksStopAtTheTerminatorOrTheLimit) {
  std::memcpy(at(1, -4), "abc", 4);
  EXPECT_FALSE(IsBadStringPtrA(at(1, -4), UINTPTR_MAX));
  // No terminator before the unreadable page: bad, unless the limit comes first.
  EXPECT_TRUE(IsBadStringPtrA(at(2, -3), UINTPTR_MAX));
  EXPECT_FALSE(IsBadStringPtrA(at(2, -3), 3));
  EXPECT_TRUE(IsBadStringPtrA(at(2, -3), 4));
}

INT_PTR code_function() {
  return 1;
}

TEST(PointerChecks, NullWrappingAndNonExecutableAddressesAreBadSizeZeroNeverIs) {
  static int data = 0;
  int stack = 0;
  EXPECT_TRUE(IsBadReadPtr(nullptr, 1) && IsBadWritePtr(nullptr, 1) && IsBadStringPtrA(nullptr, 1));
  EXPECT_FALSE(IsBadReadPtr(nullptr, 0) || IsBadWritePtr(nullptr, 0) ||
               IsBadStringPtrA(nullptr, 0));
  EXPECT_TRUE(IsBadReadPtr(&data, UINTPTR_MAX) && IsBadWritePtr(&data, UINTPTR_MAX));
  EXPECT_FALSE(IsBadCodePtr(reinterpret_cast<FARPROC>(&code_function)));
  EXPECT_TRUE(IsBadCodePtr(nullptr));
  EXPECT_TRUE(IsBadCodePtr(reinterpret_cast<FARPROC>(reinterpret_cast<std::uintptr_t>(&data))));
  EXPECT_TRUE(IsBadCodePtr(reinterpret_cast<FARPROC>(reinterpret_cast<std::uintptr_t>(&stack))));
  // The break area is good up to the break and no further: the pages past it
  // are not mapped. The test grows the break itself, as the sanitizers'
  // allocators leave it empty.
  auto *const page = static_cast<char *>(sbrk(kPage));
  ASSERT_NE(page, reinterpret_cast<char *>(-1));
  std::memset(page, 1, kPage);
  EXPECT_FALSE(IsBadWritePtr(page, kPage) || IsBadReadPtr(page + kPage - 8, 8));
  EXPECT_TRUE(IsBadReadPtr(page + kPage - 8, 8 + 4 * kPage));
  if (sbrk(0) == page + kPage) {
    sbrk(-static_cast<intptr_t>(kPage));
  }
}

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

TEST(AllocationFailure, OnlyTheNthAllocationFailsAndTheCountIsReported) {
  tavelort_fail_nth_allocation(2);
  void *const blocks[] = {CoTaskMemAlloc(8), CoTaskMemAlloc(8), CoTaskMemAlloc(8)};
  EXPECT_EQ(tavelort_fail_nth_allocation(0), 3u);
  EXPECT_THAT(blocks, testing::ElementsAre(testing::NotNull(), nullptr, testing::NotNull()));
  std::for_each(std::begin(blocks), std::end(blocks), CoTaskMemFree);
}

// A freed large block is kept for the next request it suits, and handed to
// one live request at a time; each block holds all the bytes asked for.
TEST(TaskAllocator, KeptLargeBlockGoesToOneSuitedRequestAtATime) {
  constexpr std::size_t kBig = std::size_t{8} << 20;
  void *first = CoTaskMemAlloc(kBig);
  ASSERT_NE(first, nullptr);
  CoTaskMemFree(first);
  auto *again = static_cast<char *>(CoTaskMemAlloc(kBig - kPage));
  auto *other = static_cast<char *>(CoTaskMemAlloc(kBig));
  auto *half = static_cast<char *>(CoTaskMemAlloc(kBig / 2));
  ASSERT_THAT((std::vector<char *>{again, other, half}), testing::Each(testing::NotNull()));
#ifndef __SANITIZE_ADDRESS__ // that build keeps nothing, so it sees every use after free
  EXPECT_EQ(again, first);
#endif
  EXPECT_NE(again, other);
  std::memset(again, 'a', kBig - kPage);
  std::memset(other, 'b', kBig);
  std::memset(half, 'c', kBig / 2);
  EXPECT_EQ(again[kBig - kPage - 1], 'a');
  for (char *block : {again, other, half}) {
    CoTaskMemFree(block);
  }
}

} // namespace
