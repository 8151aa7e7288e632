// The tavelo tool end to end: each test runs the program against a virtual
// camera over a fresh demo store, with no environment set up (--virtual finds
// the component itself), and checks its output, exit codes and files.
#include "image.h"
#include "tavelo/emulator/demo_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

std::string Slurp(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct Result {
  int status = -1;
  std::string out, err;
};

std::vector<Json> JsonLines(const std::string &text) {
  std::vector<Json> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(Json::parse(text.substr(start, end - start)));
  }
  return lines;
}

class ToolTest : public testing::Test {
protected:
  void SetUp() override {
    unsetenv("TAVELO_COMPONENT_PATH");
    unsetenv("TAVELO_VIRTUAL_CAMERAS");
    setenv("LC_ALL", "C.UTF-8", 1);
    setenv("TZ", "UTC", 1); // the camera's dates are the store's times in UTC
    const auto *test = testing::UnitTest::GetInstance()->current_test_info();
    // Cards of thousands of files go to memory when the machine has it.
    const bool big = std::string(test->name()).find("Card") != std::string::npos;
    const fs::path base = big && fs::is_directory("/dev/shm") ? "/dev/shm" : TOOL_TMP;
    dir_ = base / ("tavelo-" + std::string(test->name()) + "." + std::to_string(getpid()));
    setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1); // what get --new remembers
    fs::remove_all(dir_);
    tavelo::emu::make_demo_store(store());
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path store() const { return dir_ / "store"; }
  // Adds folders of small generated photos: `counts[i]` in DCIM/10iTAVEL.
  void AddPhotos(const std::vector<int> &counts) const {
    tavelo::emu::Rgb image{16, 16, std::vector<std::uint8_t>(16 * 16 * 3, 0x80)};
    const auto jpeg = tavelo::emu::encode_jpeg(image, 75, true);
    int number = 0;
    for (std::size_t folder = 0; folder < counts.size(); ++folder) {
      const fs::path dir = store() / "2/DCIM" / (std::to_string(100 + folder) + "TAVEL");
      fs::create_directories(dir);
      for (int i = 0; i < counts[folder]; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "IMG%04d.JPG", ++number % 10000);
        std::ofstream out(dir / name, std::ios::binary);
        out.write(reinterpret_cast<const char *>(jpeg.data()),
                  static_cast<std::streamsize>(jpeg.size()));
        out << number; // after the end of the image: every file differs
      }
    }
  }
  // A file's modification time in whole seconds, as the camera keeps it.
  static auto Seconds(const fs::path &file) {
    return std::chrono::floor<std::chrono::seconds>(fs::last_write_time(file));
  }
  // Every regular file below `top`, relative to it.
  static std::vector<fs::path> FilesBelow(const fs::path &top) {
    std::vector<fs::path> files;
    for (const auto &entry : fs::recursive_directory_iterator(top)) {
      if (entry.is_regular_file()) {
        files.push_back(fs::relative(entry.path(), top));
      }
    }
    std::sort(files.begin(), files.end());
    return files;
  }
  std::vector<std::string> Args(const std::vector<std::string> &args) const {
    std::vector<std::string> all{TAVELO_TOOL, "--virtual", store().string()};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }

  // Spawns the tool with stdout and stderr in files, or both on `fd`.
  pid_t Spawn(const std::vector<std::string> &args, int fd = -1) const {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (fd < 0) {
      posix_spawn_file_actions_addopen(&actions, 1, (dir_ / "out").c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
      posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "err").c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    } else {
      posix_spawn_file_actions_adddup2(&actions, fd, 1);
      posix_spawn_file_actions_adddup2(&actions, fd, 2);
    }
    std::vector<char *> argv;
    for (const auto &arg : args) {
      argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  static int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  Result Run(const std::vector<std::string> &args) const {
    Result result;
    result.status = Wait(Spawn(Args(args)));
    result.out = Slurp(dir_ / "out");
    result.err = Slurp(dir_ / "err");
    return result;
  }

  fs::path dir_;
};

// Runs in turn: later rows see what earlier ones changed. `match` is a
// regular expression searched in stdout (stderr for failures); rows with
// --json have every line parsed and `json` checked on the first.
struct Step {
  std::vector<std::string> args;
  int status;
  std::string match;
  std::function<void(const std::vector<Json> &)> json = nullptr;
};

TEST_F(ToolTest, EveryCommandInTurn) {
  std::ofstream(dir_ / "note.txt") << "hello";
  std::ofstream(store() / "2/SYSTEM/LATIN.CSM") << "# Caf\xE9 cr\xE8me\ncapture\n";
  const std::string photo = Slurp(store() / "2/ALBUM1/SEA0001.JPG");
  const std::vector<Step> steps{
      {{"cameras"}, 0, R"(INDEX +TRANSPORT.*\n0 +virtual +virtual:\S+ +Virtual Camera VC-1 +1001)"},
      {{"--json", "cameras"},
       0,
       "",
       [](auto &j) { EXPECT_EQ(j.at(0)["product"], "Virtual Camera VC-1"); }},
      {{"info"}, 0, R"(product +Virtual Camera VC-1\n)"},
      {{"--json", "info"}, 0, "", [](auto &j) { EXPECT_EQ(j.at(0)["serial"], 1001); }},
      {{"status"}, 0, R"(system status +0x00000000\n(.|\n)*images +7\n)"},
      {{"--json", "status"}, 0, "", [](auto &j) { EXPECT_EQ(j.at(0)["battery_percent"], 100); }},
      {{"ls"}, 0, "^ALBUM1/\nHOLIDAY/\nSYSTEM/\nTRIP/\nWELCOME.JPG\n$"},
      {{"ls", "-l", "TRIP"},
       0,
       R"(EXF +26675 +1024x768 +\S+ +RAINBOW.JPG\nother +4044 +- +- +RAINBOW.WAV)"},
      {{"--json", "ls", "-R", "-l"},
       0,
       "",
       [](auto &j) {
         ASSERT_EQ(j.size(), 15U);
         EXPECT_EQ(j[1], (Json{{"path", "2:ALBUM1/BOARD.JPG"},
                               {"name", "BOARD.JPG"},
                               {"kind", "file"},
                               {"type", "EXF"},
                               {"size", 10869},
                               {"width", 320},
                               {"height", 240},
                               {"date", j[1]["date"]}}));
       }},
      {{"ls", "--images"}, 0, R"(^2:ALBUM1/BOARD.JPG\n(.*\n){5}2:WELCOME.JPG\n$)"},
      {{"ls", "--ungrouped"}, 0, R"(^2:ALBUM1/BOARD.JPG\n(.*\n){4}2:WELCOME.JPG\n$)"},
      {{"groups"}, 0, R"(^2:HOLIDAY/ +1 member\(s\)\n$)"},
      {{"new"}, 0, "^$"},
      {{"put", (dir_ / "note.txt").string(), "ALBUM1", "NOTE.TXT"},
       0,
       R"(-> 2:ALBUM1/NOTE.TXT \(5 bytes\))"},
      {{"type", "ALBUM1/NOTE.TXT"}, 0, "^7 other\n$"},
      {{"tag", "set", "ALBUM1/NOTE.TXT", "rate", "42"}, 0, "rate = 42"},
      {{"--json", "tag", "get", "ALBUM1/NOTE.TXT", "rate"},
       0,
       "",
       [](auto &j) { EXPECT_EQ(j.at(0)["value"], 42); }},
      {{"--json", "rm", "ALBUM1/NOTE.TXT"},
       0,
       "",
       [](auto &j) {
         EXPECT_EQ(j, (std::vector<Json>{{{"removed", "2:ALBUM1/NOTE.TXT"}}}));
       }},
      {{"--json", "rm", "ALBUM1/NOTE.TXT"},
       1,
       "^tavelo: removing ALBUM1/NOTE.TXT: 0xCFFA0007 CAM_E_FILE_NOT_FOUND: the file is not on "
       "the camera \\(2:ALBUM1/NOTE.TXT\\)\n$",
       [](auto &j) {
         ASSERT_EQ(j.size(), 1U);
         EXPECT_EQ(j[0]["code"], "0xCFFA0007");
         EXPECT_EQ(j[0]["name"], "CAM_E_FILE_NOT_FOUND");
         EXPECT_EQ(j[0]["text"], "the file is not on the camera");
       }},
      {{"--json", "mkdir", "2:NEW/"}, 0, "", [](auto &j) { EXPECT_EQ(j[0]["made"], "2:NEW/"); }},
      {{"mkdir", "NEW/SUB"}, 0, "^made 2:NEW/SUB/\n$"},
      {{"rmdir", "NEW"}, 5, "2:NEW/ is not empty"},
      {{"rmdir", "-r", "NEW"}, 0, "^removed 2:NEW/\n$"},
      {{"group", "picks", "TRIP/SUN.JPG", "2:TRIP/SUN.JPG"}, 0, "^group PICKS: 1 file"},
      {{"--json", "params"},
       0,
       "",
       [](auto &j) {
         ASSERT_EQ(j.size(), 14U);
         EXPECT_EQ(j[1]["capability"]["items"][2], (Json{{"label", "Fine"}, {"value", 3}}));
         EXPECT_EQ(j[5]["capability"],
                   (Json{{"kind", "range"}, {"low", -6}, {"high", 6}, {"step", 1}}));
       }},
      {{"params"}, 0, R"(\nzoom +Zoom factor +real +1 +1 +1\.\.3\n)"},
      {{"param", "set", "zoom", "5"},
       5,
       R"(^tavelo: zoom: 5 is outside the range \(it takes 1\.\.3\); nothing was sent)"},
      {{"param", "set", "self", "15"}, 5, "outside the range"},
      {{"param", "set", "self", "20"}, 0, "^self = 20\n$"}, // the bounds are in the range
      {{"param", "set", "self", "0"}, 0, "^self = 0\n$"},
      {{"param", "set", "expc", "--", "6"}, 0, "^expc = 6\n$"},
      {{"param", "set", "expc", "--", "-6"}, 0, "^expc = -6\n$"},
      {{"param", "set", "expc", "--", "-7"}, 5, "outside the range"},
      {{"param", "set", "iqal", "4"}, 5, "not one of the choices"},
      {{"param", "set", "iqal", "Fine"}, 0, "^iqal = 3\n$"},
      {{"--json", "param", "get", "iqal"}, 0, "", [](auto &j) { EXPECT_EQ(j.at(0)["value"], 3); }},
      {{"param", "user-default", "iqal"}, 0, "^iqal user default = 3\n$"},
      {{"param", "default", "iqal"}, 0, "^factory 2\nuser    3\n$"},
      {{"param", "restore", "iqal", "--factory"}, 0, "restored to the factory default"},
      {{"param", "get", "iqal"}, 0, "^2\n$"},
      {{"clock", "--set", "2026-12-24T18:30:00"}, 0, "^2026-12-24T18:3"},
      {{"clock", "--set", "2026-02-31T10:00:00"}, 2, "no such time"},
      {{"--json", "clock"},
       0,
       "",
       [](auto &j) {
         EXPECT_EQ(j.at(0)["time"].template get<std::string>().substr(0, 10), "2026-12-24");
       }},
      {{"power"}, 0, "^power mode 1\n$"},
      {{"capture", "--download", dir_.string(), "--filename", "%{bogus}"}, // takes none
       2,
       R"(^tavelo: unknown field %\{bogus\} in the file name pattern\n$)"},
      {{"capture"}, 0, R"(^capture mode 0 done; 8 image\(s\) on the camera \(\+1\)\n$)"},
      {{"capture", "--count", "2"},
       0,
       R"(^capture mode 2 done; 10 image\(s\) on the camera \(\+2\)\n$)"},
      {{"capture", "--stop"}, 0, "^capture stopped\n$"},
      {{"shutter-half"}, 0, "^shutter half way\n$"},
      {{"script", "ls"}, 0, R"(2:SYSTEM/HELLO.CSM +Take one picture\n)"},
      {{"script", "describe", "SYSTEM/NIGHT.CSM"}, 0, "^Night mode"},
      {{"--json", "script", "describe", "SYSTEM/LATIN.CSM"}, // Latin-1 bytes, not UTF-8
       0,
       "",
       [](auto &j) { EXPECT_EQ(j.at(0)["description"], "Caf\uFFFD cr\uFFFDme"); }},
      {{"script", "run", "SYSTEM/HELLO.CSM"}, 0, "^ran 2:SYSTEM/HELLO.CSM\n$"},
      {{"echo", "4096"}, 0, "^echo of 4096 bytes: passed\n$"},
      {{"raw", "00000008 01000000 00190000"},
       0,
       "^00 00 00 0C 01 00 00 00 00 19 00 00 00 00 00 01\n$"},
      {{"--json", "get", "ALBUM1/SEA0001.JPG", "-o", (dir_ / "one").string()},
       0,
       "",
       [this](auto &j) {
         EXPECT_EQ(j, (std::vector<Json>{{{"path", "2:ALBUM1/SEA0001.JPG"},
                                          {"saved", (dir_ / "one/SEA0001.JPG").string()},
                                          {"size", 27482}}}));
       }},
      {{"get", "--sound", "TRIP/RAINBOW.JPG", "-o", (dir_ / "one").string()},
       0,
       "RAINBOW.WAV \\(4044 bytes\\)"},
      {{"thumb", "WELCOME.JPG", "-o", (dir_ / "t.bmp").string()}, 0, "t.bmp: 80x60\n$"},
      {{"viewfinder", "-o", (dir_ / "v.jpg").string()}, 0, "v.jpg: 80x60\n$"},
      {{"thumbs", "-o", (dir_ / "sheet.png").string()}, 2, "write pictures as .bmp, .jpg or .jpeg"},
      {{"--camera", "3", "info"}, 3, "no camera 3; there are:\n  0  virtual:"},
      {{"bogus"}, 2, "Usage: tavelo"},
      {{"power", "off"}, 0, "^camera switched off\n$"},
  };
  for (const Step &step : steps) {
    const Result result = Run(step.args);
    SCOPED_TRACE(step.args.back() + "\nstdout: " + result.out + "\nstderr: " + result.err);
    EXPECT_EQ(result.status, step.status);
    EXPECT_TRUE(
        std::regex_search(step.status == 0 ? result.out : result.err, std::regex(step.match)));
    if (step.json) {
      step.json(JsonLines(result.out));
    }
  }
  EXPECT_TRUE(Slurp(dir_ / "one/SEA0001.JPG") == photo);
  EXPECT_TRUE(Slurp(dir_ / "one/RAINBOW.WAV") == Slurp(store() / "2/TRIP/RAINBOW.WAV"));
  EXPECT_EQ(Slurp(dir_ / "t.bmp").substr(0, 2), "BM");
  EXPECT_TRUE(fs::exists(store() / "2/PICKS/SUN.JPG"));
  EXPECT_FALSE(fs::exists(store() / "2/NEW")) << "rmdir -r took the directory with its content";
}

TEST_F(ToolTest, GetAllKeepsTheLayoutByteForByteAndSkipsWhatIsThere) {
  const Result first = Run({"get", "--all", "-o", (dir_ / "all").string()});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("10 file(s) downloaded, 0 already there"), std::string::npos);
  std::size_t files = 0;
  for (const auto &entry : fs::recursive_directory_iterator(store() / "2")) {
    if (entry.is_regular_file()) {
      ++files;
      EXPECT_TRUE(Slurp(dir_ / "all" / fs::relative(entry.path(), store() / "2")) ==
                  Slurp(entry.path()))
          << entry.path();
    }
  }
  EXPECT_EQ(files, 10U);
  std::ofstream(dir_ / "all/WELCOME.JPG") << "changed size";
  const Result again = Run({"get", "--all", "-o", (dir_ / "all").string()});
  EXPECT_NE(again.out.find("1 file(s) downloaded, 9 already there"), std::string::npos)
      << again.out;
  EXPECT_TRUE(Slurp(dir_ / "all/WELCOME.JPG") == Slurp(store() / "2/WELCOME.JPG"));
}

