// The network and serial transports end to end: the library's public
// interface on this side, a real loopback socket or pseudo-terminal in the
// middle, and tavelo-camd serving a demo store (or relaying) on the far side.
#include "link.h"
#include "tavelo/transport.h"
#include "virtual_camera.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace e2e {
namespace {

constexpr char kNetClass[] = "{7D41A0E3-52C9-4B17-9A3B-00A0C93E71B4}";
constexpr char kSerialClass[] = "{0B6E2F40-8D15-4B17-9A62-00A0C93E71B4}";
constexpr char kPhoto[] = "TRIP/RAINBOW.JPG"; // several chunks long

// tavelo-camd as a child process; its output lines are collected as they come.
class Daemon {
public:
  explicit Daemon(std::vector<std::string> args) {
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    args.insert(args.begin(), CAMD);
    std::vector<char *> argv;
    for (std::string &arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, CAMD, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    reader_ = std::thread([this, in = fdopen(out[0], "r")] {
      std::array<char, 512> line{};
      while (std::fgets(line.data(), line.size(), in) != nullptr) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line.data(), std::strcspn(line.data(), "\n"));
        changed_.notify_all();
      }
      std::fclose(in);
      std::lock_guard lock(mutex_);
      ended_ = true;
      changed_.notify_all();
    });
  }
  ~Daemon() { Stop(SIGTERM); }
  void Dump() {
    std::lock_guard lock(mutex_);
    for (const std::string &line : lines_) {
      std::fprintf(stderr, "camd: %s\n", line.c_str());
    }
  }

  // What follows `text` in the `nth` output line holding it; empty when the
  // daemon ended, or went a minute, without printing it.
  std::string Await(const std::string &text, int nth = 1) {
    std::unique_lock lock(mutex_);
    std::string found;
    changed_.wait_for(lock, std::chrono::minutes(1), [&] {
      int seen = 0;
      for (const std::string &line : lines_) {
        if (const auto at = line.find(text); at != std::string::npos && ++seen == nth) {
          found = line.substr(at + text.size());
          return true;
        }
      }
      return ended_;
    });
    return found;
  }
  // The exit status after `signal`.
  int Stop(int signal) {
    int status = -1;
    if (pid_ > 0) {
      if (signal != 0) {
        kill(pid_, signal);
      }
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    if (reader_.joinable()) {
      reader_.join();
    }
    return status;
  }

private:
  pid_t pid_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool ended_ = false;
  std::thread reader_;
};

class Link : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = std::string(E2E_TMP) + "/linkXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    ASSERT_GE(TaveloInitialize(1), 0);
  }
  void TearDown() override {
    for (HCAMERA camera : cameras_) {
      TaveloCloseCamera(camera);
    }
    TaveloUninitialize();
    unsetenv("TAVELO_NET_CAMERAS");
    unsetenv("TAVELO_SERIAL_CAMERAS");
    daemons_.clear();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  fs::path Store(const std::string &name) {
    tavelo::emu::make_demo_store(dir_ / name);
    return dir_ / name;
  }
  Daemon &Start(std::vector<std::string> args) {
    return *daemons_.emplace_back(std::make_unique<Daemon>(std::move(args)));
  }
  // Serves `store` over TCP or a pty; gives the device identifier.
  std::string Serve(const fs::path &store, bool serial, std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), store.string());
    if (serial) {
      extra.emplace_back("--pty");
      return "serial:" + Start(extra).Await("serving on ") + "@115200";
    }
    extra.insert(extra.end(), {"--listen", "127.0.0.1:0"});
    return "net:" + Start(extra).Await("listening on ");
  }
  HCAMERA Bind(const std::string &id) {
    DEVICE_INFO record = DeviceRecord(id.starts_with("net:") ? kNetClass : kSerialClass, id);
    HCAMERA camera = nullptr;
    EXPECT_EQ(TaveloBindCamera(&camera, &record), S_OK);
    VariantClear(&record.deviceId);
    return cameras_.emplace_back(camera);
  }
  static HRESULT Clock(HCAMERA camera) {
    SYSTEMTIME time{};
    return TaveloGetCameraTime(camera, &time);
  }
  static HRESULT Download(HCAMERA camera, const std::string &path, Bytes *data) {
    FH file = Handle("2:" + path);
    BYTE *block = nullptr;
    ULONG size = 0;
    const HRESULT result = TaveloGetFileData(camera, &file, 0, &block, &size);
    *data = block != nullptr ? Bytes(block, block + size) : Bytes{};
    CoTaskMemFree(block);
    return result;
  }
  // Uploads noise as TRIP/UP.BIN; true when the store holds exactly it.
  bool Upload(HCAMERA camera, const fs::path &store) {
    Bytes noise(70000);
    std::generate(noise.begin(), noise.end(),
                  [n = 7u]() mutable { return (n = n * 69069 + 1) >> 24; });
    PutHostBytes(dir_ / "up.bin", noise);
    FH dir = Handle("2:TRIP/");
    FH *made = nullptr;
    EXPECT_EQ(TaveloCopyFileToCamera(camera, (dir_ / "up.bin").c_str(), &dir, "UP.BIN", &made),
              S_OK);
    TaveloCloseFile(camera, made);
    return HostBytes(store / "2/TRIP/UP.BIN") == noise;
  }
  fs::path dir_;
  std::vector<std::unique_ptr<Daemon>> daemons_;
  std::vector<HCAMERA> cameras_;
};

