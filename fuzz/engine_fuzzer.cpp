// A hostile host: request packets from the input to the virtual camera, over
// a scratch demo store made once per process. Input: a flags byte (bit 0:
// the rest is the whole packet, else the command code and the body, behind a
// header made with the right length; bit 1: a 64-byte response buffer).
#include "tavelo/emulator/demo_store.h"
#include "tavelo/emulator/engine.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

namespace {
std::unique_ptr<tavelo::emu::Engine> engine;
std::filesystem::path store;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  store =
      std::filesystem::temp_directory_path() / ("tavelo-fuzz-store-" + std::to_string(getpid()));
  tavelo::emu::make_demo_store(store);
  engine = std::make_unique<tavelo::emu::Engine>(
      store, tavelo::emu::Engine::Options{{}, [](std::chrono::milliseconds) {}});
  std::atexit([] {
    engine.reset();
    std::filesystem::remove_all(store);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 3) {
    return 0;
  }
  std::vector<std::uint8_t> request;
  if ((data[0] & 1) == 0) { // a header with the right length, version 1 and the command code
    const std::size_t length = size + 5; // the header's 12 bytes less 4, the body's size - 3 more
    request = {0, 0, 0, 0, 1, 0, 0, 0, data[1], data[2], 0, 0};
    for (std::size_t i = 0; i < 4; ++i) {
      request[i] = std::uint8_t(length >> (24 - 8 * i));
    }
  }
  request.insert(request.end(), data + (request.empty() ? 1 : 3), data + size);
  // Exactly the size given, so that a write past it is caught.
  std::vector<std::uint8_t> response((data[0] & 2) != 0 ? 64 : 65536);
  engine->power_on();
  if (engine->exchange(request, response).length > response.size()) {
    std::abort(); // claims more than it may have written
  }
  return 0;
}