// Three folders of 700: byte-exact with the camera's dates, skipped when they
// are there, fetched again when the camera's date changes; --new remembers.
TEST_F(ToolTest, CardOf2100PhotosInThreeFolders) {
  AddPhotos({700, 700, 700});
  const fs::path out = dir_ / "all";
  const Result first = Run({"get", "--all", "-o", out.string()});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("2110 file(s) downloaded, 0 already there"), std::string::npos);
  const auto files = FilesBelow(store() / "2");
  ASSERT_EQ(FilesBelow(out), files);
  for (const auto &file : files) {
    ASSERT_TRUE(Slurp(out / file) == Slurp(store() / "2" / file)) << file;
    ASSERT_EQ(Seconds(out / file), Seconds(store() / "2" / file)) << file;
  }
  const Result again = Run({"get", "--all", "-o", out.string()});
  EXPECT_NE(again.out.find("0 file(s) downloaded, 2110 already there"), std::string::npos)
      << again.out;
  const fs::path changed = store() / "2/DCIM/101TAVEL/IMG0900.JPG";
  fs::last_write_time(changed, fs::last_write_time(changed) - std::chrono::hours(30));
  const std::vector<std::pair<std::vector<std::string>, std::string>> runs{
      {{"get", "--all", "-o", out.string()}, "1 file(s) downloaded, 2109 already there"},
      {{"get", "--new", "-o", (dir_ / "new").string()},
       "0 file(s) downloaded, 0 already there, 2110 fetched before"},
  };
  for (const auto &[args, summary] : runs) {
    const Result result = Run(args);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find(summary), std::string::npos) << result.out;
  }
  EXPECT_EQ(Seconds(out / "DCIM/101TAVEL/IMG0900.JPG"), Seconds(changed));
}