class EveryCommand : public Link, public ::testing::WithParamInterface<bool> {};

TEST_P(EveryCommand, CrossesTheLinkAsInProcess) {
  const fs::path store = Store("store");
  const std::string id = Serve(store, GetParam());
  ASSERT_EQ(setenv(GetParam() ? "TAVELO_SERIAL_CAMERAS" : "TAVELO_NET_CAMERAS", id.c_str(), 1), 0);
  ULONG count = 0;
  DEVICE_INFO *records = nullptr;
  ASSERT_EQ(TaveloEnumCameras(&count, &records), S_OK);
  ASSERT_EQ(count, 1u);
  EXPECT_STREQ(records[0].ptid, "Virtual Camera VC-1") << "read over the link";
  EXPECT_STREQ(records[0].transportClsid, GetParam() ? kSerialClass : kNetClass);
  HCAMERA camera = nullptr;
  ASSERT_EQ(TaveloBindCamera(&camera, &records[0]), S_OK);
  cameras_.push_back(camera);
  VariantClear(&records[0].deviceId);
  CoTaskMemFree(records);

  FH **handles = nullptr;
  ASSERT_EQ(TaveloGetAllImagesList(camera, &count, &handles), S_OK);
  std::vector<std::string> names;
  for (ULONG i = 0; i < count; ++i) {
    names.emplace_back(handles[i]->path);
    TaveloCloseFile(camera, handles[i]);
  }
  EXPECT_NE(std::find(names.begin(), names.end(), std::string("2:") + kPhoto), names.end());
  Bytes photo;
  ASSERT_EQ(Download(camera, kPhoto, &photo), S_OK);
  EXPECT_EQ(photo, HostBytes(store / "2" / kPhoto));
  EXPECT_TRUE(Upload(camera, store));

  VARIANT value;
  VariantInit(&value);
  value.vt = VT_UI4;
  value.ulVal = 3;
  ASSERT_EQ(TaveloSetParameter(camera, Tag("iqal"), value), S_OK);
  ASSERT_EQ(TaveloGetParameter(camera, Tag("iqal"), &value), S_OK);
  EXPECT_EQ(value.ulVal, 3u);

  Events events;
  ASSERT_EQ(events.Subscribe(camera, 1), S_OK);
  const CAPTURE_REQUEST single{0, 0, 0, 0};
  ASSERT_EQ(TaveloStartCapture(camera, &single), S_OK);
  EXPECT_TRUE(events.Await(1));
  TaveloCloseCamera(camera); // with its notification thread, before `events` goes
  cameras_.clear();
  EXPECT_EQ(daemons_[0]->Stop(SIGTERM), 0) << "a clean stop";
}

INSTANTIATE_TEST_SUITE_P(NetAndPty, EveryCommand, ::testing::Bool());

struct Fault {
  bool serial;
  const char *kind;
  bool recovers; // the host asks again and gets the answer
};

class LinkFault : public Link, public ::testing::WithParamInterface<Fault> {};

