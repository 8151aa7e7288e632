// Pointer-validity checks that look at the address space instead of touching
// the memory, so they never fault and never change what they inspect.
//
// Memory in the live frames of the calling thread's own stack, from the
// checking function's frame up to the top of the thread's stack, is mapped
// readable and writable for as long as those frames run: it is accepted
// without asking the kernel. That is where most output pointers point (a
// caller's local variable), and a system call costs far more than the
// command it guards on a virtual machine.
//
// Memory between the start of the program's break area and the current
// break (the heap malloc grows with brk) is one readable and writable
// mapping: it is accepted without asking the kernel too. That is where most
// of a program's small objects live. A program that changes the protection
// of pages in its own break area is not served by this shortcut.
//
// Readable and writable ranges are tested with madvise(MADV_POPULATE_READ /
// MADV_POPULATE_WRITE): the kernel faults the pages in as a real access would
// (a private copy-on-write page is copied, contents stay the same) and fails
// when the access is not allowed. That costs the kernel a walk of every page
// (about half a microsecond each on a virtual machine, 8 ms for 64 MiB), so
// ranges of a megabyte or more, where the kernel lacks these requests, and
// execute permission, which madvise cannot test, are looked up in
// /proc/self/maps instead: one read, whatever the size. The map shows the
// same permissions; what it cannot show is a file mapping that runs past the
// end of its file, which faults although the map allows it.
#include "internal.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum class Access { read, write, execute };

// From this size on, reading the map costs less than populating the pages.
constexpr std::uintptr_t kMapsFromSize = std::uintptr_t{1} << 20;

std::uintptr_t page_size() {
  static const auto size = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// Reads the whole of /proc/self/maps; empty when it cannot be read.
std::string read_maps() {
  std::string text;
  const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return text;
  }
  std::array<char, 4096> chunk{};
  for (;;) {
    const ssize_t got = read(fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    text.append(chunk.data(), static_cast<std::size_t>(got));
  }
  close(fd);
  return text;
}

// True when every byte of [begin, end) lies in mappings that allow `access`.
// Lines look like "7f00a000-7f00c000 r-xp 00000000 08:01 1234 /lib/x.so" and
// come in address order.
bool maps_allow(std::uintptr_t begin, std::uintptr_t end, Access access) {
  const std::string maps = read_maps();
  const int index = access == Access::read ? 0 : access == Access::write ? 1 : 2;
  const char wanted = "rwx"[index];
  std::uintptr_t covered = begin; // everything below this is known to be good
  const char *cursor = maps.c_str();
  const char *const text_end = cursor + maps.size();
  while (cursor < text_end && covered < end) {
    const char *line_end = static_cast<const char *>(std::memchr(cursor, '\n', text_end - cursor));
    if (line_end == nullptr) {
      line_end = text_end;
    }
    char *field = nullptr;
    const std::uintptr_t low = std::strtoull(cursor, &field, 16);
    const bool well_formed = *field == '-';
    const std::uintptr_t high = well_formed ? std::strtoull(field + 1, &field, 16) : 0;
    const char *permissions = field + 1;
    cursor = line_end + 1;
    if (!well_formed || *field != ' ' || line_end - permissions < 4 || high <= covered) {
      continue;
    }
    if (low > covered || permissions[index] != wanted) {
      return false; // a hole, or not allowed
    }
    covered = high;
  }
  return covered >= end;
}

int populate_request(Access access) {
  return access == Access::read ? MADV_POPULATE_READ : MADV_POPULATE_WRITE;
}

// Whether the kernel understands the populate requests; tested once on a page
// that is certainly readable and writable.
bool populate_supported() {
  static const bool supported = [] {
    std::vector<unsigned char> probe(page_size() * 2);
    const auto start =
        (reinterpret_cast<std::uintptr_t>(probe.data()) + page_size() - 1) & ~(page_size() - 1);
    return madvise(reinterpret_cast<void *>(start), page_size(), MADV_POPULATE_WRITE) == 0;
  }();
  return supported;
}

// The calling thread's stack: lowest and highest address, or 0 and 0 when
// they cannot be told. Found once per thread.
struct StackBounds {
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
};

StackBounds find_stack_bounds() {
  StackBounds bounds;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
    return bounds;
  }
  void *address = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attributes, &address, &size) == 0) {
    bounds.low = reinterpret_cast<std::uintptr_t>(address);
    bounds.high = bounds.low + size;
  }
  pthread_attr_destroy(&attributes);
  return bounds;
}