// No listing can carry 1,500 entries: every walking command shows what it can
// list, names the big folder once, and fails.
TEST_F(ToolTest, CardWithAFolderTooLargeForOneListing) {
  AddPhotos({1500, 300});
  const std::vector<std::pair<std::vector<std::string>, std::string>> runs{
      {{"get", "--all", "-o", (dir_ / "all").string()}, "310 file\\(s\\) downloaded"},
      {{"ls", "-R"}, "\n2:DCIM/101TAVEL/IMG1800.JPG\n"},
      {{"ls", "--images"}, "^(2:\\S+\\.JPG\n){307}$"},
      {{"ls", "--numbers"}, "\n  310  2:WELCOME.JPG\n$"},
      {{"thumbs", "-o", (dir_ / "sheet.jpg").string()}, "307 thumbnail\\(s\\)"},
  };
  for (const auto &[args, match] : runs) {
    const Result result = Run(args);
    SCOPED_TRACE(args[0] + "\n" + result.err);
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(std::regex_search(result.out, std::regex(match)))
        << result.out.substr(result.out.size() - std::min<std::size_t>(result.out.size(), 200));
    const std::string named = "cannot list 2:DCIM/100TAVEL/";
    const auto at = result.err.find(named);
    EXPECT_NE(at, std::string::npos);
    EXPECT_EQ(result.err.find(named, at + 1), std::string::npos) << "named once";
    EXPECT_NE(result.err.find("1 directory could not be listed"), std::string::npos);
  }
  EXPECT_EQ(FilesBelow(dir_ / "all" / "DCIM/101TAVEL").size(), 300U);
  EXPECT_TRUE(Slurp(dir_ / "all/DCIM/101TAVEL/IMG1800.JPG") ==
              Slurp(store() / "2/DCIM/101TAVEL/IMG1800.JPG"));
}