// The first answer to a clock read (0x70) misbehaves: a serial host asks
// again for a lost or damaged answer; otherwise that command fails, nothing
// hangs (a transport that waited for the long packet's body would), and the
// next command reconnects and works.
TEST_P(LinkFault, FailsOneExchangeAndTheNextCommandWorks) {
  const bool stall = std::string(GetParam().kind) == "stall";
  ASSERT_EQ(setenv("TAVELO_LINK_TIMEOUT_MS", stall ? "1500" : "600000", 1), 0);
  const std::string id = Serve(Store("store"), GetParam().serial,
                               {"--link-fault", std::string(GetParam().kind) + ":0x70"});
  HCAMERA camera = Bind(id);
  EXPECT_EQ(Clock(camera) == S_OK, GetParam().recovers);
  EXPECT_EQ(Clock(camera), S_OK);
  EXPECT_EQ(daemons_[0]->Await("link fault on command "), "0x0070");
  unsetenv("TAVELO_LINK_TIMEOUT_MS");
}

INSTANTIATE_TEST_SUITE_P(Faults, LinkFault,
                         ::testing::Values(Fault{false, "stall", false}, Fault{false, "cut", false},
                                           Fault{false, "long", false},
                                           Fault{false, "short", false}, Fault{true, "stall", true},
                                           Fault{true, "cut", true}, Fault{true, "long", false},
                                           Fault{true, "short", false},
                                           Fault{true, "corrupt", true}),
                         [](const auto &info) {
                           return (info.param.serial ? "pty_" : "net_") +
                                  std::string(info.param.kind);
                         });

TEST_F(Link, RestartedDaemonServesTheNextCommand) {
  const fs::path store = Store("store");
  const std::string id = Serve(store, false);
  HCAMERA camera = Bind(id);
  ASSERT_EQ(Clock(camera), S_OK);
  daemons_[0]->Stop(SIGKILL);
  EXPECT_LT(Clock(camera), 0) << "nobody listens";
  Start({store.string(), "--listen", id.substr(4)}).Await("listening on ");
  EXPECT_EQ(Clock(camera), S_OK);
  ASSERT_EQ(Clock(camera), S_OK);
  daemons_[1]->Stop(SIGKILL); // and again, between two commands: reconnects unseen
  Start({store.string(), "--listen", id.substr(4)}).Await("listening on ");
  EXPECT_EQ(Clock(camera), S_OK);
}

// A plain TCP connection to "net:HOST:PORT", standing in for a host.
int Connect(const std::string &id) {
  tavelo::link::Fd fd;
  EXPECT_EQ(tavelo::link::ConnectTcp(*tavelo::link::ParseNetAddress(id.substr(4)),
                                     std::chrono::seconds(30), &fd),
            S_OK);
  return fd.release();
}

// A thread that runs `step` until it is destroyed; a step must not block long.
struct Loop : std::jthread {
  explicit Loop(std::function<void()> step)
      : std::jthread([step = std::move(step)](const std::stop_token &stop) {
          while (!stop.stop_requested()) {
            step();
          }
        }) {}
};

