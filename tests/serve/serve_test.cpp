// tavelo serve end to end: the real program over a virtual camera, driven
// through its HTTP API, the way the page and other programs use it.
#include "tavelo/emulator/demo_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Headers = httplib::Headers;

std::string Slurp(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A program in a child process, with the first line it printed.
class Child {
public:
  explicit Child(std::vector<std::string> args) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char *> argv;
    for (auto &arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    output_ = fdopen(out[0], "r");
    char line[512] = {};
    EXPECT_NE(std::fgets(line, sizeof line, output_), nullptr);
    line_ = line;
  }
  // Ctrl-C: both programs stop in order and exit with 0 (under the
  // sanitizers, after their leak check).
  ~Child() {
    kill(pid_, SIGINT);
    int status = -1;
    waitpid(pid_, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::fclose(output_);
  }
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  const std::string &line() const { return line_; }

private:
  pid_t pid_ = -1;
  FILE *output_ = nullptr;
  std::string line_;
};

// The server, with the URL it printed.
class Served : public Child {
public:
  Served(const fs::path &dir, std::vector<std::string> extra, bool virtual_camera = true)
      : Child(Args(dir, std::move(extra), virtual_camera)) {
    const auto at = line().find("http://");
    EXPECT_NE(at, std::string::npos) << line();
    url_ = line().substr(at, line().find('\n') - at);
    port_ = std::stoi(url_.substr(url_.find(':', 7) + 1));
  }
  const std::string &url() const { return url_; }
  httplib::Client Client() const {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(std::chrono::seconds(60));
    return client;
  }
  int port() const { return port_; }

private:
  static std::vector<std::string> Args(const fs::path &dir, std::vector<std::string> extra,
                                       bool virtual_camera) {
    std::vector<std::string> args{TAVELO_TOOL};
    if (virtual_camera) {
      args.insert(args.end(), {"--virtual", (dir / "store").string()});
    }
    args.emplace_back("serve");
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  std::string url_;
  int port_ = 0;
};

// Reads an event stream on its own connection.
class Stream {
public:
  explicit Stream(const Served &served) : client_(served.Client()) {
    reader_ = std::thread([this] {
      client_.Get("/api/events", [this](const char *data, std::size_t length) {
        const std::lock_guard lock(mutex_);
        text_.append(data, length);
        changed_.notify_all();
        return !stop_;
      });
    });
  }
  ~Stream() {
    {
      const std::lock_guard lock(mutex_);
      stop_ = true;
    }
    client_.stop();
    reader_.join();
  }
  Stream(const Stream &) = delete;
  Stream &operator=(const Stream &) = delete;
  // Waits for `what` in the stream after `from`; returns where it is.
  std::size_t WaitFor(const std::string &what, std::size_t from = 0) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(60),
                      [&] { return text_.find(what, from) != std::string::npos; });
    EXPECT_NE(text_.find(what, from), std::string::npos) << what << " in " << text_;
    return text_.find(what, from);
  }
  std::string Text() {
    const std::lock_guard lock(mutex_);
    return text_;
  }

private:
  httplib::Client client_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
  bool stop_ = false;
  std::thread reader_;
};

const Headers kPage{{"X-Tavelo-Token", "-"}};

class ServeTest : public testing::Test {
protected:
  void SetUp() override {
    unsetenv("TAVELO_VIRTUAL_CAMERAS");
    unsetenv("TAVELO_COMPONENT_PATH");
    setenv("LC_ALL", "C.UTF-8", 1);
    dir_ = fs::path(SERVE_TMP) /
           (std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + "." +
            std::to_string(getpid()));
    fs::remove_all(dir_);
    tavelo::emu::make_demo_store(dir_ / "store");
  }
  void TearDown() override { fs::remove_all(dir_); }
  // No answer names a host path.
  void ExpectNoHostPath(const httplib::Result &result) {
    ASSERT_TRUE(result);
    EXPECT_EQ(result->body.find(dir_.string()), std::string::npos) << result->body;
    EXPECT_EQ(result->body.find("/tmp"), std::string::npos) << result->body;
  }
  fs::path dir_;
};

Json Get(httplib::Client &client, const std::string &path, int status = 200) {
  const auto result = client.Get(path.c_str());
  EXPECT_TRUE(result);
  if (!result) {
    return {};
  }
  EXPECT_EQ(result->status, status) << path << ": " << result->body;
  return Json::parse(result->body, nullptr, false);
}

Json Post(httplib::Client &client, const std::string &path, const Json &body, int status = 200) {
  const auto result = client.Post(path.c_str(), kPage, body.dump(), "application/json");
  EXPECT_TRUE(result);
  if (!result) {
    return {};
  }
  EXPECT_EQ(result->status, status) << path << ": " << result->body;
  return Json::parse(result->body, nullptr, false);
}

TEST_F(ServeTest, FilesParametersCaptureAndTheEventStream) {
  const Served served(dir_, {"--listen", "127.0.0.1:0", "--download", (dir_ / "saved").string()});
  EXPECT_EQ(served.url(), "http://127.0.0.1:" + std::to_string(served.port()) + "/");
  auto client = served.Client();

  Stream stream(served);
  const Json cameras = Get(client, "/api/cameras");
  ASSERT_EQ(cameras.size(), 1U);
  EXPECT_EQ(cameras[0]["product"], "Virtual Camera VC-1");
  EXPECT_EQ(cameras[0]["transport"], "virtual");
  EXPECT_TRUE(cameras[0]["connected"]);

  // Listing with the fields of `tavelo --json ls -l`.
  const Json listing = Get(client, "/api/ls?recursive=1");
  const auto board = std::find_if(listing.begin(), listing.end(),
                                  [](const Json &e) { return e["path"] == "2:ALBUM1/BOARD.JPG"; });
  ASSERT_NE(board, listing.end());
  EXPECT_EQ(*board, Json::parse(R"({"path":"2:ALBUM1/BOARD.JPG","name":"BOARD.JPG","kind":"file",
      "type":"EXF","size":)" + std::to_string(fs::file_size(dir_ / "store/2/ALBUM1/BOARD.JPG")) +
                                R"(,"width":320,"height":240,"date":)" + (*board)["date"].dump() +
                                "}"));
  EXPECT_EQ(Get(client, "/api/ls?path=2:HOLIDAY/").size(), 1U);

  // A thumbnail as JPEG; the whole file byte for byte.
  auto thumb = client.Get("/api/thumb?path=2:ALBUM1/BOARD.JPG");
  ASSERT_TRUE(thumb);
  EXPECT_EQ(thumb->get_header_value("Content-Type"), "image/jpeg");
  EXPECT_EQ(thumb->body.substr(0, 2), "\xFF\xD8");
  auto file = client.Get("/api/file?path=2:ALBUM1/BOARD.JPG&download=1");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->body, Slurp(dir_ / "store/2/ALBUM1/BOARD.JPG"));
  EXPECT_EQ(file->get_header_value("Content-Disposition"), "attachment; filename=\"BOARD.JPG\"");

  // Upload, then delete.
  std::string bytes(70000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(i * 7 + i / 251);
  }
  auto uploaded = client.Post("/api/upload?dir=2:ALBUM1/&name=NOTE.BIN", kPage, bytes,
                              "application/octet-stream");
  ASSERT_TRUE(uploaded);
  EXPECT_EQ(uploaded->status, 200) << uploaded->body;
  EXPECT_EQ(Json::parse(uploaded->body)["size"], bytes.size());
  EXPECT_EQ(Slurp(dir_ / "store/2/ALBUM1/NOTE.BIN"), bytes);
  EXPECT_EQ(client.Get("/api/file?path=2:ALBUM1/NOTE.BIN")->body, bytes);
  EXPECT_EQ(Post(client, "/api/delete", {{"paths", {"2:ALBUM1/NOTE.BIN"}}})["removed"],
            Json::array({"2:ALBUM1/NOTE.BIN"}));
  EXPECT_FALSE(fs::exists(dir_ / "store/2/ALBUM1/NOTE.BIN"));
  ExpectNoHostPath(
      client.Post("/api/delete", kPage, R"({"paths":["2:ALBUM1/NOTE.BIN"]})", "application/json"));

  // Parameters: in the capability goes through, outside is refused unsent.
  const Json params = Get(client, "/api/params");
  ASSERT_FALSE(params.empty());
  EXPECT_EQ(params[1]["tag"], "iqal");
  EXPECT_EQ(params[1]["capability"]["kind"], "list");
  EXPECT_EQ(Post(client, "/api/param", {{"tag", "iqal"}, {"value", "Fine"}})["value"], 3);
  EXPECT_EQ(Post(client, "/api/param", {{"tag", "iqal"}, {"value", 7}}, 422)["error"], "refused");
  EXPECT_EQ(Post(client, "/api/param", {{"tag", "mhbs"}, {"value", 1026}}, 422)["error"],
            "refused");
  EXPECT_EQ(Post(client, "/api/param", {{"tag", "iqal"}}, 400)["error"], "bad_request");
  EXPECT_EQ(Get(client, "/api/params")[1]["value"], 3);

  // Capture: the picture is counted, announced on the stream and saved.
  const unsigned before = Get(client, "/api/status")["images"];
  const Json shot = Post(client, "/api/capture", {{"mode", 0}});
  EXPECT_EQ(shot["added"], 1);
  EXPECT_EQ(shot["images"], before + 1);
  const std::size_t found = stream.WaitFor("\"new_file\"");
  const std::string text = stream.Text();
  const auto at = text.rfind("data: ", found);
  const Json news = Json::parse(text.substr(at + 6, text.find('\n', at) - at - 6));
  const std::string name = news["entry"]["name"];
  EXPECT_EQ(news["saved"], name);
  EXPECT_EQ(Slurp(dir_ / "saved" / name),
            client.Get(("/api/file?path=" + news["new_file"].get<std::string>()).c_str())->body);
}