TEST_F(ToolTest, GetByNamesNumbersAndDeleteAfter) {
  fs::copy_file(store() / "2/ALBUM1/SEA0002.JPG", store() / "2/TRIP/SEA0001.JPG");
  const std::string two = (dir_ / "two").string();
  const std::vector<Step> steps{
      {{"get", "ALBUM1/SEA0001.JPG", "TRIP/SEA0001.JPG", "--flat", "-o", two},
       2,
       "2:ALBUM1/SEA0001.JPG and 2:TRIP/SEA0001.JPG would both be written to .*two/SEA0001.JPG"},
      {{"get", "ALBUM1/SEA0001.JPG", "TRIP/SEA0001.JPG", "-o", two},
       0,
       "two/ALBUM1/SEA0001.JPG.*\n.*two/TRIP/SEA0001.JPG"},
      {{"ls", "-n"}, 0, "^    1  2:ALBUM1/BOARD.JPG\n    2  2:ALBUM1/SEA0001.JPG\n"},
      {{"get", "2-3", "1", "--flat", "-o", (dir_ / "range").string()},
       0,
       "^2:ALBUM1/SEA0001.JPG .*\n2:ALBUM1/SEA0002.JPG .*\n2:ALBUM1/BOARD.JPG .*\n3 file"},
      {{"get", "12", "-o", two}, 2, "get 12: the camera has files 1-11"},
      {{"get", "WELCOME.JPG", "-o", two}, 0, "-> .*two/WELCOME.JPG \\(7571 bytes\\)"},
      {{"get", "--delete-after", "TRIP/SUN.JPG", "-o", (dir_ / "moved").string()},
       0,
       "SUN.JPG \\(15374 bytes\\)\nremoved 2:TRIP/SUN.JPG\n$"},
  };
  const std::string sun = Slurp(store() / "2/TRIP/SUN.JPG");
  for (const Step &step : steps) {
    const Result result = Run(step.args);
    SCOPED_TRACE(step.args[1] + "\nstdout: " + result.out + "\nstderr: " + result.err);
    EXPECT_EQ(result.status, step.status);
    EXPECT_TRUE(
        std::regex_search(step.status == 0 ? result.out : result.err, std::regex(step.match)));
  }
  EXPECT_TRUE(Slurp(dir_ / "two/TRIP/SEA0001.JPG") == Slurp(store() / "2/ALBUM1/SEA0002.JPG"));
  EXPECT_TRUE(Slurp(dir_ / "two/ALBUM1/SEA0001.JPG") == Slurp(store() / "2/ALBUM1/SEA0001.JPG"));
  EXPECT_EQ(FilesBelow(dir_ / "range"),
            (std::vector<fs::path>{"BOARD.JPG", "SEA0001.JPG", "SEA0002.JPG"}));
  EXPECT_TRUE(Slurp(dir_ / "moved/SUN.JPG") == sun);
  EXPECT_FALSE(fs::exists(store() / "2/TRIP/SUN.JPG"));
}