// True when [begin, end) lies in live frames of the calling thread's stack:
// above this function's own frame and below the stack's top. Running on
// another stack (a signal stack, a coroutine) gives false.
__attribute__((noinline)) bool in_live_stack(std::uintptr_t begin, std::uintptr_t end) {
  thread_local const StackBounds bounds = find_stack_bounds();
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return here > bounds.low && here < bounds.high && begin >= here && end <= bounds.high;
}

// Where the kernel began the break area (field 47 of /proc/self/stat), or 0
// when it cannot be told.
std::uintptr_t read_break_start() {
  const int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return 0;
  }
  std::array<char, 2048> text{};
  const ssize_t got = read(fd, text.data(), text.size() - 1);
  close(fd);
  if (got <= 0) {
    return 0;
  }
  // The second field, the command name, is in parentheses and may hold
  // blanks; the fields after its closing one are plain numbers.
  const char *cursor = std::strrchr(text.data(), ')');
  constexpr int kFieldsAfterName = 47 - 2;
  for (int field = 0; cursor != nullptr && field < kFieldsAfterName; ++field) {
    cursor = std::strchr(cursor + 1, ' ');
  }
  return cursor == nullptr ? 0 : std::strtoull(cursor + 1, nullptr, 10);
}

// True when [begin, end) lies between the start of the break area and the
// current break. sbrk(0) only reads the break that malloc keeps.
bool in_break_area(std::uintptr_t begin, std::uintptr_t end) {
  static const std::uintptr_t start = read_break_start();
  return start != 0 && begin >= start && end <= reinterpret_cast<std::uintptr_t>(sbrk(0));
}

bool range_allows(const void *pointer, std::uintptr_t size, Access access) {
  if (size == 0) {
    return true;
  }
  if (pointer == nullptr) {
    return false;
  }
  const auto begin = reinterpret_cast<std::uintptr_t>(pointer);
  if (size > UINTPTR_MAX - begin) {
    return false; // wraps around the address space
  }
  const std::uintptr_t end = begin + size;
  if (access != Access::execute && (in_live_stack(begin, end) || in_break_area(begin, end))) {
    return true;
  }
  const std::uintptr_t first = begin & ~(page_size() - 1);
  const std::uintptr_t last = (end - 1) & ~(page_size() - 1);
  if (access == Access::execute || last - first >= kMapsFromSize || !populate_supported()) {
    return maps_allow(first, last + page_size(), access);
  }
  for (;;) {
    // ENOMEM: a hole; EINVAL or EFAULT: no such permission; EINTR or EAGAIN:
    // interrupted, so ask again.
    if (madvise(reinterpret_cast<void *>(first), last - first + page_size(),
                populate_request(access)) == 0) {
      return true;
    }
    if (errno != EINTR && errno != EAGAIN) {
      return false;
    }
  }
}

} // namespace

extern "C" {

BOOL WINAPI IsBadReadPtr(const void *pointer, UINT_PTR size) {
  return range_allows(pointer, size, Access::read) ? FALSE : TRUE;
}

BOOL WINAPI IsBadWritePtr(LPVOID pointer, UINT_PTR size) {
  return range_allows(pointer, size, Access::write) ? FALSE : TRUE;
}

BOOL WINAPI IsBadCodePtr(FARPROC pointer) {
  return range_allows(reinterpret_cast<const void *>(pointer), 1, Access::execute) ? FALSE : TRUE;
}

BOOL WINAPI IsBadStringPtrA(LPCSTR text, UINT_PTR maximum) {
  if (maximum == 0) {
    return FALSE;
  }
  if (text == nullptr) {
    return TRUE;
  }
  // Check one page at a time and look for the terminator in it, so a short
  // string just before an unreadable page is good.
  auto address = reinterpret_cast<std::uintptr_t>(text);
  UINT_PTR left = maximum;
  while (left > 0) {
    const std::uintptr_t page_end = (address & ~(page_size() - 1)) + page_size();
    const std::uintptr_t span = std::min<std::uintptr_t>(left, page_end - address);
    if (!range_allows(reinterpret_cast<const void *>(address), span, Access::read)) {
      return TRUE;
    }
    const auto *bytes = reinterpret_cast<const char *>(address);
    if (std::memchr(bytes, 0, span) != nullptr) {
      return FALSE;
    }
    left -= span;
    if (address > UINTPTR_MAX - span) {
      return TRUE;
    }
    address += span;
  }
  return FALSE;
}

} // extern "C"
