// Helpers for the engine tests: temporary stores, request builders and an
// engine wrapper with a clock the test controls.
#pragma once

#include "image.h"
#include "tavelo/emulator/engine.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace emutest {

namespace fs = std::filesystem;
namespace wire = tavelo::emu::wire;
using Bytes = std::vector<std::uint8_t>;
using tavelo::emu::Engine;

// A fresh store folder under the build tree, removed again at the end.
class TempStore {
public:
  TempStore() {
    std::string pattern = std::string(EMULATOR_TEST_TMP) + "/storeXXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    root_ = pattern;
    fs::create_directories(root_ / "2");
  }
  ~TempStore() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  TempStore(const TempStore &) = delete;
  TempStore &operator=(const TempStore &) = delete;

  const fs::path &root() const { return root_; }
  fs::path drive(int n = 2) const { return root_ / std::to_string(n); }

  void write(const std::string &relative, const Bytes &data) const {
    const auto p = root_ / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char *>(data.data()),
               static_cast<std::streamsize>(data.size()));
  }
  void write_text(const std::string &relative, const std::string &text) const {
    write(relative, Bytes(text.begin(), text.end()));
  }
  Bytes read(const std::string &relative) const {
    std::ifstream in(root_ / relative, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  bool exists(const std::string &relative) const { return fs::exists(root_ / relative); }

  // Every file of the store with its content: a picture to compare before and after.
  std::map<std::string, Bytes> snapshot() const {
    std::map<std::string, Bytes> out;
    for (const auto &e : fs::recursive_directory_iterator(root_)) {
      const auto rel = fs::relative(e.path(), root_).string();
      out[rel] = e.is_regular_file() ? read(rel) : Bytes{'/'};
    }
    return out;
  }

private:
  fs::path root_;
};

inline Bytes jpeg(std::uint32_t w, std::uint32_t h, bool exif = false, std::uint32_t frame = 3) {
  return tavelo::emu::encode_jpeg(tavelo::emu::synthetic_scene(w, h, frame), 85, exif);
}

// Request builder: header first, then fields at their offsets.
class Req {
public:
  Req(std::uint16_t command, std::size_t size) : bytes_(size) {
    bytes_[wire::header::version] = 1;
    wire::put_u16(bytes_, wire::header::command, command);
    wire::put_u32(bytes_, wire::header::length, static_cast<std::uint32_t>(size - 4));
  }
  Req &u32(std::size_t at, std::uint32_t v) {
    wire::put_u32(bytes_, at, v);
    return *this;
  }
  // A four-character code, all four bytes.
  Req &tag(std::size_t at, std::string_view code) {
    for (std::size_t i = 0; i < 4; ++i) {
      bytes_[at + i] = i < code.size() ? static_cast<std::uint8_t>(code[i]) : ' ';
    }
    return *this;
  }
  Req &text(std::size_t at, std::size_t width, const std::string &s) {
    wire::put_text(bytes_, at, width, s);
    return *this;
  }
  Req &record(std::size_t at, std::uint32_t drive, const std::string &dir,
              const std::string &name) {
    namespace r = wire::name_record;
    u32(at + r::drive, drive);
    text(at + r::path, r::path_width, dir);
    return text(at + r::name, r::name_width, name);
  }
  Req &bytes(std::size_t at, const Bytes &data) {
    std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(at));
    return *this;
  }
  operator const Bytes &() const { return bytes_; }
  const Bytes &get() const { return bytes_; }

private:
  Bytes bytes_;
};

inline Bytes bare(std::uint16_t command) {
  return Req(command, wire::header::size);
}

inline Bytes read_request(std::uint32_t drive, const std::string &dir, const std::string &name,
                          std::uint32_t kind, std::uint32_t offset) {
  namespace r = wire::read_request;
  return Req(wire::cmd::read_file, r::size)
      .record(r::record, drive, dir, name)
      .u32(r::kind, kind)
      .u32(r::offset, offset);
}

inline Bytes dir_request(std::uint16_t command, std::uint32_t drive, const std::string &path) {
  namespace d = wire::directory_request;
  return Req(command, d::size).u32(d::drive, drive).text(d::path, 32, path);
}

// An engine over a store with a controlled clock and a recorded sleep.
class Camera {
public:
  explicit Camera(const fs::path &store) : engine_(std::make_unique<Engine>(store, options())) {}

  Engine::Options options() {
    Engine::Options o;
    o.clock = [this] {
      return std::chrono::system_clock::time_point(std::chrono::seconds(now_.load()));
    };
    o.sleep = [this](std::chrono::milliseconds d) { slept_ += d.count(); };
    return o;
  }

  // Exchanges and expects an answer.
  Bytes ask(const Bytes &request, std::size_t capacity = 65536) {
    Bytes response(capacity);
    const auto r = engine_->exchange(request, response);
    EXPECT_EQ(r.outcome, tavelo::emu::Outcome::answered);
    response.resize(r.outcome == tavelo::emu::Outcome::answered ? r.length : 0);
    if (response.size() >= wire::header::size) {
      EXPECT_EQ(wire::get_u32(response, 0), response.size() - 4) << "length field";
    }
    return response;
  }
  static std::uint16_t status(const Bytes &response) {
    return response.size() >= wire::header::size ? wire::get_u16(response, wire::header::status)
                                                 : 0xFFFF;
  }
  std::uint16_t status_of(const Bytes &request) { return status(ask(request)); }

  Engine &engine() { return *engine_; }
  void advance(std::int64_t seconds) { now_ += seconds; }
  std::int64_t now() const { return now_; }
  std::int64_t slept_ms() const { return slept_; }

private:
  std::atomic<std::int64_t> now_{1'700'000'000}; // 2023-11-14 22:13:20 UTC
  std::atomic<std::int64_t> slept_{0};
  std::unique_ptr<Engine> engine_;
};

inline std::uint32_t u32(const Bytes &b, std::size_t at) {
  return wire::get_u32(b, at);
}

} // namespace emutest