TEST_F(ToolTest, ContactSheetHasOneCaptionedTilePerImage) {
  const Result result = Run({"thumbs", "-o", (dir_ / "sheet.jpg").string()});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string jpeg = Slurp(dir_ / "sheet.jpg");
  const std::span bytes(reinterpret_cast<const std::uint8_t *>(jpeg.data()), jpeg.size());
  const auto info = tavelo::emu::read_jpeg_info(bytes);
  ASSERT_TRUE(info);
  const auto sheet = tavelo::emu::decode_fitted(bytes, info->width, info->height);
  ASSERT_TRUE(sheet);
  // Seven images: six 96x80 tiles in the first row, one in the second.
  ASSERT_EQ(sheet->width, 6U * 96);
  ASSERT_EQ(sheet->height, 2U * 80);
  const auto busy = [&](std::uint32_t tile, std::uint32_t top, std::uint32_t bottom) {
    const std::uint32_t x0 = tile % 6 * 96, y0 = tile / 6 * 80;
    int differing = 0;
    for (std::uint32_t y = y0 + top; y < y0 + bottom; ++y) {
      for (std::uint32_t x = x0 + 8; x < x0 + 88; ++x) {
        differing += std::abs(sheet->pixels[3 * (y * sheet->width + x)] - 0x20) > 40;
      }
    }
    return differing;
  };
  for (std::uint32_t tile = 0; tile < 12; ++tile) {
    SCOPED_TRACE(tile);
    EXPECT_EQ(busy(tile, 4, 60) > 1000, tile < 7); // a picture
    EXPECT_EQ(busy(tile, 68, 75) > 20, tile < 7);  // its name
  }
}

