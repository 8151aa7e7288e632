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
#include <numeric>
#include <string>
#include <vector>

namespace emutest {

namespace fs = std::filesystem;
namespace wire = tavelo::emu::wire;
namespace cmd = tavelo::emu::wire::cmd;
using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;
using tavelo::emu::Engine;
using tavelo::emu::Outcome;

inline std::uint32_t u32(const Bytes &b, std::size_t at) {
  return wire::get_u32(b, at);
}

// A fresh store folder under the build tree, removed again at the end.
class TempStore {
public:
  TempStore() {
    std::string pattern = std::string(EMULATOR_TEST_TMP) + "/storeXXXXXX";
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "2");
  }
  ~TempStore() { fs::remove_all(root_, ec_); }

  const fs::path &root() const { return root_; }
  fs::path drive(int n = 2) const { return root_ / std::to_string(n); }
  bool exists(const std::string &relative) const { return fs::exists(root_ / relative); }
  void write(const std::string &relative, const Bytes &data) const {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative, std::ios::binary)
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
  std::error_code ec_;
};

inline Bytes jpeg(std::uint32_t w, std::uint32_t h, bool exif = false) {
  return tavelo::emu::encode_jpeg(tavelo::emu::synthetic_scene(w, h, 3), 85, exif);
}

using Text = const std::string &;

// Request builder: header first, then fields at their offsets.
class Req {
public:
  Req(std::uint16_t command, std::size_t size) : bytes_(size) {
    bytes_[wire::header::version] = 1;
    wire::put_u16(bytes_, wire::header::command, command);
    wire::put_u32(bytes_, wire::header::length, static_cast<std::uint32_t>(size - 4));
  }
  Req &u32(std::size_t at, std::uint32_t v) { return wire::put_u32(bytes_, at, v), *this; }
  Req &text(std::size_t at, std::size_t width, Text s) {
    return wire::put_text(bytes_, at, width, s), *this;
  }
  Req &tag(std::size_t at, std::string_view code) { // four characters
    std::copy(code.begin(), code.begin() + 4, bytes_.begin() + static_cast<long>(at));
    return *this;
  }
  Req &record(std::size_t at, std::uint32_t drive, Text dir, Text name) {
    return u32(at, drive).text(at + 4, 32, dir).text(at + 36, 16, name);
  }
  Req &bytes(std::size_t at, const Bytes &data) {
    return std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<long>(at)), *this;
  }
  operator const Bytes &() const { return bytes_; }

private:
  Bytes bytes_;
};

inline Bytes bare(std::uint16_t command) {
  return Req(command, wire::header::size);
}
// A request whose body starts with a name record on drive 2.
inline Req named(std::uint16_t command, std::size_t size, Text dir, Text name) {
  return std::move(Req(command, size).record(12, 2, dir, name));
}
inline Bytes read_request(std::uint32_t drive, Text dir, Text name, std::uint32_t kind,
                          std::uint32_t offset) {
  return Req(cmd::read_file, 80).record(12, drive, dir, name).u32(64, kind).u32(68, offset);
}
inline Bytes dir_request(std::uint16_t command, Text path, std::uint32_t drive = 2) {
  return Req(command, 48).u32(12, drive).text(16, 32, path);
}
inline Bytes get_tag(Text dir, Text name, const char *tag) {
  return named(cmd::get_tag, 68, dir, name).tag(64, tag);
}
inline Bytes set_tag(Text dir, Text name, const char *tag, std::uint32_t v) {
  return named(cmd::set_tag, 72, dir, name).tag(64, tag).u32(68, v);
}
inline Bytes set_tag(Text dir, Text name, const char *tag, Text v) {
  return named(cmd::set_tag, 100, dir, name).tag(64, tag).text(68, 32, v);
}
inline Bytes get_param(const char *tag) {
  return Req(cmd::get_parameter, 16).tag(12, tag);
}
inline Bytes set_param(const char *tag, std::uint32_t v) {
  return Req(cmd::set_parameter, 20).tag(12, tag).u32(16, v);
}
inline Bytes set_param(const char *tag, Text v) {
  return Req(cmd::set_parameter, 48).tag(12, tag).text(16, 32, v);
}
inline Bytes set_user_default(const char *tag, std::uint32_t v, std::uint32_t selector = 1) {
  return Req(cmd::set_user_default, 24).u32(12, selector).tag(16, tag).u32(20, v);
}
inline Bytes set_clock(std::uint32_t date, std::uint32_t time) {
  return Req(cmd::set_clock, 20).u32(12, date).u32(16, time);
}
inline Bytes capture(std::uint32_t mode, std::uint32_t second, std::uint32_t a = 0,
                     std::uint32_t b = 0, std::uint32_t c = 0) {
  return Req(cmd::start_capture, 32).u32(12, mode).u32(16, second).u32(20, a).u32(24, b).u32(28, c);
}
inline Bytes group(Text name, const std::vector<std::pair<std::string, std::string>> &members) {
  Req r(cmd::create_group, 32 + 52 * members.size());
  r.text(12, 16, name).u32(28, static_cast<std::uint32_t>(members.size()));
  for (std::size_t i = 0; i < members.size(); ++i) {
    r.record(32 + 52 * i, 2, members[i].first, members[i].second);
  }
  return r;
}
inline Bytes write_chunk(Text dir, Text name, std::uint32_t offset, std::uint32_t total,
                         const Bytes &data) {
  const auto n = static_cast<std::uint32_t>(data.size());
  Req r = named(cmd::write_file, 80 + n, dir, name);
  return r.u32(68, offset).u32(72, n).u32(76, total).bytes(80, data);
}
inline Bytes run_script(Text name) {
  return Req(cmd::run_script, 28).text(12, 16, name);
}
// The default drive query with the camera's own items and the given serial number.
inline Bytes drive_query(std::uint32_t serial) {
  Req r(cmd::default_drive, 120);
  r.u32(12, 4).tag(16, "vdid").text(24, 32, "Tavelo").tag(56, "ptid");
  return r.text(64, 32, "Virtual Camera VC-1").tag(96, "sern").u32(104, serial).tag(108, "crst");
}