// Copies what `from` has (waiting up to 10 ms) to each of `to`, in pieces
// of one to three bytes with a pause after some, as a slow path would.
// False once `from` has closed.
bool Forward(int from, std::initializer_list<int> to, bool trickle) {
  pollfd p{from, POLLIN, 0};
  std::array<std::uint8_t, 4096> bytes{};
  const ssize_t n = poll(&p, 1, 10) > 0 ? read(from, bytes.data(), bytes.size()) : -1;
  for (ssize_t at = 0, piece = 1; at < n; at += piece, piece = 1 + at % 3) {
    piece = trickle ? std::min(piece, n - at) : n;
    for (const int fd : to) {
      for (ssize_t done = 0; done < piece;) {
        pollfd w{fd, POLLOUT, 0};
        poll(&w, 1, 1000);
        const ssize_t put = write(fd, bytes.data() + at + done, piece - done);
        done += put > 0 ? put : 0;
      }
    }
    if (trickle && at % 7 == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  }
  return n != 0;
}

void IgnoreSignal(int) {}

// Through a path that cuts every packet into pieces of one to three bytes,
// with pauses, both ways, while signals keep interrupting the host's reads:
// commands and a download work. Then an answer whose header comes and whose
// body never does fails a status read at the link timeout, and the next
// command works on a new connection.
TEST_F(Link, PiecesPausesSignalsAndAStalledAnswer) {
  const fs::path store = Store("store");
  const std::string camd = Serve(store, false);
  tavelo::link::Fd listener;
  std::string proxy;
  ASSERT_EQ(tavelo::link::ListenTcp({"127.0.0.1", "0"}, &listener, &proxy), S_OK);
  std::atomic<int> stallAfter{-1}; // answer bytes let through, once set
  std::atomic<pthread_t> host{};
  std::unique_ptr<Loop> pipe;
  Loop acceptor([&] {
    pollfd p{listener.get(), POLLIN, 0};
    if (poll(&p, 1, 10) > 0) {
      auto ends = std::make_shared<std::pair<tavelo::link::Fd, tavelo::link::Fd>>(
          tavelo::link::Fd(accept(listener.get(), nullptr, nullptr)),
          tavelo::link::Fd(Connect(camd)));
      stallAfter = -1; // a new connection works
      pipe = std::make_unique<Loop>([ends, &stallAfter] {
        const int in = ends->first.get(), out = ends->second.get();
        if (in < 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } else if (!Forward(in, {out}, true) || (stallAfter < 0 && !Forward(out, {in}, true))) {
          *ends = {}; // so the daemon sees this host leave
        } else if (stallAfter > 0) {
          std::array<std::uint8_t, 64> head{};
          const ssize_t n = read(out, head.data(), static_cast<std::size_t>(stallAfter.load()));
          EXPECT_EQ(write(in, head.data(), n), n);
          stallAfter = 0; // and the rest never comes
        }
      });
    }
  });
  struct sigaction action {};
  action.sa_handler = IgnoreSignal; // no SA_RESTART: reads see EINTR
  sigaction(SIGUSR1, &action, nullptr);
  HCAMERA camera = Bind("net:" + proxy);
  std::atomic<bool> done{false};
  std::thread session([&] {
    host = pthread_self();
    Bytes photo;
    EXPECT_EQ(Clock(camera), S_OK);
    EXPECT_EQ(Download(camera, kPhoto, &photo), S_OK);
    EXPECT_EQ(photo, HostBytes(store / "2" / kPhoto));
    done = true;
  });
  while (!done) {
    if (host.load() != pthread_t{}) {
      pthread_kill(host, SIGUSR1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2)); // a signal now and then
  }
  session.join();
  TaveloCloseCamera(camera);
  cameras_.clear();
  ASSERT_EQ(setenv("TAVELO_LINK_TIMEOUT_MS", "1500", 1), 0);
  HCAMERA stalled = Bind("net:" + proxy); // its connection times out at 1.5 s
  ASSERT_EQ(Clock(stalled), S_OK);
  stallAfter = 14; // the header and two bytes of the 24-byte status answer
  ULONG word = 0;
  EXPECT_EQ(TaveloGetSystemStatus(stalled, &word), HRESULT_FROM_WIN32(tavelo::link::kErrorTimeout));
  EXPECT_EQ(Clock(stalled), S_OK) << "the next command gets a fresh link";
  unsetenv("TAVELO_LINK_TIMEOUT_MS");
  pipe.reset();
}

// A second host while the first downloads waits for the camera: the
// download completes byte-exact, and the second is served once the first
// has gone. A third that waits past the bound is refused and fails at once.
TEST_F(Link, ANewcomerWaitsItsTurnWithinTheBound) {
  const fs::path store = Store("store");
  const std::string id = Serve(store, false, {"--wait", "1", "-v"});
  Daemon &daemon = *daemons_[0];
  HCAMERA first = Bind(id), second = Bind(id), third = Bind(id);
  cameras_.erase(cameras_.begin()); // the first is closed here
  VARIANT small;
  VariantInit(&small);
  small.vt = VT_UI4;
  small.ulVal = 1024; // many chunks
  ASSERT_EQ(TaveloSetParameter(first, Tag("mhbs"), small), S_OK);
  std::thread transfer([&] {
    Bytes photo;
    EXPECT_EQ(Download(first, kPhoto, &photo), S_OK);
    EXPECT_EQ(photo, HostBytes(store / "2" / kPhoto));
    daemon.Await("waits for the camera");
    TaveloCloseCamera(first);
  });
  daemon.Await("command 0x0042");
  EXPECT_EQ(Clock(second), S_OK);
  transfer.join();
  ASSERT_EQ(setenv("TAVELO_LINK_TIMEOUT_MS", "600000", 1), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_LT(Clock(third), 0) << "the second still holds the camera";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_NE(daemon.Await("refused "), "");
  unsetenv("TAVELO_LINK_TIMEOUT_MS");
}

// A host whose close reaches the daemon after the next host connected, a
// host that idles past the limit and one that stalls half way through a
// request all give the camera up, and the waiting host is served.
TEST_F(Link, HostsThatLeaveLateIdleOrStallFreeTheCamera) {
  ASSERT_EQ(setenv("TAVELO_LINK_TIMEOUT_MS", "1500", 1), 0); // the daemon's, for the stall
  const std::string id = Serve(Store("store"), false, {"--idle", "1", "--wait", "30"});
  unsetenv("TAVELO_LINK_TIMEOUT_MS");
  Daemon &daemon = *daemons_[0];
  int early = Connect(id);
  daemon.Await("connected");
  HCAMERA host = Bind(id);
  auto clock = std::async(std::launch::async, [host] { return Clock(host); });
  daemon.Await("waits for the camera");
  close(early); // only now does the first host's close set out
  EXPECT_EQ(clock.get(), S_OK);
  EXPECT_NE(daemon.Await("idle too long"), "");
  EXPECT_EQ(Clock(host), S_OK) << "dropped for idling, connects again";
  daemon.Await("idle too long", 2);
  const int stuck = Connect(id);
  ASSERT_EQ(write(stuck, "\0\0\0\x08\x01", 5), 5); // and the rest never comes
  daemon.Await("connected", 4);
  EXPECT_EQ(Clock(host), S_OK);
  EXPECT_NE(daemon.Await("stalled"), "");
  close(stuck);
}

// A pseudo-terminal pair: the master's descriptor and the device path.
std::pair<tavelo::link::Fd, std::string> Pty() {
  tavelo::link::Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  EXPECT_TRUE(master && grantpt(master.get()) == 0 && unlockpt(master.get()) == 0);
  std::string path = ptsname(master.get());
  tavelo::link::Fd hold(open(path.c_str(), O_RDWR | O_NOCTTY)); // raw before the host opens it
  EXPECT_EQ(tavelo::link::MakeRawLine(hold.get(), 115200), S_OK);
  return {std::move(master), path};
}

// A serial line that carries endless noise fails a command within the link
// timeout plus the line time of its answer, however many bytes arrive.
TEST_F(Link, EndlessNoiseOnASerialLineFailsWithinTheBound) {
  auto [noise, path] = Pty();
  Loop writer([fd = noise.get()] {
    static const Bytes junk = {
        '$', 'G', 'P', 'G', 'G', 'A', ',', tavelo::link::kEnd, 'C', 7, tavelo::link::kEnd, '\n'};
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 10) > 0) {
      [[maybe_unused]] const auto n = write(fd, junk.data(), junk.size());
    }
    std::array<std::uint8_t, 256> drain{};
    [[maybe_unused]] const auto m = read(fd, drain.data(), drain.size()); // the host's requests
  });
  ASSERT_EQ(setenv("TAVELO_LINK_TIMEOUT_MS", "2000", 1), 0);
  HCAMERA camera = Bind("serial:" + path + "@115200");
  const auto start = std::chrono::steady_clock::now();
  ULONG word = 0;
  EXPECT_LT(TaveloGetSystemStatus(camera, &word), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  unsetenv("TAVELO_LINK_TIMEOUT_MS");
}

// Through a line that echoes every byte the host sends (a half-duplex
// adapter) the camera's answers are still told from the echoes; through a
// line that flips one bit in every 3000 bytes each way, damaged frames are
// sent again: a download and an upload arrive byte-exact, and a delete whose
// answer is lost runs once, not twice.
TEST_F(Link, SerialLineWithEchoesAndBitErrors) {
  const fs::path store = Store("store");
  const std::string daemonId = Serve(store, true);
  auto [host, path] = Pty();
  tavelo::link::Fd camera(
      open(daemonId.substr(7, daemonId.rfind('@') - 7).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  {
    Loop echo([&, h = host.get(), c = camera.get()] {
      Forward(h, {h, c}, false);
      Forward(c, {h}, false);
    });
    HCAMERA echoed = Bind("serial:" + path + "@115200");
    Bytes photo;
    EXPECT_EQ(Clock(echoed), S_OK);
    EXPECT_EQ(Download(echoed, kPhoto, &photo), S_OK);
    EXPECT_EQ(photo, HostBytes(store / "2" / kPhoto));
    TaveloCloseCamera(echoed);
    cameras_.clear();
  }
  const std::string noisy =
      Serve(store, true, {"--bit-errors", "3000", "--link-fault", "stall:0x43"});
  HCAMERA camera2 = Bind(noisy);
  VARIANT small;
  VariantInit(&small);
  small.vt = VT_UI4;
  small.ulVal = 1024; // frames shorter than the distance between two errors
  ASSERT_EQ(TaveloSetParameter(camera2, Tag("mhbs"), small), S_OK);
  Bytes photo;
  EXPECT_EQ(Download(camera2, kPhoto, &photo), S_OK);
  EXPECT_EQ(photo, HostBytes(store / "2" / kPhoto));
  EXPECT_TRUE(Upload(camera2, store));
  FH up = Handle("2:TRIP/UP.BIN");
  EXPECT_EQ(TaveloDeleteFile(camera2, &up), S_OK) << "a second run would find no file";
  EXPECT_FALSE(fs::exists(store / "2/TRIP/UP.BIN"));
  EXPECT_EQ(daemons_[1]->Await("link fault on command "), "0x0043");
}

// Losing its serial line ends the daemon with a failure status, so that a
// service manager starts it again.
TEST_F(Link, DaemonEndsWithAFailureWhenItsLineIsLost) {
  auto [line, path] = Pty();
  Daemon &daemon = Start({Store("store").string(), "--serial", path + "@115200"});
  EXPECT_EQ(daemon.Await("serving on "), path);
  line = tavelo::link::Fd(); // hangs the line up
  const int status = daemon.Stop(0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
}

// The tool reaches a network or serial camera by its id alone, with no
// variable listing it and no component path set.
TEST_F(Link, ToolTakesALinkDeviceIdWithoutEnvironment) {
  const fs::path store = Store("store");
  for (const bool serial : {false, true}) {
    const std::string id = Serve(store, serial);
    const std::string command = "env -u TAVELO_COMPONENT_PATH " TOOL " --camera " + id +
                                " status 2>&1 && " TOOL " --camera " + id + " put " +
                                (store / "2" / kPhoto).string() + " 2:TRIP/ COPY.JPG 2>&1";
    FILE *out = popen(command.c_str(), "r");
    std::array<char, 4096> text{};
    const std::size_t n = std::fread(text.data(), 1, text.size() - 1, out);
    EXPECT_EQ(pclose(out), 0) << std::string(text.data(), n);
    EXPECT_NE(std::string(text.data(), n).find("system status"), std::string::npos);
    EXPECT_EQ(HostBytes(store / "2/TRIP/COPY.JPG"), HostBytes(store / "2" / kPhoto));
    fs::remove(store / "2/TRIP/COPY.JPG");
  }
}

TEST_F(Link, TwoSessionsTwoDaemonsInParallel) {
  const fs::path stores[] = {Store("a"), Store("b")};
  const std::string ids[] = {Serve(stores[0], false), Serve(stores[1], true)};
  std::vector<std::thread> sessions;
  for (int i = 0; i < 2; ++i) {
    HCAMERA camera = Bind(ids[i]);
    sessions.emplace_back([camera, store = stores[i]] {
      for (int round = 0; round < 3; ++round) {
        Bytes photo;
        EXPECT_EQ(Download(camera, kPhoto, &photo), S_OK);
        EXPECT_EQ(photo, HostBytes(store / "2" / kPhoto));
      }
    });
  }
  for (std::thread &session : sessions) {
    session.join();
  }
}

TEST_F(Link, RelayForwardsToAPtyServedStore) {
  const fs::path store = Store("store");
  const std::string pty = Serve(store, true);
  const std::string port =
      Start({"--relay", pty, "--listen", "127.0.0.1:0"}).Await("listening on ");
  HCAMERA camera = Bind("net:" + port);
  Bytes photo;
  ASSERT_EQ(Download(camera, kPhoto, &photo), S_OK);
  EXPECT_EQ(photo, HostBytes(store / "2" / kPhoto));
  EXPECT_TRUE(Upload(camera, store));
}

// A serial line in one stream: noise, a late answer to an earlier request
// (sequence 5), the host's own request echoed, a damaged frame, then the
// answer awaited (sequence 6). Only the damage is reported, and the awaited
// packet still decodes byte-exact.
TEST(SerialFraming, SkipsStaleFramesAndResynchronisesAfterDamage) {
  using namespace tavelo::link;
  Bytes packet = {0, 0, 0, 12, 1, 0, 0, 0, 0, 0x70, 0, 0, kEnd, kEsc, kEscEnd, 0};
  Bytes line = {0x55, kEsc, 0x01}, frame;
  for (const auto &[sender, sequence] : {std::pair{kFromCamera, 5}, std::pair{kFromHost, 6},
                                         std::pair{kFromCamera, 6}, std::pair{kFromCamera, 6}}) {
    EncodeFrame(sender, static_cast<std::uint8_t>(sequence), packet, frame);
    line.insert(line.end(), frame.begin(), frame.end());
  }
  line[line.size() - frame.size() - 3] ^= 0x40; // in the CRC of the first camera frame of 6
  Bytes out(packet.size());
  FrameDecoder decoder(out, kFromCamera, 6);
  std::vector<Read> reads;
  for (std::span<const std::uint8_t> rest(line); !rest.empty();) {
    const auto step = decoder.Feed(rest);
    rest = rest.subspan(step.used);
    reads.push_back(step.read);
  }
  EXPECT_EQ(reads, (std::vector<Read>{Read::bad_frame, Read::done}));
  EXPECT_EQ(out, packet);
  EXPECT_EQ(decoder.size(), packet.size());
}

// An intact frame whose length field is not its packet's size is refused,
// never passed on: a relay would forward a packet that says something else.
TEST(SerialFraming, RefusesALengthFieldThatIsNotThePacketsSize) {
  using namespace tavelo::link;
  for (const std::uint32_t field : {15u, 17u, 4u, 16u}) {
    Bytes packet(20, 0x33), frame, out(64);
    PutU32(packet, 0, field);
    EncodeFrame(kFromHost, 1, packet, frame);
    FrameDecoder decoder(out, kFromHost);
    EXPECT_EQ(decoder.Feed(frame).read, field == 16 ? Read::done : Read::bad_length) << field;
  }
}

// Opening a link that cannot be opened names the system's reason.
TEST(LinkOpen, FailsWithTheWindowsErrorOfTheCause) {
  struct Case {
    const CLSID &clsid;
    const char *id;
    HRESULT expected;
  };
  const Case cases[] = {
      {CLSID_TaveloNetTransport, "net:127.0.0.1:1", HRESULT_FROM_WIN32(tavelo::link::kWsaRefused)},
      {CLSID_TaveloNetTransport, "net:no.such.host.invalid:80",
       HRESULT_FROM_WIN32(tavelo::link::kWsaHostNotFound)},
      {CLSID_TaveloNetTransport, "net:::1:80", E_INVALIDARG}, // IPv6 needs brackets
      {CLSID_TaveloSerialTransport, "serial:/no/such/tty@9600",
       HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
      {CLSID_TaveloSerialTransport, "serial:/dev/null@9600",
       HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)},
      {CLSID_TaveloSerialTransport, "serial:/dev/null@12345", E_INVALIDARG},
  };
  ASSERT_GE(CoInitializeEx(nullptr, COINIT_MULTITHREADED), 0);
  for (const Case &c : cases) {
    void *object = nullptr;
    ASSERT_EQ(
        CoCreateInstance(c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITaveloTransport, &object),
        S_OK);
    auto *transport = static_cast<ITaveloTransport *>(object);
    VARIANT id;
    VariantInit(&id);
    id.vt = VT_BSTR;
    id.bstrVal = SysAllocString(std::u16string(c.id, c.id + std::strlen(c.id)).c_str());
    transport->Configure(id);
    EXPECT_EQ(transport->Open(), c.expected) << c.id;
    EXPECT_EQ(tavelo::link::ErrorText(c.expected).find("Error 0x"), std::string::npos) << c.id;
    VariantClear(&id);
    transport->Release();
  }
  CoUninitialize();
}

} // namespace
} // namespace e2e