TEST_F(ToolTest, ProgressBarOnATerminal) {
  int terminal = -1, child_side = -1;
  ASSERT_EQ(openpty(&terminal, &child_side, nullptr, nullptr, nullptr), 0);
  const pid_t pid = Spawn(Args({"get", "--all", "-o", (dir_ / "all").string()}), child_side);
  close(child_side);
  std::string screen;
  char buffer[4096];
  for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) {
    screen.append(buffer, static_cast<std::size_t>(n));
  }
  close(terminal);
  EXPECT_EQ(Wait(pid), 0);
  EXPECT_TRUE(std::regex_search(
      screen,
      std::regex(
          R"(\rBEACH.JPG \[#{24}\] 100% 34.7 KiB/34.7 KiB .*/s 0:00 left \| file 4/10\x1b\[K)")))
      << screen;
}

TEST_F(ToolTest, CtrlCCancelsALargeDownloadAndLeavesNoPartialFile) {
  fs::create_directories(store() / "2/BIG");
  std::ofstream(store() / "2/BIG/BIG.JPG") << std::string(4'000'000, 'x');
  std::ofstream(store() / "camera.conf") << "delay_ms = 20\n"; // 245 slow chunks
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t pid = Spawn(Args({"get", "BIG/BIG.JPG", "-o", (dir_ / "out").string()}), pipe_fds[1]);
  close(pipe_fds[1]);
  FILE *progress = fdopen(pipe_fds[0], "r");
  char line[256] = {};
  ASSERT_NE(fgets(line, sizeof line, progress), nullptr);
  EXPECT_EQ(std::string(line), "BIG.JPG: 16360/4000000 bytes (0%)\n");
  kill(pid, SIGINT);
  std::string rest;
  while (fgets(line, sizeof line, progress) != nullptr) {
    rest += line;
  }
  fclose(progress);
  EXPECT_EQ(Wait(pid), 130);
  EXPECT_NE(rest.find("tavelo: downloading 2:BIG/BIG.JPG: interrupted"), std::string::npos) << rest;
  EXPECT_TRUE(fs::is_empty(dir_ / "out"));
}