TEST_F(ServeTest, TokenOriginAndBoundedRequests) {
  std::ofstream(dir_ / "token") << "0123456789abcdef-secret\n";
  const Served served(dir_, {"--listen", "127.0.0.1:0", "--token-file", (dir_ / "token").string()});
  EXPECT_EQ(served.url(), "http://127.0.0.1:" + std::to_string(served.port()) +
                              "/?token=0123456789abcdef-secret");
  auto client = served.Client();
  const std::string host = "127.0.0.1:" + std::to_string(served.port());
  const Headers token{{"X-Tavelo-Token", "0123456789abcdef-secret"}};
  struct Case {
    const char *what;
    std::string method, path;
    Headers headers;
    std::string body;
    int status;
  };
  const std::string big_json = R"({"paths":[")" + std::string(70000, 'A') + "\"]}";
  const std::vector<Case> cases{
      {"no token", "GET", "/api/status", {}, "", 401},
      {"wrong token", "GET", "/api/status?token=0123456789abcdef-secreT", {}, "", 401},
      {"token in the query", "GET", "/api/status?token=0123456789abcdef-secret", {}, "", 200},
      {"token header", "GET", "/api/status", token, "", 200},
      {"the page itself needs none", "GET", "/", {}, "", 200},
      {"POST without the token header",
       "POST",
       "/api/capture?token=0123456789abcdef-secret",
       {},
       "{}",
       401},
      {"POST from another site", "POST", "/api/capture",
       Headers{{"X-Tavelo-Token", "0123456789abcdef-secret"}, {"Origin", "http://evil.example"}},
       "{}", 403},
      {"POST that the browser marks cross-site", "POST", "/api/delete",
       Headers{{"X-Tavelo-Token", "0123456789abcdef-secret"}, {"Sec-Fetch-Site", "cross-site"}},
       R"({"paths":["2:WELCOME.JPG"]})", 403},
      {"POST to a page file", "POST", "/", token, "{}", 405},
      {"another method", "DELETE", "/api/status", token, "", 405},
      {"malformed JSON", "POST", "/api/param", token, "{\"tag\":", 400},
      {"JSON that is not an object", "POST", "/api/param", token, "[1,2]", 400},
      {"JSON body too large", "POST", "/api/delete", token, big_json, 400},
      {"upload too large", "POST", "/api/upload?dir=2:&name=BIG.BIN", token,
       std::string((32U << 20) + 1, 'x'), 413},
      {"a host path", "GET", "/../../../etc/passwd", token, "", 404},
      {"a host path as a camera path", "GET", "/api/file?path=../../etc/passwd", token, "", 400},
      {"unknown API", "GET", "/api/nothing", token, "", 404},
      {"a camera that is not there", "GET", "/api/status?camera=5", token, "", 503},
      {"a camera index that is not a number", "GET", "/api/status?camera=x", token, "", 400},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    httplib::Request request;
    request.method = c.method;
    request.path = c.path;
    request.headers = c.headers;
    request.body = c.body;
    if (!c.body.empty()) {
      request.set_header("Content-Type", "application/json");
    }
    const auto result = client.send(request);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status) << result->body;
    ExpectNoHostPath(result);
  }
  EXPECT_TRUE(fs::exists(dir_ / "store/2/WELCOME.JPG"));
  EXPECT_FALSE(fs::exists(dir_ / "store/2/BIG.BIN"));
  // A long request line is refused by the HTTP layer.
  const auto result = client.Get(("/api/status?x=" + std::string(9000, 'a')).c_str(), token);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 414);
}

