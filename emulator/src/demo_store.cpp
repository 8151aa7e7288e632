#include "tavelo/emulator/demo_store.h"

#include "camera.h"
#include "image.h"
#include "store.h"
#include "wire.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>

namespace tavelo::emu {
namespace fs = std::filesystem;

namespace {

Rgb canvas(std::uint32_t w, std::uint32_t h) {
  return Rgb{w, h, std::vector<std::uint8_t>(std::size_t{w} * h * 3)};
}

void set(Rgb &img, std::uint32_t x, std::uint32_t y, std::uint8_t r, std::uint8_t g,
         std::uint8_t b) {
  auto *p = &img.pixels[(std::size_t{y} * img.width + x) * 3];
  p[0] = r;
  p[1] = g;
  p[2] = b;
}

// Sky gradient over a sea with concentric ripples.
Rgb seascape(std::uint32_t w, std::uint32_t h) {
  Rgb img = canvas(w, h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      if (y < h / 2) {
        set(img, x, y, static_cast<std::uint8_t>(120 + 100 * y / h),
            static_cast<std::uint8_t>(170 + 60 * y / h), 250);
      } else {
        const double dx = double(x) - w / 2.0;
        const double dy = (double(y) - h * 0.75) * 3;
        const auto ripple =
            static_cast<std::uint8_t>(60 + 40 * std::sin(std::sqrt(dx * dx + dy * dy) / 6));
        set(img, x, y, 20, ripple, static_cast<std::uint8_t>(120 + ripple));
      }
    }
  }
  return img;
}

// Checkerboard with a red disc: sharp edges for the thumbnail scaler.
Rgb checkers(std::uint32_t w, std::uint32_t h) {
  Rgb img = canvas(w, h);
  const std::uint32_t cell = std::max<std::uint32_t>(w / 16, 2);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const double dx = double(x) - w * 0.6;
      const double dy = double(y) - h * 0.4;
      if (dx * dx + dy * dy < (h / 4.0) * (h / 4.0)) {
        set(img, x, y, 220, 30, 40);
      } else {
        const std::uint8_t v = ((x / cell + y / cell) % 2) ? 235 : 35;
        set(img, x, y, v, v, v);
      }
    }
  }
  return img;
}

// Rainbow bands across, darkening downwards.
Rgb rainbow(std::uint32_t w, std::uint32_t h) {
  Rgb img = canvas(w, h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const double hue = 2 * std::numbers::pi * x / w;
      const double light = 1.0 - 0.7 * y / h;
      const auto c = [&](double shift) {
        return static_cast<std::uint8_t>(255 * light * (0.5 + 0.5 * std::cos(hue + shift)));
      };
      set(img, x, y, c(0), c(2 * std::numbers::pi / 3), c(4 * std::numbers::pi / 3));
    }
  }
  return img;
}

void write(const fs::path &p, const std::vector<std::uint8_t> &data) {
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) {
    throw StoreError("cannot write " + p.string());
  }
}

void write_text(const fs::path &p, const std::string &text) {
  write(p, std::vector<std::uint8_t>(text.begin(), text.end()));
}

// Half a second of a 440 Hz tone: 8 kHz, 8-bit mono PCM.
std::vector<std::uint8_t> tone() {
  constexpr std::uint32_t rate = 8000;
  constexpr std::uint32_t samples = rate / 2;
  // RIFF header fields, by offset.
  std::vector<std::uint8_t> w(44 + samples);
  const auto text = [&](std::size_t at, const char *s) {
    for (std::size_t i = 0; i < 4; ++i) {
      w[at + i] = static_cast<std::uint8_t>(s[i]);
    }
  };
  const auto le = [&](std::size_t at, std::uint32_t v, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) {
      w[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
  };
  text(0, "RIFF");
  le(4, 36 + samples, 4);
  text(8, "WAVE");
  text(12, "fmt ");
  le(16, 16, 4);
  le(20, 1, 2); // PCM
  le(22, 1, 2); // mono
  le(24, rate, 4);
  le(28, rate, 4); // bytes per second
  le(32, 1, 2);    // block align
  le(34, 8, 2);    // bits per sample
  text(36, "data");
  le(40, samples, 4);
  for (std::uint32_t i = 0; i < samples; ++i) {
    w[44 + i] =
        static_cast<std::uint8_t>(128 + 100 * std::sin(2 * std::numbers::pi * 440 * i / rate));
  }
  return w;
}

} // namespace

