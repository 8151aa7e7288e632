// Pointer-validity checks against pages with known protection.
#include "tavelo/win32.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace {

const std::size_t kPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));

// Four pages: read-write, read-only, no access, read-write; all 'a'.
class Pages : public testing::Test {
protected:
  void SetUp() override {
    void *memory =
        mmap(nullptr, 4 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    base_ = static_cast<char *>(memory);
    std::memset(base_, 'a', 4 * kPage);
    ASSERT_EQ(mprotect(base_ + kPage, kPage, PROT_READ), 0);
    ASSERT_EQ(mprotect(base_ + 2 * kPage, kPage, PROT_NONE), 0);
  }
  void TearDown() override { munmap(base_, 4 * kPage); }
  char *at(std::size_t pages, std::ptrdiff_t bytes = 0) const {
    return base_ + pages * kPage + bytes;
  }

  char *base_ = nullptr;
};

TEST_F(Pages, RangesAreJudgedByEveryPageTheyTouch) {
  const struct {
    std::size_t page;
    std::ptrdiff_t offset;
    std::ptrdiff_t size; // in bytes, plus `pages` whole pages
    std::size_t pages;
    bool bad_read, bad_write;
  } cases[] = {
      {0, 0, 0, 1, false, false}, // read-write
      {1, 0, 0, 1, false, true},  // read-only
      {2, 0, 1, 0, true, true},   // no access
      {3, 0, 0, 1, false, false}, // read-write after the hole
      {0, 5, -5, 2, false, true}, // the two readable pages
      {1, -1, 2, 0, false, true}, // last writable byte and the next
      {2, -1, 2, 0, true, true},  // last readable byte and the next
      {0, 0, 0, 4, true, true},   // hole in the middle
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "page " << c.page << "+" << c.offset << ", " << c.pages);
    const auto size = static_cast<std::size_t>(c.size) + c.pages * kPage;
    EXPECT_EQ(IsBadReadPtr(at(c.page, c.offset), size), c.bad_read);
    EXPECT_EQ(IsBadWritePtr(at(c.page, c.offset), size), c.bad_write);
  }
  for (std::size_t i = 0; i < 2 * kPage; ++i) { // checking changed nothing
    ASSERT_EQ(base_[i], 'a');
  }
}

TEST_F(Pages, StringChecksStopAtTheTerminatorOrTheLimit) {
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
}

} // namespace