// An engine over a store with a controlled clock and a recorded sleep.
class Camera {
public:
  explicit Camera(const fs::path &store) {
    Engine::Options o;
    o.clock = [this] { return std::chrono::system_clock::time_point(std::chrono::seconds(now_)); };
    o.sleep = [this](std::chrono::milliseconds d) { slept_ += d.count(); };
    engine_ = std::make_unique<Engine>(store, o);
  }

  // Exchanges and expects a whole answer to the same command.
  Bytes ask(const Bytes &request) {
    Bytes response(65536);
    const auto r = engine_->exchange(request, response);
    EXPECT_EQ(r.outcome, Outcome::answered);
    response.resize(r.outcome == Outcome::answered ? r.length : 0);
    if (response.size() >= wire::header::size && request.size() >= wire::header::size) {
      EXPECT_EQ(u32(response, 0), response.size() - 4) << "length field";
      EXPECT_EQ(wire::get_u16(response, 8), wire::get_u16(request, 8)) << "command field";
    }
    return response;
  }
  static std::uint16_t status(const Bytes &response) {
    return response.size() >= wire::header::size ? wire::get_u16(response, 10) : 0xFFFF;
  }
  std::uint16_t status_of(const Bytes &request) { return status(ask(request)); }
  std::uint32_t status_word(std::size_t at) { return u32(ask(bare(cmd::status)), at); }
  // The value of a one-item answer, as a number or as text.
  std::uint32_t number(const Bytes &request) {
    const auto r = ask(request);
    return r.size() >= 28 && status(r) == 0 ? u32(r, 24) : 0xDEADBEEF;
  }
  std::string text(const Bytes &request) {
    const auto r = ask(request);
    return r.size() >= 56 && status(r) == 0 ? wire::get_text(r, 24, 32) : "<refused>";
  }

  // Reads a whole file in chunks as a host does; their lengths go to `chunks`.
  Bytes download(Text dir, Text name) {
    Bytes data;
    chunks.clear();
    for (int guard = 0; guard < 10000; ++guard) {
      const auto offset = static_cast<std::uint32_t>(data.size());
      const auto r = ask(read_request(2, dir, name, 0, offset));
      if (status(r) != 0 || u32(r, 12) != offset || r.size() != 24 + u32(r, 16)) {
        ADD_FAILURE() << "bad chunk at " << offset;
        break;
      }
      data.insert(data.end(), r.begin() + 24, r.end());
      chunks.push_back(u32(r, 16));
      if (data.size() >= u32(r, 20)) {
        break;
      }
    }
    return data;
  }

  // "name/" for a directory, "name size" for a file.
  std::vector<std::string> list(Text dir) {
    const auto r = ask(dir_request(cmd::directory_list, dir));
    EXPECT_EQ(r.size(), r.size() < 16 ? r.size() : 16 + 48 * u32(r, 12)) << "count field";
    std::vector<std::string> out;
    for (std::size_t at = 16; at + 48 <= r.size(); at += 48) {
      out.push_back(wire::get_text(r, at, 16) +
                    (r[at + 44] & 0x80 ? "/" : " " + std::to_string(u32(r, at + 16))));
    }
    return out;
  }
  // "drive:path+name" of each entry of a file list (entries of 60) or group list (36).
  std::vector<std::string> names(const Bytes &request, std::size_t entry) {
    const auto r = ask(request);
    EXPECT_EQ(r.size(), r.size() < 16 ? r.size() : 16 + entry * u32(r, 12)) << "count field";
    std::vector<std::string> out;
    for (std::size_t at = 16; at + entry <= r.size(); at += entry) {
      out.push_back(std::to_string(u32(r, at)) + ":" + wire::get_text(r, at + 4, 32) +
                    wire::get_text(r, at + 36, 16));
    }
    return out;
  }

  std::vector<std::uint32_t> chunks;
  Engine &engine() { return *engine_; }
  void advance(std::int64_t seconds) { now_ += seconds; }
  std::int64_t slept_ms() const { return slept_; }

private:
  std::atomic<std::int64_t> now_{1'700'000'000}; // 2023-11-14 22:13:20 UTC
  std::atomic<std::int64_t> slept_{0};
  std::unique_ptr<Engine> engine_;
};

// A camera over a fresh store.
class CameraTest : public ::testing::Test {
protected:
  TempStore store;
  Camera cam{store.root()};
};

} // namespace emutest