void make_demo_store(const fs::path &store) {
  std::error_code ec;
  if (fs::exists(store, ec) && !fs::is_empty(store, ec)) {
    throw StoreError(store.string() + " is not empty");
  }
  const fs::path drive = store / "2";
  write(drive / "ALBUM1" / "SEA0001.JPG", encode_jpeg(seascape(640, 480), 85, true));
  write(drive / "ALBUM1" / "SEA0002.JPG", encode_jpeg(seascape(480, 640), 85, false));
  write(drive / "ALBUM1" / "BOARD.JPG", encode_jpeg(checkers(320, 240), 90, false));
  write(drive / "TRIP" / "RAINBOW.JPG", encode_jpeg(rainbow(1024, 768), 80, true));
  write(drive / "TRIP" / "RAINBOW.WAV", tone());
  write(drive / "TRIP" / "SUN.JPG", encode_jpeg(synthetic_scene(640, 480, 20), 85, true));
  write(drive / "HOLIDAY" / "BEACH.JPG", encode_jpeg(seascape(800, 600), 75, true));
  write(drive / "WELCOME.JPG", encode_jpeg(checkers(160, 120), 85, false));
  write_text(drive / "SYSTEM" / "HELLO.CSM", "# Take one picture\ncapture\n");
  write_text(drive / "SYSTEM" / "NIGHT.CSM",
             "# Night mode: flash and fine quality\nset flsh 1\nset iqal 3\n");
  write_text(store / config_file_name,
             "# Virtual camera configuration. Uncomment a line to change the camera.\n"
             "# model = older          # answer directory listings with 'not supported'\n"
             "# default_drive = 2\n"
             "# capacity = 268435456   # bytes the drives may hold\n"
             "# serial = 1001\n"
             "# busy = 0               # answer the next n requests with 'busy'\n"
             "# fail_exchange = 0      # the n-th exchange fails in transport\n"
             "# delay_ms = 0           # answer every request this much later\n"
             "# chunk_limit = 0        # data chunks of at most this many bytes\n"
             "# total_skew = 0         # chunks after the first report total + skew\n"
             "# battery = ok           # or low\n");
  State state;
  state.groups.emplace(2, "HOLIDAY/");
  state.tags["2:ALBUM1/SEA0001.JPG"][wire::fourcc("ttle")] = Value{8, 0, "Evening tide"};
  state.tags["2:ALBUM1/SEA0001.JPG"][wire::fourcc("rate")] = Value{1, 5, {}};
  write_text(store / state_file_name, state.serialize());
}

namespace {

// A JPEG comment segment right after the start marker, so that photos of
// the same scene still differ in their bytes.
std::vector<std::uint8_t> with_comment(std::vector<std::uint8_t> jpeg, const std::string &text) {
  constexpr std::size_t soi = 2;
  const auto length = static_cast<std::uint16_t>(text.size() + 2);
  std::vector<std::uint8_t> segment = {0xFF, 0xFE, static_cast<std::uint8_t>(length >> 8),
                                       static_cast<std::uint8_t>(length)};
  segment.insert(segment.end(), text.begin(), text.end());
  jpeg.insert(jpeg.begin() + soi, segment.begin(), segment.end());
  return jpeg;
}

} // namespace

void make_photo_store(const fs::path &store, const PhotoCard &card) {
  std::error_code ec;
  if (fs::exists(store, ec) && !fs::is_empty(store, ec)) {
    throw StoreError(store.string() + " is not empty");
  }
  if (card.per_folder == 0 || card.photos > 9999 || card.width == 0 || card.height == 0 ||
      card.photos / card.per_folder > last_capture_folder - first_capture_folder) {
    throw StoreError("cannot number that many photos or folders");
  }
  const fs::path drive = store / "2";
  fs::create_directories(drive, ec);
  for (std::uint32_t i = 0; i < card.photos; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "IMG%04u.JPG", (i + 1) % 10000);
    const std::string folder = capture_folder(first_capture_folder + i / card.per_folder);
    const auto jpeg = encode_jpeg(synthetic_scene(card.width, card.height, i), 75, true);
    write(drive / folder / name, with_comment(jpeg, folder + name));
  }
  State state;
  state.next_image = card.photos + 1;
  write_text(store / state_file_name, state.serialize());
}

std::vector<std::string> check_store(const fs::path &store) {
  std::vector<std::string> warnings;
  std::error_code ec;
  for (std::uint32_t number = 2; number < 100; ++number) {
    const fs::path drive = store / std::to_string(number);
    if (!fs::is_directory(drive, ec)) {
      continue;
    }
    std::vector<std::string> dirs = {""};
    while (!dirs.empty()) {
      const std::string dir = dirs.back();
      dirs.pop_back();
      const auto entries = list_dir(drive / dir);
      if (entries.size() > max_directory_entries) {
        warnings.push_back(std::to_string(number) + ":" + dir + " holds " +
                           std::to_string(entries.size()) + " entries; one listing carries " +
                           std::to_string(max_directory_entries) +
                           ", so a host cannot list this folder");
      }
      for (const Entry &e : entries) {
        if (e.directory && dir.size() + e.name.size() + 1 < wire::name_record::path_width) {
          dirs.push_back(dir + e.name + "/");
        }
      }
    }
  }
  return warnings;
}

} // namespace tavelo::emu