TEST_F(ServeTest, WithoutTokenOnlyThisMachineAnswers) {
  const Served served(dir_, {"--listen", "127.0.0.1:0"});
  auto client = served.Client();
  const std::string port = std::to_string(served.port());
  // A name that some site resolves to this machine is not served.
  EXPECT_EQ(client.Get("/api/status", {{"Host", "evil.example:" + port}})->status, 403);
  EXPECT_EQ(client.Get("/api/status", {{"Host", "localhost:" + port}})->status, 200);
  // Changes still need the page's own header and origin.
  EXPECT_EQ(client.Post("/api/capture", "{}", "application/json")->status, 403);
  EXPECT_EQ(client
                .Post("/api/capture", {{"X-Tavelo-Token", "-"}, {"Origin", "http://evil.example"}},
                      "{}", "application/json")
                ->status,
            403);
  EXPECT_EQ(client
                .Post("/api/capture",
                      {{"X-Tavelo-Token", "-"}, {"Origin", "http://127.0.0.1:" + port}}, "{}",
                      "application/json")
                ->status,
            200);
}

TEST_F(ServeTest, OtherAddressesGetARandomToken) {
  const Served served(dir_, {"--listen", "0.0.0.0:0"});
  const auto at = served.url().find("/?token=");
  ASSERT_NE(at, std::string::npos) << served.url();
  const std::string token = served.url().substr(at + 8);
  EXPECT_EQ(token.size(), 48U);
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
  auto client = served.Client();
  EXPECT_EQ(client.Get("/api/cameras")->status, 401);
  EXPECT_EQ(client.Get(("/api/cameras?token=" + token).c_str())->status, 200);
}

} // namespace

