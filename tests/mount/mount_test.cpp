// tavelo mount end to end: a demo store served by tavelo-camd over TCP (its
// -v log is the camera's request log), mounted by the real tool, and used by
// real programs. Every wait has a deadline; teardown always unmounts.
#include "tavelo/emulator/demo_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Slurp(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const fs::path &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (auto &byte : bytes) {
    byte = static_cast<char>(random());
  }
  return bytes;
}

// Polls `done` until it holds or the deadline passes.
bool WaitFor(const std::function<bool()> &done, std::chrono::seconds limit = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

pid_t Spawn(const std::vector<std::string> &args, const fs::path &out) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char *> argv;
  for (const auto &arg : args) {
    argv.push_back(const_cast<char *>(arg.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// The exit status, or -1 when the process is still running at the deadline.
int Wait(pid_t pid, std::chrono::seconds limit = 120s) {
  int status = 0;
  if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Byte-for-byte equality that prints sizes, not bytes, when it fails.
testing::AssertionResult Same(const std::string &got, const std::string &want) {
  if (got == want) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size();
}

std::size_t Count(const std::string &text, const std::string &what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

class MountTest : public testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) {
      GTEST_SKIP() << "needs root and /dev/fuse";
    }
    const auto *test = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(MOUNT_TMP) / (std::string(test->name()) + "." + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(mnt());
    tavelo::emu::make_demo_store(store());
    setenv("TAVELO_LINK_TIMEOUT_MS", "2000", 1);
  }
  void TearDown() override {
    if (dir_.empty()) {
      return;
    }
    Run({"fusermount3", "-u", "-z", mnt().string()});
    for (const pid_t pid : {mount_, camd_}) {
      if (pid > 0) {
        kill(pid, SIGCONT);
        kill(pid, SIGTERM);
        if (Wait(pid, 30s) < 0) {
          kill(pid, SIGKILL);
          Wait(pid);
        }
      }
    }
    fs::remove_all(dir_);
  }

  fs::path store() const { return dir_ / "store"; }
  fs::path mnt() const { return dir_ / "mnt"; }
  fs::path out(const std::string &name) const { return dir_ / name; }
  std::string camd_log() const { return Slurp(dir_ / "camd.log"); }

  int Run(const std::vector<std::string> &args, std::string *output = nullptr) {
    const fs::path file = dir_ / "run.out";
    const int status = Wait(Spawn(args, file));
    if (output != nullptr) {
      *output = Slurp(file);
    }
    return status;
  }

  // Serves the store over TCP and mounts it in the foreground.
  void Start(std::vector<std::string> camd_options = {}) {
    std::vector<std::string> args{CAMD, store().string(), "--listen", "127.0.0.1:0", "-v"};
    args.insert(args.end(), camd_options.begin(), camd_options.end());
    camd_ = Spawn(args, dir_ / "camd.log");
    std::smatch found;
    const std::regex listening("listening on (\\S+)");
    std::string log;
    ASSERT_TRUE(WaitFor([&] { return std::regex_search(log = camd_log(), found, listening); }));
    const std::string camera = "net:" + found[1].str();
    setenv("TAVELO_NET_CAMERAS", camera.c_str(), 1);
    mount_ = Spawn({TAVELO_TOOL, "--camera", camera, "mount", "--foreground", mnt().string()},
                   dir_ / "mount.log");
    ASSERT_TRUE(WaitFor([&] { return Count(Slurp(dir_ / "mount.log"), "mounted;") == 1; }))
        << Slurp(dir_ / "mount.log");
  }

  fs::path dir_;
  pid_t camd_ = -1;
  pid_t mount_ = -1;
};

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// The tree through ls, find, stat, cp -r and os.walk equals the store; rm,
// mkdir, rmdir, a large write read back, refused names and renames.
TEST_F(MountTest, RealProgramsSeeTheStore) {
  ASSERT_EQ(Run({"touch", "-d", "@1709618828", (store() / "2/TRIP/RAINBOW.WAV").string()}), 0);
  Start();
  std::string text;
  ASSERT_EQ(Run({"ls", "-lR", mnt().string()}, &text), 0) << text;
  EXPECT_NE(text.find("ALBUM1"), std::string::npos);
  // find and os.walk list every store file and directory, nothing else.
  std::set<std::string> expected;
  for (const auto &entry : fs::recursive_directory_iterator(store() / "2")) {
    expected.insert("2/" + entry.path().lexically_relative(store() / "2").string());
  }
  ASSERT_EQ(Run({"sh", "-c", "cd " + mnt().string() + " && find 2 -mindepth 1"}, &text), 0);
  const auto found = Lines(text);
  EXPECT_EQ(std::set<std::string>(found.begin(), found.end()), expected);
  const std::string walk = "import os,sys\nos.chdir(sys.argv[1])\n"
                           "for d, ds, fs in os.walk('2'):\n"
                           "  for n in ds + fs: print(os.path.join(d, n))\n";
  ASSERT_EQ(Run({"python3", "-c", walk, mnt().string()}, &text), 0) << text;
  const auto walked = Lines(text);
  EXPECT_EQ(std::set<std::string>(walked.begin(), walked.end()), expected);
  ASSERT_EQ(Run({"stat", "-c", "%s %F", (mnt() / "2/TRIP/SUN.JPG").string()}, &text), 0);
  EXPECT_EQ(text, std::to_string(fs::file_size(store() / "2/TRIP/SUN.JPG")) + " regular file\n");
  ASSERT_EQ(Run({"stat", "-c", "%Y", (mnt() / "2/TRIP/RAINBOW.WAV").string()}, &text), 0);
  EXPECT_EQ(text, "1709618828\n"); // the camera's time tags

  ASSERT_EQ(Run({"cp", "-r", (mnt() / "2").string(), out("copy").string()}, &text), 0) << text;
  for (const auto &name : expected) {
    if (fs::is_regular_file(store() / name)) {
      EXPECT_TRUE(Same(Slurp(out("copy") / name.substr(2)), Slurp(store() / name))) << name;
    }
  }

  // Into the camera: a directory, a large file read back, an empty file.
  const std::string large = RandomBytes(6 << 20, 7);
  WriteFile(out("LARGE.BIN"), large);
  ASSERT_EQ(Run({"mkdir", (mnt() / "2/NEW").string()}), 0);
  ASSERT_EQ(Run({"cp", out("LARGE.BIN").string(), (mnt() / "2/NEW/").string()}, &text), 0) << text;
  ASSERT_EQ(Run({"touch", (mnt() / "2/NEW/EMPTY.TXT").string()}, &text), 0) << text;
  EXPECT_TRUE(Same(Slurp(store() / "2/NEW/LARGE.BIN"), large));
  EXPECT_TRUE(fs::is_regular_file(store() / "2/NEW/EMPTY.TXT"));
  EXPECT_TRUE(Same(Slurp(mnt() / "2/NEW/LARGE.BIN"), large));
  ASSERT_EQ(Run({"stat", "-c", "%s", (mnt() / "2/NEW/LARGE.BIN").string()}, &text), 0);
  EXPECT_EQ(text, std::to_string(large.size()) + "\n");

  // Names the camera cannot hold, a rename, a full directory: clean failures.
  const std::string probe =
      "import errno,os,sys\n"
      "def code(f, *a):\n"
      "  try: f(*a); return 'ok'\n"
      "  except OSError as e: return errno.errorcode[e.errno]\n"
      "m = sys.argv[1] + '/2/'\n"
      "print(code(os.mkdir, m + 'LONGNAME12'), code(os.open, m + 'A.B.C', os.O_CREAT|os.O_WRONLY),"
      " code(os.open, m + 'BAD NAME', os.O_CREAT|os.O_WRONLY),"
      " code(os.rename, m + 'WELCOME.JPG', m + 'HELLO.JPG'), code(os.rmdir, m + 'NEW'))\n";
  ASSERT_EQ(Run({"python3", "-c", probe, mnt().string()}, &text), 0) << text;
  EXPECT_EQ(text, "ENAMETOOLONG EINVAL EINVAL EXDEV ENOTEMPTY\n");
  EXPECT_NE(Slurp(dir_ / "mount.log").find("8.3"), std::string::npos);
  EXPECT_TRUE(fs::exists(store() / "2/WELCOME.JPG"));

  ASSERT_EQ(Run({"rm", (mnt() / "2/NEW/LARGE.BIN").string(), (mnt() / "2/NEW/EMPTY.TXT").string()}),
            0);
  ASSERT_EQ(Run({"rmdir", (mnt() / "2/NEW").string()}), 0);
  EXPECT_FALSE(fs::exists(store() / "2/NEW"));
  ASSERT_EQ(Run({"ls", (mnt() / "2").string()}, &text), 0);
  EXPECT_EQ(text.find("NEW"), std::string::npos);
  // statfs: the camera's shots remaining.
  ASSERT_EQ(Run({"stat", "-f", "-c", "%a %S", mnt().string()}, &text), 0);
  EXPECT_GT(std::stoul(text), 0U);
}

// ls -l of 999 pictures: one listing exchange, then nothing more.
TEST_F(MountTest, AFolderOf999PicturesIsOneListing) {
  fs::create_directories(store() / "2/BIG");
  for (int i = 0; i < 999; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "P%07d.JPG", i);
    fs::copy_file(store() / "2/WELCOME.JPG", store() / "2/BIG" / name);
  }
  Start();
  std::string text;
  ASSERT_EQ(Run({"ls", mnt().string() + "/2"}, &text), 0);
  const std::size_t before = Count(camd_log(), "command 0x004A");
  ASSERT_EQ(Run({"ls", "-l", mnt().string() + "/2/BIG"}, &text), 0);
  EXPECT_EQ(Count(text, "P0"), 999U);
  EXPECT_EQ(Count(text, std::to_string(fs::file_size(store() / "2/WELCOME.JPG")) + " "), 999U);
  EXPECT_EQ(Count(camd_log(), "command 0x004A"), before + 1);
  // Kept: no more commands but the event thread's status reads (0x03).
  const auto commands = [&] {
    const std::string log = camd_log();
    return Count(log, "command 0x") - Count(log, "command 0x0003");
  };
  const std::size_t before_again = commands();
  ASSERT_EQ(Run({"ls", "-l", mnt().string() + "/2/BIG"}, &text), 0);
  EXPECT_EQ(Count(text, "P0"), 999U);
  EXPECT_EQ(commands(), before_again);
}

// Two readers of one file during its download share it; one download.
TEST_F(MountTest, TwoReadersShareOneDownload) {
  const std::string bytes = RandomBytes(2 << 20, 3);
  WriteFile(store() / "2/BIG.BIN", bytes);
  Start({"--delay", "5"});
  const std::string file = (mnt() / "2/BIG.BIN").string();
  const pid_t first = Spawn({"cp", file, out("first").string()}, out("first.log"));
  ASSERT_TRUE(WaitFor([&] { return Count(camd_log(), "command 0x0042") > 0; }));
  const pid_t second = Spawn({"cp", file, out("second").string()}, out("second.log"));
  EXPECT_EQ(Wait(first), 0) << Slurp(out("first.log"));
  EXPECT_EQ(Wait(second), 0) << Slurp(out("second.log"));
  // One download: 2 MiB in chunks of 16,360 bytes (two would be twice that).
  EXPECT_LE(Count(camd_log(), "command 0x0042"), bytes.size() / 16360 + 2);
  EXPECT_TRUE(Same(Slurp(out("first")), bytes));
  EXPECT_TRUE(Same(Slurp(out("second")), bytes));
}

// A camera that stops answering during a copy: EIO within the link timeout,
// and the mount works again once the camera answers.
TEST_F(MountTest, ACameraThatStopsAnsweringGivesEioThenRecovers) {
  const std::string bytes = RandomBytes(2 << 20, 5);
  WriteFile(store() / "2/BIG.BIN", bytes);
  Start({"--delay", "2"});
  const pid_t copy =
      Spawn({"cp", (mnt() / "2/BIG.BIN").string(), out("big").string()}, out("copy.log"));
  ASSERT_TRUE(WaitFor([&] { return Count(camd_log(), "command 0x0042") > 0; }));
  kill(camd_, SIGSTOP);
  EXPECT_EQ(Wait(copy, 60s), 1);
  EXPECT_NE(Slurp(out("copy.log")).find("Input/output error"), std::string::npos)
      << Slurp(out("copy.log"));
  kill(camd_, SIGCONT);
  std::string text;
  EXPECT_TRUE(WaitFor([&] {
    return Run({"cp", (mnt() / "2/BIG.BIN").string(), out("again").string()}, &text) == 0;
  }));
  EXPECT_TRUE(Same(Slurp(out("again")), bytes));
}

// SIGTERM during an upload: the mount ends after the upload completes, so
// the camera holds the whole file, never part of it.
TEST_F(MountTest, StoppingDuringAnUploadLeavesNothingHalfWritten) {
  const std::string bytes = RandomBytes(2 << 20, 9);
  WriteFile(out("UP.BIN"), bytes);
  Start({"--delay", "5"});
  const pid_t copy =
      Spawn({"cp", out("UP.BIN").string(), (mnt() / "2/UP.BIN").string()}, out("copy.log"));
  ASSERT_TRUE(WaitFor([&] { return Count(camd_log(), "command 0x0047") > 0; }));
  kill(mount_, SIGTERM);
  EXPECT_EQ(Wait(mount_), 0) << Slurp(dir_ / "mount.log");
  mount_ = -1;
  EXPECT_EQ(Wait(copy), 0) << Slurp(out("copy.log"));
  EXPECT_TRUE(Same(Slurp(store() / "2/UP.BIN"), bytes));
}

// The default: the command returns once mounted and the mount runs on in
// the background; --read-only refuses changes.
TEST_F(MountTest, MountsInTheBackgroundReadOnly) {
  std::string text;
  ASSERT_EQ(
      Run({TAVELO_TOOL, "--virtual", store().string(), "mount", "--read-only", mnt().string()},
          &text),
      0)
      << text;
  const auto mounted = [&] { return Count(Slurp("/proc/self/mountinfo"), mnt().string()) > 0; };
  EXPECT_TRUE(mounted());
  EXPECT_TRUE(Same(Slurp(mnt() / "2/WELCOME.JPG"), Slurp(store() / "2/WELCOME.JPG")));
  EXPECT_NE(Run({"touch", (mnt() / "2/NEW.TXT").string()}, &text), 0);
  EXPECT_NE(text.find("Read-only file system"), std::string::npos) << text;
  ASSERT_EQ(Run({"fusermount3", "-u", mnt().string()}, &text), 0) << text;
  EXPECT_FALSE(mounted());
}

} // namespace