// A burst of three: the hook moves the second picture out of the camera's
// reach after the first download and back after the third, so the second is
// fetched only by the retry at the end of the batch. The first meets an older
// host file of its name and gets a suffix.
TEST_F(ToolTest, WatchKeepsEveryPictureOfABurst) {
  const fs::path shots = dir_ / "shots", second = store() / "2/DCIM/100TAVEL/IMG0002.JPG";
  fs::create_directories(shots);
  std::ofstream(shots / "IMG0001.JPG") << "an older picture";
  std::ofstream(dir_ / "hook.sh") << "echo \"$ACTION $1 $ARGUMENT\" >> " << dir_ / "hook.log"
                                  << "\ncase \"$1\" in\n"
                                  << "*IMG0001*) mv " << second << ' ' << dir_ / "aside"
                                  << " && mkdir " << second << " ;;\n"
                                  << "*IMG0003*) rmdir " << second << " && mv " << dir_ / "aside"
                                  << ' ' << second << " ;;\n"
                                  << "esac\n";
  const Result result = Run({"--json", "watch", "--capture=3", "--count", "3", "--download",
                             shots.string(), "--hook", "sh " + (dir_ / "hook.sh").string()});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto lines = JsonLines(result.out);
  ASSERT_EQ(lines.size(), 5U) << result.out;
  EXPECT_EQ(lines[0]["name"], "new files");
  const std::vector<std::pair<std::string, std::string>> expected{
      {"IMG0001.JPG", "IMG0001-1.JPG"},
      {"IMG0002.JPG", ""}, // failed, to be retried
      {"IMG0003.JPG", "IMG0003.JPG"},
      {"IMG0002.JPG", "IMG0002.JPG"}};
  std::string log;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto &[camera, host] = expected[i];
    const Json &line = lines[i + 1];
    SCOPED_TRACE(line.dump());
    EXPECT_EQ(line["new_file"], "2:DCIM/100TAVEL/" + camera);
    if (host.empty()) {
      EXPECT_EQ(line["name"], "CAM_E_FILE_NOT_FOUND");
      EXPECT_EQ(line["retry"], true);
      continue;
    }
    EXPECT_EQ(line["saved"], (shots / host).string());
    EXPECT_TRUE(Slurp(shots / host) == Slurp(store() / "2/DCIM/100TAVEL" / camera));
    log += "download " + (shots / host).string() + " " + (shots / host).string() + "\n";
  }
  EXPECT_EQ(Slurp(shots / "IMG0001.JPG"), "an older picture");
  EXPECT_EQ(Slurp(dir_ / "hook.log"), "init  \nstart  \n" + log + "stop  \n");
  EXPECT_NE(result.err.find("trying again at the end of the batch"), std::string::npos);
}

// A download that fails, on the link or on a full host disk, leaves the older
// host file as it was, no temporary file beside it, and the camera's file.
// Of many files, those before the one that does not fit arrive whole and
// nothing after it is written.
TEST_F(ToolTest, FailedGetKeepsTheOldFileAndLeavesNothingElse) {
  fs::create_directories(dir_ / "host");
  // The host takes no file larger than 20,000 bytes, or there is no limit.
  const auto run = [&](bool disk_full, const std::vector<std::string> &args) {
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limit = saved;
    limit.rlim_cur = disk_full ? 20'000 : saved.rlim_cur;
    signal(SIGXFSZ, SIG_IGN); // inherited: the write fails instead of killing the tool
    setrlimit(RLIMIT_FSIZE, &limit);
    const Result result = Run(args);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_DFL);
    return result;
  };
  for (const bool disk_full : {false, true}) {
    SCOPED_TRACE(disk_full ? "disk full" : "link failure");
    std::ofstream(dir_ / "host/SEA0001.JPG") << "older";
    // The second chunk disagrees with the first.
    std::ofstream(store() / "camera.conf") << (disk_full ? "" : "total_skew = 1\n");
    const Result result = run(
        disk_full, {"get", "--delete-after", "ALBUM1/SEA0001.JPG", "-o", (dir_ / "host").string()});
    EXPECT_EQ(result.status, disk_full ? 4 : 1) << result.err;
    EXPECT_EQ(FilesBelow(dir_ / "host"), std::vector<fs::path>{"SEA0001.JPG"});
    EXPECT_EQ(Slurp(dir_ / "host/SEA0001.JPG"), "older");
    EXPECT_TRUE(fs::exists(store() / "2/ALBUM1/SEA0001.JPG")) << "deleted without a host copy";
  }
  // ALBUM1/BOARD.JPG (10,869 bytes) fits, ALBUM1/SEA0001.JPG does not.
  const Result all = run(true, {"get", "--all", "--delete-after", "-o", (dir_ / "all").string()});
  EXPECT_EQ(all.status, 4) << all.err;
  EXPECT_EQ(FilesBelow(dir_ / "all"), std::vector<fs::path>{"ALBUM1/BOARD.JPG"});
  EXPECT_TRUE(Slurp(dir_ / "all/ALBUM1/BOARD.JPG") == Slurp(store() / "2/ALBUM1/BOARD.JPG"));
  EXPECT_TRUE(fs::exists(store() / "2/ALBUM1/BOARD.JPG")) << "deleted after a failed run";
}

