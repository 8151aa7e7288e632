// Task allocator, process heap and local blocks, all on top of malloc.
#include "internal.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <mutex>
#include <sys/mman.h>
#include <utility>

namespace {

// Blocks from this size up (a download's data block) get large pages where
// the kernel offers them on request, so that the pages the copy into them
// touches are mapped 2 MiB at a time instead of one fault per 4 KiB. Nothing
// is mapped in here: a block costs memory only as it is written, however
// much was asked for (the library maps a download's pages in ahead of its
// copy, as the chunks arrive).
constexpr std::size_t kLargeBlock = std::size_t{1} << 20;
constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;

void *prepare_large(void *block, std::size_t size) {
  if (block == nullptr || size < kLargeBlock) {
    return block;
  }
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (begin + kLargePage - 1) & ~(kLargePage - 1);
  const std::uintptr_t last = (begin + size) & ~(kLargePage - 1);
  if (last > first) {
    madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
  }
  return block;
}

// The most recently freed large block is kept for the next large request
// that it suits, as production allocators keep freed memory for reuse:
// a download's data block is then neither mapped, zeroed nor faulted in
// again. Released when a newer large block is freed, or when a large
// request comes that it does not suit (before that request is mapped, so
// the two never add up). Blocks past kKeepLimit are never kept. The
// address sanitizer's build keeps nothing, so it still sees every use of a
// freed block.
#if defined(__SANITIZE_ADDRESS__)
#define TAVELORT_KEEP_LARGE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVELORT_KEEP_LARGE 0
#endif
#endif
#ifndef TAVELORT_KEEP_LARGE
#define TAVELORT_KEEP_LARGE 1
#endif

constexpr std::size_t kKeepLimit = std::size_t{256} << 20;

class KeptBlock {
public:
  // The kept block when it holds `size` bytes and wastes at most a quarter
  // of itself on them; else null, and a kept block that does not suit is
  // released.
  void *Take(std::size_t size) {
    void *unsuited = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (block_ == nullptr) {
        return nullptr;
      }
      if (size <= size_ && size >= size_ - size_ / 4) {
        return std::exchange(block_, nullptr);
      }
      unsuited = std::exchange(block_, nullptr);
    }
    std::free(unsuited);
    return nullptr;
  }
  // True when `block` is now kept instead of freed.
  bool Keep(void *block) {
    const std::size_t size = malloc_usable_size(block);
    if (size < kLargeBlock || size > kKeepLimit) {
      return false;
    }
    void *older = nullptr;
    {
      std::lock_guard lock(mutex_);
      older = std::exchange(block_, block);
      size_ = size;
    }
    std::free(older);
    return true;
  }

private:
  std::mutex mutex_;
  void *block_ = nullptr;
  std::size_t size_ = 0; // usable bytes of block_
};

// Never destroyed: blocks may be freed while the process exits.
KeptBlock &kept_block() {
  static auto *kept = new KeptBlock;
  return *kept;
}

void *allocate_task_block(std::size_t size) {
  if (TAVELORT_KEEP_LARGE && size >= kLargeBlock) {
    if (void *block = kept_block().Take(size)) {
      return block; // its pages are mapped from its last use
    }
  }
  // A zero-byte request still yields a distinct block that must be freed.
  return prepare_large(std::malloc(size == 0 ? 1 : size), size);
}

void free_task_block(void *block) {
  if (block != nullptr && (!TAVELORT_KEEP_LARGE || !kept_block().Keep(block))) {
    std::free(block);
  }
}

// Heap blocks remember their requested size in front of the data so that
// HeapReAlloc with HEAP_ZERO_MEMORY clears exactly the bytes that are new.
// The header keeps the data at malloc's alignment.
struct alignas(std::max_align_t) HeapHeader {
  std::size_t size;
};

// The one heap there is; its handle only needs to be distinct and non-null.
alignas(std::max_align_t) unsigned char process_heap_tag;

bool is_process_heap(HANDLE heap) {
  return heap == &process_heap_tag;
}

HeapHeader *header_of(void *block) {
  return static_cast<HeapHeader *>(block) - 1;
}

} // namespace

namespace tavelort {

// Allocation-failure injection for tests, per thread (tavelort.h). Every
// allocation function asks this first.
namespace {
thread_local unsigned long injection_fail_at = 0;
thread_local unsigned long injection_counted = 0;
} // namespace

bool injected_failure() {
  if (injection_fail_at == 0) {
    return false;
  }
  return ++injection_counted == injection_fail_at;
}

void *local_alloc(std::size_t size) {
  return std::malloc(size == 0 ? 1 : size);
}

} // namespace tavelort

using tavelort::fail;

extern "C" {

unsigned long tavelort_fail_nth_allocation(unsigned long nth) {
  const unsigned long counted = tavelort::injection_counted;
  tavelort::injection_fail_at = nth;
  tavelort::injection_counted = 0;
  return counted;
}

LPVOID WINAPI CoTaskMemAlloc(SIZE_T size) {
  if (tavelort::injected_failure()) {
    return nullptr;
  }
  return allocate_task_block(size);
}

LPVOID WINAPI CoTaskMemRealloc(LPVOID block, SIZE_T size) {
  if (block == nullptr) {
    return CoTaskMemAlloc(size);
  }
  if (size == 0) {
    free_task_block(block);
    return nullptr;
  }
  if (tavelort::injected_failure()) {
    return nullptr;
  }
  return std::realloc(block, size);
}

void WINAPI CoTaskMemFree(LPVOID block) {
  free_task_block(block);
}

HANDLE WINAPI GetProcessHeap(void) {
  return &process_heap_tag;
}

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
  if (tavelort::injected_failure()) {
    return fail<LPVOID>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  if (!is_process_heap(heap)) {
    return fail<LPVOID>(ERROR_INVALID_HANDLE, nullptr);
  }
  if (size > SIZE_MAX - sizeof(HeapHeader)) {
    return fail<LPVOID>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  const std::size_t total = sizeof(HeapHeader) + size;
  void *raw = (flags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(1, total) : std::malloc(total);
  if (raw == nullptr) {
    return fail<LPVOID>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  auto *header = static_cast<HeapHeader *>(raw);
  header->size = size;
  return header + 1;
}

LPVOID WINAPI HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T size) {
  if (tavelort::injected_failure()) {
    return fail<LPVOID>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  if (!is_process_heap(heap)) {
    return fail<LPVOID>(ERROR_INVALID_HANDLE, nullptr);
  }
  if (block == nullptr) {
    return fail<LPVOID>(ERROR_INVALID_PARAMETER, nullptr);
  }
  if (size > SIZE_MAX - sizeof(HeapHeader)) {
    return fail<LPVOID>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  const std::size_t old_size = header_of(block)->size;
  void *raw = std::realloc(header_of(block), sizeof(HeapHeader) + size);
  if (raw == nullptr) {
    // The old block stays valid, as on Windows.
    return fail<LPVOID>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  auto *header = static_cast<HeapHeader *>(raw);
  header->size = size;
  auto *data = reinterpret_cast<unsigned char *>(header + 1);
  if ((flags & HEAP_ZERO_MEMORY) != 0 && size > old_size) {
    std::memset(data + old_size, 0, size - old_size);
  }
  return data;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD /*flags*/, LPVOID block) {
  if (!is_process_heap(heap)) {
    return fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  }
  if (block != nullptr) {
    std::free(header_of(block));
  }
  return TRUE;
}

HLOCAL WINAPI LocalFree(HLOCAL block) {
  std::free(block);
  return nullptr;
}

} // extern "C"