TEST_F(ServeTest, TheCameraGoesAwayAndComesBack) {
  // A camera at the far end of a TCP link, served by the camera daemon.
  auto daemon = std::make_unique<Child>(
      std::vector<std::string>{TAVELO_CAMD, (dir_ / "store").string(), "--listen", "127.0.0.1:0"});
  const std::string address = daemon->line().substr(daemon->line().find("127.0.0.1:"));
  const std::string where = address.substr(0, address.find_first_of(" \n"));
  setenv("TAVELO_NET_CAMERAS", where.c_str(), 1);
  setenv("TAVELO_COMPONENT_PATH", TAVELO_COMPONENTS, 1);
  const Served served(dir_, {"--listen", "127.0.0.1:0"}, false);
  unsetenv("TAVELO_NET_CAMERAS");
  auto client = served.Client();
  Stream stream(served);
  EXPECT_EQ(Get(client, "/api/status")["images"], 7);

  daemon.reset();
  const std::size_t away = stream.WaitFor(R"({"camera":0,"connected":false)");
  EXPECT_EQ(Get(client, "/api/status", 503)["error"], "no_camera");
  EXPECT_FALSE(Get(client, "/api/cameras")[0]["connected"]);

  daemon = std::make_unique<Child>(
      std::vector<std::string>{TAVELO_CAMD, (dir_ / "store").string(), "--listen", where});
  stream.WaitFor(R"({"camera":0,"connected":true)", away);
  EXPECT_EQ(Get(client, "/api/status")["images"], 7);
  EXPECT_TRUE(Get(client, "/api/cameras")[0]["connected"]);
}