TEST_F(ToolTest, CaptureDownloadNamesByCaptureTimeAndCameraDirectory) {
  ASSERT_EQ(Run({"clock", "--set", "2031-05-06T07:08:09"}).status, 0);
  const fs::path shots = dir_ / "shots";
  const Result result = Run({"--json", "capture", "--count", "3", "--download", shots.string(),
                             "--filename", "%{dir}/%{taken:%Y%m%d}.jpg"});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto lines = JsonLines(result.out);
  ASSERT_EQ(lines.size(), 4U) << result.out;
  EXPECT_EQ(lines[0], (Json{{"capture", 2}, {"images", 10}}));
  for (int i = 0; i < 3; ++i) { // one second, one name: suffixes
    const std::string host = i == 0 ? "20310506.jpg" : "20310506-" + std::to_string(i) + ".jpg";
    const std::string camera = "IMG000" + std::to_string(i + 1) + ".JPG";
    EXPECT_EQ(lines[i + 1]["new_file"], "2:DCIM/100TAVEL/" + camera);
    EXPECT_EQ(lines[i + 1]["saved"], (shots / "DCIM/100TAVEL" / host).string());
    EXPECT_TRUE(Slurp(shots / "DCIM/100TAVEL" / host) ==
                Slurp(store() / "2/DCIM/100TAVEL" / camera))
        << host;
    EXPECT_EQ(Seconds(shots / "DCIM/100TAVEL" / host),
              Seconds(store() / "2/DCIM/100TAVEL" / camera)); // the camera's date
  }
}

// Every result code of the library's header, and the link and system codes,
// by name and English text; the library's Chinese text only for a Chinese
// locale, and nothing unprintable under the C locale.
TEST_F(ToolTest, ErrorsHaveNamesAndEnglishTexts) {
  setenv("TAVELO_LINK_TIMEOUT_MS", "2500", 1);
  const Result all = Run({"--json", "errors"});
  unsetenv("TAVELO_LINK_TIMEOUT_MS");
  ASSERT_EQ(all.status, 0) << all.err;
  std::map<std::string, Json> by_name;
  for (const Json &row : JsonLines(all.out)) {
    by_name[row["name"]] = row;
  }
  const std::string header = Slurp(TAVELO_HEADER);
  const std::regex define(R"(#define (CAM_[ES]_\w+) \(\(CAMRESULT\)(0x[0-9A-F]{8})u?\))");
  int codes = 0;
  for (std::sregex_iterator it(header.begin(), header.end(), define), end; it != end; ++it) {
    ++codes;
    SCOPED_TRACE((*it)[1].str());
    ASSERT_TRUE(by_name.contains((*it)[1]));
    EXPECT_EQ(by_name[(*it)[1]]["code"], (*it)[2].str());
    EXPECT_FALSE(by_name[(*it)[1]]["text"].get<std::string>().empty());
  }
  EXPECT_EQ(codes, 29);
  const std::vector<std::array<std::string, 3>> link{
      {"0x800705B4", "ERROR_TIMEOUT",
       "no answer from the camera within 2.5 s (TAVELO_LINK_TIMEOUT_MS)"},
      {"0x8007274D", "WSAECONNREFUSED", "refused"},
      {"0x80072746", "WSAECONNRESET", "reset"},
      {"0x80070026", "ERROR_HANDLE_EOF", "end of data: the camera's side closed the link"},
      {"0x80072AF9", "WSAHOST_NOT_FOUND", "host not found"},
      {"0x80070002", "ERROR_FILE_NOT_FOUND", "no such file or device"},
      {"0x80070020", "ERROR_SHARING_VIOLATION", "in use by another program"},
      {"0x80070005", "ERROR_ACCESS_DENIED", "access denied"},
      {"0x8007007A", "ERROR_INSUFFICIENT_BUFFER", "too large for the buffer"},
  };
  for (const auto &[code, name, text] : link) {
    SCOPED_TRACE(name);
    EXPECT_EQ(by_name[name]["code"], code);
    EXPECT_NE(by_name[name]["text"].get<std::string>().find(text), std::string::npos);
  }
  const Result timeout = Run({"errors", "800705b4"});
  EXPECT_EQ(timeout.out, "0x800705B4 ERROR_TIMEOUT: no answer from the camera within 10 s "
                         "(TAVELO_LINK_TIMEOUT_MS)\n");

  const std::string english = "CAM_E_FILE_NOT_FOUND: the file is not on the camera (2:NOPE.JPG)";
  setenv("LC_ALL", "C", 1);
  const Result plain = Run({"rm", "NOPE.JPG"});
  EXPECT_EQ(plain.err, "tavelo: removing NOPE.JPG: 0xCFFA0007 " + english + "\n");
  unsetenv("LC_ALL");
  setenv("LC_CTYPE", "C.UTF-8", 1);
  setenv("LC_MESSAGES", "zh_CN.UTF-8", 1);
  const Result chinese = Run({"rm", "NOPE.JPG"});
  unsetenv("LC_CTYPE");
  unsetenv("LC_MESSAGES");
  EXPECT_EQ(chinese.err, "tavelo: removing NOPE.JPG: 0xCFFA0007 " + english +
                             " / 在相机中找不到请求的文件 2:NOPE.JPG.\n");
}

} // namespace
