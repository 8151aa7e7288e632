// A hostile host: request packets from the input to the virtual camera, over
// a scratch demo store made once per process. Input: a flags byte (bit 0:
// the rest is the whole packet; bit 1: a 64-byte response buffer), then the
// command code and the body, after which a header with the right length is
// made.
#include "tavelo/emulator/demo_store.h"
#include "tavelo/emulator/engine.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

namespace fs = std::filesystem;
std::unique_ptr<tavelo::emu::Engine> engine;
fs::path store;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  store = fs::temp_directory_path() / ("tavelo-fuzz-store-" + std::to_string(getpid()));
  tavelo::emu::make_demo_store(store);
  engine = std::make_unique<tavelo::emu::Engine>(
      store, tavelo::emu::Engine::Options{{}, [](std::chrono::milliseconds) {}});
  std::atexit([] {
    engine.reset();
    fs::remove_all(store);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 3) {
    return 0;
  }
  std::vector<std::uint8_t> request;
  if ((data[0] & 1) == 0) {
    const std::size_t length = 8 + size - 3;
    request = {std::uint8_t(length >> 24),
               std::uint8_t(length >> 16),
               std::uint8_t(length >> 8),
               std::uint8_t(length),
               1,
               0,
               0,
               0,
               data[1],
               data[2],
               0,
               0};
    request.insert(request.end(), data + 3, data + size);
  } else {
    request.assign(data + 1, data + size);
  }
  // Exactly the size asked for, so that a write past it is caught.
  std::vector<std::uint8_t> response((data[0] & 2) != 0 ? 64 : 65536);
  engine->power_on();
  const auto result = engine->exchange(request, response);
  if (result.length > response.size()) {
    std::abort(); // claims more than it may have written
  }
  return 0;
}
