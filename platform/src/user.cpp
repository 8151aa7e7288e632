// MessageBoxA: there is no desktop, so a box becomes one line on stderr, or
// goes to the hook a test installed.
#include "internal.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <shared_mutex>
#include <string>

namespace {

struct Hook {
  std::shared_mutex mutex; // boxes hold it shared; replacing the hook waits for them
  tavelort_message_box_hook function = nullptr;
  void *context = nullptr;
};

Hook &hook() {
  static Hook instance;
  return instance;
}

void write_all(int fd, const std::string &line) {
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t written = write(fd, line.data() + done, line.size() - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    done += static_cast<std::size_t>(written);
  }
}

} // namespace

extern "C" {

void tavelort_set_message_box_hook(tavelort_message_box_hook function, void *context) {
  Hook &h = hook();
  const std::unique_lock lock(h.mutex);
  h.function = function;
  h.context = context;
}

int WINAPI MessageBoxA(HWND /*owner*/, LPCSTR text, LPCSTR caption, UINT /*type*/) {
  // Windows shows "Error" for a box without a caption.
  const char *shown_caption = caption != nullptr ? caption : "Error";
  const char *shown_text = text != nullptr ? text : "";
  Hook &h = hook();
  const std::shared_lock lock(h.mutex);
  if (h.function != nullptr) {
    h.function(shown_text, shown_caption, h.context);
  } else {
    // One write per box so boxes from several threads do not interleave.
    write_all(STDERR_FILENO, std::string(shown_caption) + ": " + shown_text + "\n");
  }
  return IDOK;
}

} // extern "C"
