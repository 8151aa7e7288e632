// tavelo-mkstore: makes a store for the virtual camera, or checks one.
//
//   tavelo-mkstore DIR                      the demo store
//   tavelo-mkstore --photos N [--per-folder M] [--size WxH] DIR
//                                           N generated photos in DCIM/100TAVEL/,
//                                           101TAVEL/, ... of M each (999)
//   tavelo-mkstore --check DIR              warns about folders too large to list
//
// The photo stores are what the big-card tests and benchmarks run on.
#include "tavelo/emulator/demo_store.h"
#include "tavelo/emulator/engine.h"

#include <charconv>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr const char *kUsage =
    "usage: tavelo-mkstore DIR\n"
    "       tavelo-mkstore --photos N [--per-folder M] [--size WxH] DIR\n"
    "       tavelo-mkstore --check DIR\n"
    "Makes a virtual camera store in DIR (missing or empty). Without options: photos\n"
    "in two albums, a group, a sound annotation and two scripts. With --photos: N\n"
    "generated photos IMG0001.JPG ... in 2/DCIM/100TAVEL/, 101TAVEL/, ... of M each\n"
    "(default 999), WxH pixels (default 160x120). --check warns about every folder\n"
    "with more entries than one listing can carry, and exits 1 if there is one.\n"
    "Use a store with TAVELO_VIRTUAL_CAMERAS=DIR.\n";

std::optional<std::uint32_t> Number(std::string_view text) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

int Usage() {
  std::cerr << kUsage;
  return 2;
}

int Check(const std::string &store) {
  const auto warnings = tavelo::emu::check_store(store);
  for (const std::string &warning : warnings) {
    std::cerr << "tavelo-mkstore: warning: " << warning << "\n";
  }
  if (warnings.empty()) {
    std::cout << store << ": every folder fits one listing\n";
  }
  return warnings.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
  std::optional<tavelo::emu::PhotoCard> card;
  bool check = false;
  std::string store;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool valued = arg == "--photos" || arg == "--per-folder" || arg == "--size";
    if (valued && i + 1 == argc) {
      return Usage();
    }
    const std::string_view value = valued ? argv[++i] : "";
    if (arg == "--check") {
      check = true;
    } else if (arg == "--photos" || arg == "--per-folder") {
      const auto number = Number(value);
      if (!number) {
        return Usage();
      }
      card = card.value_or(tavelo::emu::PhotoCard{});
      (arg == "--photos" ? card->photos : card->per_folder) = *number;
    } else if (arg == "--size") {
      const auto x = value.find('x');
      const auto width = Number(value.substr(0, x));
      const auto height = x == std::string_view::npos ? std::nullopt : Number(value.substr(x + 1));
      if (!width || !height) {
        return Usage();
      }
      card = card.value_or(tavelo::emu::PhotoCard{});
      card->width = *width;
      card->height = *height;
    } else if (arg.starts_with("-") || !store.empty()) {
      return Usage();
    } else {
      store = arg;
    }
  }
  if (store.empty() || (check && card)) {
    return Usage();
  }
  if (check) {
    return Check(store);
  }
  try {
    if (card) {
      tavelo::emu::make_photo_store(store, *card);
    } else {
      tavelo::emu::make_demo_store(store);
    }
  } catch (const std::exception &e) {
    std::cerr << "tavelo-mkstore: " << e.what() << "\n";
    return 1;
  }
  std::cout << "virtual camera store made in " << store << "\n";
  return 0;
}
