// Pointer-validity checks against pages with known protection.
#include "tavelo/win32.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

// Four pages: read-write, read-only, no access, read-write.
class Pages : public testing::Test {
protected:
  void SetUp() override {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void *memory =
        mmap(nullptr, 4 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    base_ = static_cast<char *>(memory);
    std::memset(base_, 'a', 4 * page_);
    ASSERT_EQ(mprotect(base_ + page_, page_, PROT_READ), 0);
    ASSERT_EQ(mprotect(base_ + 2 * page_, page_, PROT_NONE), 0);
  }
  void TearDown() override { munmap(base_, 4 * page_); }

  char *writable() const { return base_; }
  char *read_only() const { return base_ + page_; }
  char *no_access() const { return base_ + 2 * page_; }
  char *writable_after_hole() const { return base_ + 3 * page_; }

  std::size_t page_ = 0;
  char *base_ = nullptr;
};

TEST_F(Pages, ReadChecks) {
  EXPECT_FALSE(IsBadReadPtr(writable(), page_));
  EXPECT_FALSE(IsBadReadPtr(read_only(), page_));
  EXPECT_TRUE(IsBadReadPtr(no_access(), 1));
  EXPECT_FALSE(IsBadReadPtr(writable() + 5, 2 * page_ - 5)); // spans two good pages
  EXPECT_TRUE(IsBadReadPtr(read_only() + page_ - 1, 2));     // last good byte and first bad one
  EXPECT_TRUE(IsBadReadPtr(writable(), 4 * page_));          // hole in the middle
}

TEST_F(Pages, WriteChecks) {
  EXPECT_FALSE(IsBadWritePtr(writable(), page_));
  EXPECT_TRUE(IsBadWritePtr(read_only(), 1));
  EXPECT_TRUE(IsBadWritePtr(no_access(), 1));
  EXPECT_TRUE(IsBadWritePtr(writable() + page_ - 1, 2));
  EXPECT_FALSE(IsBadWritePtr(writable_after_hole(), page_));
  // Checking changes nothing.
  for (std::size_t i = 0; i < page_; ++i) {
    ASSERT_EQ(writable()[i], 'a');
    ASSERT_EQ(read_only()[i], 'a');
  }
}

TEST_F(Pages, UnmappedMemoryIsBad) {
  ASSERT_EQ(munmap(no_access(), page_), 0);
  EXPECT_TRUE(IsBadReadPtr(no_access(), 1));
  EXPECT_TRUE(IsBadWritePtr(no_access() + 10, 4));
  EXPECT_TRUE(IsBadStringPtrA(no_access(), 1));
  ASSERT_NE(mmap(no_access(), page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0),
            MAP_FAILED);
}

TEST_F(Pages, StringChecksStopAtTheTerminator) {
  char *tail = writable() + page_ - 4;
  std::memcpy(tail, "abc", 4);
  EXPECT_FALSE(IsBadStringPtrA(tail, UINTPTR_MAX));
  // Without a terminator before the unreadable page the string is bad...
  EXPECT_TRUE(IsBadStringPtrA(read_only() + page_ - 3, UINTPTR_MAX));
  // ...unless the limit stops the scan first.
  EXPECT_FALSE(IsBadStringPtrA(read_only() + page_ - 3, 3));
  EXPECT_TRUE(IsBadStringPtrA(read_only() + page_ - 3, 4));
}

TEST(PointerChecks, NullIsBadAndSizeZeroNeverIs) {
  EXPECT_TRUE(IsBadReadPtr(nullptr, 1));
  EXPECT_TRUE(IsBadWritePtr(nullptr, 1));
  EXPECT_TRUE(IsBadStringPtrA(nullptr, 1));
  EXPECT_TRUE(IsBadCodePtr(nullptr));
  EXPECT_FALSE(IsBadReadPtr(nullptr, 0));
  EXPECT_FALSE(IsBadWritePtr(nullptr, 0));
  EXPECT_FALSE(IsBadStringPtrA(nullptr, 0));
}

TEST(PointerChecks, RangesThatWrapAreBad) {
  char byte = 0;
  EXPECT_TRUE(IsBadReadPtr(&byte, UINTPTR_MAX));
  EXPECT_TRUE(IsBadWritePtr(&byte, UINTPTR_MAX));
}

INT_PTR code_function() {
  return 1;
}

TEST(PointerChecks, CodeMustBeExecutable) {
  EXPECT_FALSE(IsBadCodePtr(reinterpret_cast<FARPROC>(&code_function)));
  static int data = 0;
  EXPECT_TRUE(IsBadCodePtr(reinterpret_cast<FARPROC>(reinterpret_cast<std::uintptr_t>(&data))));
  int stack = 0;
  EXPECT_TRUE(IsBadCodePtr(reinterpret_cast<FARPROC>(reinterpret_cast<std::uintptr_t>(&stack))));
}

TEST(PointerChecks, ConstantDataIsReadOnly) {
  static const char kText[] = "constant text in a read-only segment";
  EXPECT_FALSE(IsBadReadPtr(kText, sizeof(kText)));
  EXPECT_FALSE(IsBadStringPtrA(kText, UINTPTR_MAX));
  EXPECT_TRUE(IsBadWritePtr(const_cast<char *>(kText), 1));
}

TEST(PointerChecks, WriteCheckLeavesConcurrentWritesAlone) {
  // A checker that read and wrote back would lose some of these increments.
  std::atomic<std::uint64_t> counter{0};
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 200000; ++i) {
      counter.fetch_add(1, std::memory_order_relaxed);
    }
    stop = true;
  });
  int checks = 0;
  while (!stop.load() || checks < 10) {
    EXPECT_FALSE(IsBadWritePtr(&counter, sizeof(counter)));
    ++checks;
  }
  writer.join();
  EXPECT_EQ(counter.load(), 200000u);
}

} // namespace
