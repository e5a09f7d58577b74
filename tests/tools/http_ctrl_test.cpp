// The HTTP control server of the real tesmo_demo program, run as a child process on the bundled
// sample scene and reached with cpp-httplib's client over the loopback interface. The calibration
// scripts are the stand-ins in tests/tools/scripts.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <httplib.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "generator/utils.h"
#include "tests/process.h"
#include "tests/source_path.h"
#include "tests/tools/demo_run.h"

namespace tesmo {
namespace {

namespace fs = boost::filesystem;
using std::chrono::milliseconds;
using testing_util::freePort;
using testing_util::linkSamples;
using testing_util::Process;
using testing_util::readFile;
using testing_util::sourcePath;
using testing_util::TempDir;
using testing_util::waitFor;

// A TCP socket and the address 127.0.0.1:port.
int loopbackSocket(int port, sockaddr_in* addr) {
  *addr = sockaddr_in{};
  addr->sin_family = AF_INET;
  addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr->sin_port = htons(static_cast<uint16_t>(port));
  return socket(AF_INET, SOCK_STREAM, 0);
}

// Parts of an MJPEG stream: each "--MJP\r\nContent-Type: image/jpeg\r\nContent-Length: N\r\n\r\n"
// and N bytes of JPEG, the next boundary right after them.
class MjpegParser {
 public:
  // `bDecode` false: the parts are only counted.
  explicit MjpegParser(bool bDecode = true) : bDecode_(bDecode) {}

  // Appends bytes; false once the stream broke the framing.
  bool add(const char* data, size_t len) {
    buf_.append(data, len);
    const std::string head = "--MJP\r\nContent-Type: image/jpeg\r\nContent-Length: ";
    while (true) {
      if (buf_.size() < head.size()) return buf_.compare(0, buf_.size(), head, 0, buf_.size()) == 0;
      if (buf_.compare(0, head.size(), head) != 0) return false;
      const size_t end = buf_.find("\r\n\r\n", head.size());
      if (end == std::string::npos) return buf_.size() < head.size() + 32;
      const size_t n = std::stoul(buf_.substr(head.size(), end - head.size()));
      if (buf_.size() < end + 4 + n) return true;
      if (bDecode_) {
        const std::vector<uint8_t> jpeg(buf_.begin() + end + 4, buf_.begin() + end + 4 + n);
        frames.push_back(cv::imdecode(jpeg, cv::IMREAD_COLOR));
      }
      ++parts;
      buf_.erase(0, end + 4 + n);
    }
  }

  std::vector<cv::Mat> frames;
  std::atomic<size_t> parts{0};

 private:
  bool bDecode_;
  std::string buf_;
};

// A plain socket connected to 127.0.0.1:port that has sent `request`; -1 when that failed.
// Reads on it time out after 10 s.
int sendRaw(int port, const std::string& request) {
  sockaddr_in addr;
  const int fd = loopbackSocket(port, &addr);
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(request.size())) {
    close(fd);
    return -1;
  }
  return fd;
}

// What `fd` receives up to the end of stream (or a failed read).
std::string readToEnd(int fd) {
  std::string answer;
  char buf[4096];
  ssize_t n = 0;
  while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) answer.append(buf, static_cast<size_t>(n));
  return answer;
}

// Whether the answer that `fd` receives first has the status `status` ("HTTP/1.1 NNN").
bool answeredWith(int fd, int status) {
  char head[12] = {};
  return recv(fd, head, sizeof(head), MSG_WAITALL) == 12 &&
         std::string(head, 12) == "HTTP/1.1 " + std::to_string(status);
}

// Sends `request` over a plain socket and returns the whole answer, up to the end of stream.
std::string rawAnswer(int port, const std::string& request) {
  const int fd = sendRaw(port, request);
  if (fd < 0) return std::string();
  const std::string answer = readToEnd(fd);
  close(fd);
  return answer;
}

// Reads `fd` up to the end of an answer's head: the head, its blank line left out; what came
// after it goes to *rest.
std::string readHead(int fd, std::string* rest) {
  std::string answer;
  char buf[4096];
  ssize_t n = 0;
  while (answer.find("\r\n\r\n") == std::string::npos &&
         (n = recv(fd, buf, sizeof(buf), 0)) > 0) {
    answer.append(buf, static_cast<size_t>(n));
  }
  const size_t end = answer.find("\r\n\r\n");
  *rest = end == std::string::npos ? std::string() : answer.substr(end + 4);
  return answer.substr(0, end == std::string::npos ? answer.size() : end + 2);
}

// Sends `request` over a plain socket and returns the head of the answer (enough for an endless
// MJPEG stream).
std::string rawHead(int port, const std::string& request) {
  const int fd = sendRaw(port, request);
  if (fd < 0) return std::string();
  std::string rest;
  const std::string head = readHead(fd, &rest);
  close(fd);
  return head;
}

// The value of the header `name` in the answer head `head`; empty when absent.
std::string headerValue(const std::string& head, const std::string& name) {
  const size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return std::string();
  const size_t begin = at + name.size() + 4;
  return head.substr(begin, head.find("\r\n", begin) - begin);
}

// Sends a POST without a "Content-Type" header over a plain socket (the library's client always
// adds one) and returns the whole answer.
std::string postWithoutContentType(int port, const std::string& route, const std::string& body) {
  return rawAnswer(port, "POST " + route + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                             "Connection: close\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body);
}

// `size` blanks compressed by the library's own gzip or brotli encoder.
std::string compressed(httplib::detail::compressor&& codec, size_t size) {
  const std::string blanks(size, ' ');
  std::string out;
  codec.compress(blanks.data(), blanks.size(), /*last=*/true, [&](const char* data, size_t len) {
    out.append(data, len);
    return true;
  });
  return out;
}

std::string repeat(const std::string& text, int times) {
  std::string out;
  while (times-- > 0) out += text;
  return out;
}

// The status codes of the answers in `answer`, in order ("HTTP/1.1 NNN" wherever it stands; the
// bodies of the answers read here never hold it).
std::vector<int> statuses(const std::string& answer) {
  std::vector<int> codes;
  for (size_t at = answer.find("HTTP/1.1 "); at != std::string::npos;
       at = answer.find("HTTP/1.1 ", at + 1)) {
    codes.push_back(std::atoi(answer.c_str() + at + 9));
  }
  return codes;
}

// A parsed JSON answer.
cv::FileStorage parseJson(const std::string& text) {
  return cv::FileStorage(text, cv::FileStorage::READ | cv::FileStorage::MEMORY |
                                   cv::FileStorage::FORMAT_JSON);
}

class HTTPCtrlTest : public testing::Test {
 protected:
  void SetUp() override {
    linkSamples(dir);
    for (const char* script : {"I_calibrate.py", "R_calibrate.py"}) {
      fs::copy_file(sourcePath("tests/tools/scripts/") + script, dir / script);
    }
    port = freePort();
    ASSERT_GT(port, 0);
  }
  void TearDown() override { demo.reset(); }

  std::string path(const std::string& name) const { return dir / name; }

  // Its blank must reach the calibration scripts inside one argument.
  static constexpr const char* kConfig = "my cfg.yml";

  // The sample configuration with snapshots in out/snap, the HTTP server on `port` and `extra`
  // appended; started from the test directory and waited for until it answers.
  void startDemo(const std::string& extra = "", bool bWaitForServer = true) {
    std::string text = readFile(sourcePath("samples/synthetic/config.yml"));
    const std::string key = "tesmo_app:\n";
    ASSERT_NE(text.find(key), std::string::npos);
    text.insert(text.find(key) + key.size(), "   temp_dir: \"out/snap\"\n");
    if (bExtrinsicsDocument) moveExtrinsicsToDocument(&text);
    text += "http_server:\n   address: \"127.0.0.1\"\n   port: " + std::to_string(port) +
            "\n   mjpeg_max_width: 480\n   calib_script: R_calibrate.py\n" + extra;
    std::ofstream(path(kConfig)) << text;
    demo = testing_util::startDemo(dir, {"--config=" + path(kConfig)});
    if (!bWaitForServer) return;
    const bool bUp = waitFor(
        [&] {
          if (demo->poll()) return true;
          auto res = client().Post("/get_app", "", "application/json");
          return res && res->status == 200;
        },
        milliseconds(60000));
    ASSERT_TRUE(bUp);
    ASSERT_FALSE(demo->poll()) << "ended early:\n" << demo->out() << demo->err();
  }

  // The sample's extrinsics, written by the library's writer into the document "ext.yml" of the
  // test directory, which the configuration `text` then names instead.
  void moveExtrinsicsToDocument(std::string* text) {
    std::vector<Camera> cameras;
    readCameras(sourcePath("samples/synthetic/config.yml"), /*ReadExtrinsics=*/true, cameras);
    cv::FileStorage out(path("ext.yml"), cv::FileStorage::WRITE);
    writeExtrinsics(out, cameras);
    out.release();
    const size_t from = text->find("extrinsics:\n");
    ASSERT_NE(from, std::string::npos);
    text->replace(from, text->find("tesmo_gen:") - from, "extrinsics: \"ext.yml\"\n");
  }

  httplib::Client client() const {
    httplib::Client c("127.0.0.1", port);
    c.set_connection_timeout(5, 0);
    c.set_read_timeout(60, 0);
    return c;
  }

  httplib::Result post(const std::string& route, const std::string& body,
                       const std::string& contentType = "application/json") {
    return client().Post(route.c_str(), body, contentType.c_str());
  }

  // Reads `count` frames of a view's MJPEG stream; `contentType` receives the answer's type.
  std::vector<cv::Mat> mjpegFrames(const std::string& view, size_t count,
                                   std::string* contentType = nullptr) {
    MjpegParser parser;
    bool bFramed = true;
    client().Get(
        ("/" + view).c_str(),
        [&](const httplib::Response& res) {
          if (contentType != nullptr) *contentType = res.get_header_value("Content-Type");
          return true;
        },
        [&](const char* data, size_t len) {
          bFramed = parser.add(data, len);
          return bFramed && parser.frames.size() < count;
        });
    EXPECT_TRUE(bFramed);
    return parser.frames;
  }

  int lines(const std::string& name) const {
    std::ifstream in(path(name));
    int n = 0;
    std::string line;
    while (std::getline(in, line)) ++n;
    return n;
  }

  // "enabled" of "/get_app"'s "linear_regress", or -1.
  int correctionEnabled() {
    auto res = post("/get_app", "");
    if (!res || res->status != 200) return -1;
    return static_cast<int>(parseJson(res->body)["app"]["linear_regress"]["enabled"]);
  }

  cv::Matx33f cameraR(const std::string& name) {
    auto res = post("/get_cameras", "");
    EXPECT_TRUE(res && res->status == 200);
    cv::FileStorage json = parseJson(res ? res->body : "{}");
    for (const cv::FileNode& camera : json["cameras"]) {
      if (camera["name"].string() == name) {
        cv::Mat r;
        camera["R"] >> r;
        return cv::Matx33f(r);
      }
    }
    ADD_FAILURE() << "no camera " << name;
    return cv::Matx33f::zeros();
  }

  const TempDir dir{"tesmo-http"};
  int port = -1;
  // startDemo moves the extrinsics to a document of their own (moveExtrinsicsToDocument).
  bool bExtrinsicsDocument = false;
  std::unique_ptr<Process> demo;
};

TEST_F(HTTPCtrlTest, StreamsViewsAndAnswersReadOnlyRoutes) {
  startDemo();
  // Frames wider than mjpeg_max_width (480) are scaled down to it.
  std::string type;
  const auto top = mjpegFrames("top_view", 2, &type);
  EXPECT_EQ(type, "multipart/x-mixed-replace;boundary=MJP");
  ASSERT_EQ(top.size(), 2u);
  EXPECT_EQ(top[1].size(), cv::Size(480, 617));
  const auto virt = mjpegFrames("virtual_camera", 1);
  ASSERT_EQ(virt.size(), 1u);
  EXPECT_EQ(virt[0].size(), cv::Size(480, 320));

  auto streams = post("/get_streams", "");
  ASSERT_TRUE(streams);
  EXPECT_EQ(streams->status, 200);
  EXPECT_EQ(streams->get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(streams->get_header_value("Access-Control-Allow-Origin"), "*");
  cv::FileStorage json = parseJson(streams->body);
  ASSERT_EQ(json["streams"].size(), 2u);
  EXPECT_EQ(json["streams"][0]["name"].string(), "top_view");
  EXPECT_EQ(json["streams"][0]["mode"].string(), "top_view");
  EXPECT_EQ(static_cast<int>(json["streams"][0]["view_size"][1]), 900);
  EXPECT_EQ(json["streams"][1]["name"].string(), "virtual_camera");
  EXPECT_NEAR(static_cast<double>(json["streams"][1]["virtual_camera"]["fov"]), 76.0, 1e-3);

  auto cameras = post("/get_cameras", "");
  ASSERT_TRUE(cameras);
  json = parseJson(cameras->body);
  std::vector<std::string> names;
  for (const cv::FileNode& camera : json["cameras"]) {
    names.push_back(camera["name"].string());
    EXPECT_EQ(static_cast<int>(camera["frame_size"][0]), 960);
    EXPECT_EQ(static_cast<int>(camera["frame_size"][1]), 640);
    EXPECT_EQ(camera["T"].size(), 3u);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"back", "front", "left", "right"}));
  EXPECT_NEAR(cameraR("back")(0, 0), -0.999848008f, 1e-6);

  auto app = post("/get_app", "");
  ASSERT_TRUE(app);
  json = parseJson(app->body);
  EXPECT_EQ(static_cast<int>(json["app"]["draw_info"]), 1);
  EXPECT_EQ(static_cast<int>(json["app"]["linear_regress"]["enabled"]), 0);

  auto missing = client().Get("/no_such_view");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
}

TEST_F(HTTPCtrlTest, ConfigureChangesViewAndRefusesBadRequests) {
  startDemo();
  auto res = post("/configure",
                  R"({"name": "top_view", "num_bands_blend": 2, "view_size": [320, 400]})");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200) << res->body;
  EXPECT_EQ(res->body, "");
  // The new size reaches the stream (narrower than 480: not scaled).
  bool bResized = waitFor(
      [&] {
        const auto frames = mjpegFrames("top_view", 1);
        return !frames.empty() && frames[0].size() == cv::Size(320, 400);
      },
      milliseconds(20000));
  EXPECT_TRUE(bResized);
  // The user-settings file holds every view, the changed one with its new values only.
  cv::FileStorage user(path("out/GenUserSettings.yml"), cv::FileStorage::READ);
  ASSERT_TRUE(user.isOpened());
  const cv::FileNode gen = user["tesmo_gen"];
  ASSERT_EQ(gen.size(), 2u);
  EXPECT_EQ(gen[0]["name"].string(), "top_view");
  EXPECT_EQ(static_cast<int>(gen[0]["num_bands_blend"]), 2);
  EXPECT_EQ(static_cast<int>(gen[0]["view_size"][0]), 320);
  EXPECT_EQ(gen[1]["name"].string(), "virtual_camera");
  EXPECT_EQ(static_cast<int>(gen[1]["view_size"][0]), 960);
  // The sample composes on the CPU: the view prepared on the server's thread opened no OpenCL
  // device (PoCL here) either.
  const std::string maps = readFile("/proc/" + std::to_string(demo->pid()) + "/maps");
  EXPECT_EQ(maps.find("libpocl"), std::string::npos);

  const cv::Matx33f right0 = cameraR("right");
  struct Case {
    std::string route, body, message;
    int status = 400;
    std::string contentType = "application/json";
  };
  const std::string xmlBomb = "<?xml version=\"1.0\"?>\n<opencv_storage>" +
                              repeat("<a>", 30000) + repeat("</a>", 30000) + "</opencv_storage>";
  const std::string yamlBomb = "%YAML:1.0\n" + repeat("- ", 50000) + "1\n";
  const std::string oversize = "{\"name\": \"" + std::string(2 << 20, 'a') + "\"}";
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string unparsed = "Can't deserialize JSON request'";
  const std::string top = "{\"name\": \"top_view\", ";
  const std::vector<Case> cases = {
      {"/configure", "{}", "Requsr must be 'application/json'", 400,
       "application/json; charset=utf-8"},
      {"/linear_regress", "{\"enabled\": ", unparsed},
      {"/configure", "", unparsed},
      {"/configure", "{\"a\": " + std::string(20000, '['), unparsed},
      {"/configure", "{\"num_bands_blend\": 1}", "\"name\" didn't specify"},
      {"/configure", "{\"name\": 7}", "\"name\" didn't specify"},
      {"/configure", "{\"name\": \"nope\"}", "Can'r find stream \"nope\""},
      {"/configure", top + "\"mode\": \"fisheye\"}", "Camera mode \"fisheye\" don't support"},
      {"/configure", top + "\"view_size\": [100000, 100000]}",
       "Bad parameters: Key \"view_size\" must be each side 1..8192"},
      {"/add_camera_rotation", "{\"name\": \"zz\"}", "Can'r find camera \"zz\""},
      {"/calibrate", "{\"pair\": [\"back\", \"front\", \"left\"]}", "Except two cameras"},
      // Bodies that OpenCV would not parse as JSON, or not within bounds.
      {"/configure", xmlBomb, unparsed},
      {"/linear_regress", yamlBomb, unparsed},
      {"/configure", oversize, "Request over 1048576 bytes", 413},
      // Numbers out of range or beyond an int change nothing.
      {"/add_camera_rotation", "{\"name\": \"right\", \"d_yaw\": 1e300}",
       "Bad parameters: Key \"d_yaw\""},
      {"/configure", top + "\"view_size\": [4294967396, 400]}",
       "Bad parameters: the number 4294967396 does not fit"},
      {"/linear_regress", "{\"enabled\": 1e400}", "Bad parameters: the number 1e400 does not fit"},
      // Nesting and numbers hidden from a scan for strings: OpenCV takes no escape in a key and
      // skips comments.
      {"/linear_regress", "{\"a\\\": " + deep + "}", unparsed},
      {"/linear_regress", "{/*\"*/\"a\": " + deep + "}", unparsed},
      {"/configure", top + "\"virtual_camera\": {\"a\\\": 0, \"fov\": 1e999}}",
       "Bad parameters: the number 1e999 does not fit"},
      {"/configure", top + "\"a\\\": 0, \"view_size\": [4294967616, 400]}",
       "Bad parameters: the number 4294967616 does not fit"},
      // Finite as a double, infinite as the float it is kept in.
      {"/configure", top + "\"top_view\": {\"roi\": [-3.5, 4.5, 3.5, -1e39]}}",
       "Bad parameters: Key \"roi\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.route + " " + c.body.substr(0, 60) + " " + c.contentType);
    auto bad = post(c.route, c.body, c.contentType);
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, c.status);
    EXPECT_EQ(bad->body.rfind(c.message, 0), 0u) << bad->body;
    EXPECT_EQ(bad->get_header_value("Content-Type"), "text/plain");
    if (c.status == 400) {
      EXPECT_EQ(bad->get_header_value("Access-Control-Allow-Origin"), "*");
    }
  }
  // A body over the limit without a length (chunked) is cut off at the limit.
  size_t chunks = 0;
  auto chunked = client().Post(
      "/configure",
      [&](size_t, httplib::DataSink& sink) {
        const std::string chunk(64 << 10, ' ');
        if (chunks++ == 40) sink.done();
        return chunks > 40 || sink.write(chunk.data(), chunk.size());
      },
      "application/json");
  ASSERT_TRUE(chunked);
  EXPECT_EQ(chunked->status, 413);
  EXPECT_LT(cv::norm(cameraR("right") - right0), 1e-9);
  const std::string noType = postWithoutContentType(port, "/configure", "{}");
  EXPECT_EQ(noType.rfind("HTTP/1.1 400", 0), 0u) << noType;
  EXPECT_NE(noType.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos) << noType;
  EXPECT_EQ(noType.substr(noType.size() - 14), "\r\n\r\nBad format") << noType;
  // Nothing was run for the refused calibration, and the program goes on.
  EXPECT_FALSE(fs::exists(dir / "R_calibrate.log"));
  EXPECT_FALSE(demo->poll()) << demo->err();
  auto streams = post("/get_streams", "");
  ASSERT_TRUE(streams);
  EXPECT_EQ(static_cast<int>(parseJson(streams->body)["streams"][0]["view_size"][0]), 320);
}

TEST_F(HTTPCtrlTest, CalibrationRoutesRunScriptsAndTurnCameras) {
  startDemo();
  // Correction on without a configured section: default script and file names, interval 0.
  auto on = post("/linear_regress", R"({"enabled": "on"})");
  ASSERT_TRUE(on);
  EXPECT_EQ(on->status, 200);
  EXPECT_EQ(correctionEnabled(), 1);
  ASSERT_TRUE(waitFor([&] { return lines("I_calibrate.log") >= 2; }, milliseconds(30000)));
  EXPECT_TRUE(fs::exists(dir / "linear_regress.yml"));

  // Calibration with a pair: the correction pauses meanwhile and comes back on afterwards.
  auto calib = post("/calibrate", R"({"reset": true, "pair": ["front", "left; touch pwned"]})");
  ASSERT_TRUE(calib);
  EXPECT_EQ(calib->status, 200) << calib->body;
  EXPECT_EQ(readFile(path("R_calibrate.log")),
            path(kConfig) + "\n-r\n--cams=front,left; touch pwned\n\n");
  EXPECT_FALSE(fs::exists(dir / "pwned"));
  EXPECT_EQ(correctionEnabled(), 1);

  // Off: once answered, no run follows.
  auto off = post("/linear_regress", "{}");
  ASSERT_TRUE(off);
  EXPECT_EQ(off->status, 200);
  const int runs = lines("I_calibrate.log");
  EXPECT_EQ(correctionEnabled(), 0);
  EXPECT_EQ(lines("I_calibrate.log"), runs);
  // Nothing rewrites the snapshots now.
  for (const char* name : {"back", "front", "left", "right"}) {
    const cv::Mat shot = cv::imread(path(std::string("out/snap/") + name + ".png"));
    EXPECT_EQ(shot.size(), cv::Size(960, 640)) << name;
  }

  // A failing script: cameras read back, 400.
  std::ofstream(path("R_calibrate.exit")) << "1\n";
  calib = post("/calibrate", "{}");
  ASSERT_TRUE(calib);
  EXPECT_EQ(calib->status, 400);
  EXPECT_EQ(calib->body, "Can't can't calibrate");

  // Turning "left" turns it and every camera after it in name order, not those before it.
  const cv::Matx33f front0 = cameraR("front");
  const cv::Matx33f left0 = cameraR("left");
  const cv::Matx33f right0 = cameraR("right");
  auto turn = post("/add_camera_rotation", R"({"name": "left", "d_yaw": 90})");
  ASSERT_TRUE(turn);
  EXPECT_EQ(turn->status, 200) << turn->body;
  cv::Matx33f rRod;
  cv::Rodrigues(cv::Vec3f(0.f, static_cast<float>(CV_PI / 2), 0.f), rRod);
  EXPECT_LT(cv::norm(cameraR("front") - front0), 1e-6);
  EXPECT_LT(cv::norm(cameraR("left") - rRod * left0), 1e-5);
  EXPECT_LT(cv::norm(cameraR("right") - right0 * (left0.t() * rRod * left0)), 1e-4);
  EXPECT_GT(cv::norm(cameraR("right") - right0), 0.1);

  const std::string out = demo->out();
  EXPECT_NE(out.find("Runing: python3 'R_calibrate.py' '" + path(kConfig) + "' -r --cams="),
            std::string::npos) << out;
  EXPECT_NE(out.find("R_calibrate.py exit code: 0\n"), std::string::npos);
  EXPECT_NE(out.find("R_calibrate.py exit code: 1\n"), std::string::npos);
  EXPECT_NE(out.find("I_calibrate.py exit code: 0\n"), std::string::npos);
  EXPECT_NE(out.find("I_calibrate: run 1 \xff\n"), std::string::npos);
  // The sample's extrinsics are inline: the turn lives in memory only.
  EXPECT_NE(out.find("Can't save extrinsics\n"), std::string::npos);
  EXPECT_FALSE(demo->poll()) << demo->err();
}

// Cameras that the library's checks refuse after a calibration run, here a pose of the
// extrinsics document that no view can use, are answered 400 with the reason; the application
// keeps the cameras it had.
TEST_F(HTTPCtrlTest, CalibrationWhoseCamerasAreRefusedKeepsThem) {
  bExtrinsicsDocument = true;
  startDemo();
  const cv::Matx33f back0 = cameraR("back");
  std::string text = readFile(path("ext.yml"));
  const size_t from = text.find("T: [");
  ASSERT_NE(from, std::string::npos);
  text.replace(from, text.find(']', from) + 1 - from, "T: [ 1., 2. ]");
  std::ofstream(path("ext.yml")) << text;

  auto calib = post("/calibrate", "{}");
  ASSERT_TRUE(calib);
  EXPECT_EQ(calib->status, 400);
  EXPECT_EQ(calib->body,
            "Can't read cameras after calibration: Key \"T\" in \"extrinsics/back\" must be 3 "
            "finite numbers of magnitude at most 1e+09, got [1, 2]");
  EXPECT_LT(cv::norm(cameraR("back") - back0), 1e-9);
  EXPECT_FALSE(demo->poll()) << demo->err();
}

// 32 MJPEG viewers hold workers and 16 clients that send a header byte every half second
// (reconnecting when cut off) wait beside the running correction timer: the API still answers, a
// 33rd viewer gets 503, and SIGINT ends the program promptly.
TEST_F(HTTPCtrlTest, SigintWithOpenStreamsSlowClientsAndRunningTimerExitsPromptly) {
  startDemo("linear_regress:\n   interval: 0\n");
  std::atomic<int> watching{0};  // viewers that receive the stream
  std::atomic<int> slowRounds{0};
  std::atomic<bool> bStop{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < 32; ++i) {
    clients.emplace_back([&] {
      int chunks = 0;
      client().Get(
          "/top_view", [](const httplib::Response& res) { return res.status == 200; },
          [&](const char*, size_t) {
            if (chunks++ == 0) ++watching;
            return true;
          });
    });
  }
  const bool bStreaming = waitFor([&] { return watching == 32; }, milliseconds(60000));
  EXPECT_TRUE(waitFor([&] { return lines("I_calibrate.log") >= 1; }, milliseconds(30000)));
  // Started last, so that at SIGINT the slow requests have most of their time left.
  for (int i = 0; i < 16; ++i) {
    clients.emplace_back([&] {
      int fd = -1;
      while (!bStop) {
        if (fd < 0 || send(fd, "a", 1, MSG_NOSIGNAL) != 1) {  // cut off: connect again
          if (fd >= 0) close(fd);
          fd = sendRaw(port, "POST /get_app HTTP/1.1\r\nX-Slow: ");
        }
        ++slowRounds;
        std::this_thread::sleep_for(milliseconds(500));
      }
      if (fd >= 0) close(fd);
    });
  }
  const bool bSlow = waitFor([&] { return slowRounds >= 16; }, milliseconds(10000));
  auto app = post("/get_app", "");
  const int extraFd = sendRaw(port, "GET /top_view HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  const bool bRefused = extraFd >= 0 && answeredWith(extraFd, 503);
  if (extraFd >= 0) close(extraFd);
  const auto start = std::chrono::steady_clock::now();
  demo->signal(SIGINT);
  const bool bEnded = demo->wait(milliseconds(15000));
  const auto took = std::chrono::steady_clock::now() - start;
  if (!bEnded) demo->signal(SIGKILL);  // so that the viewers end
  bStop = true;
  for (auto& c : clients) c.join();
  ASSERT_TRUE(bStreaming) << watching << " viewers";
  EXPECT_TRUE(bSlow);
  ASSERT_TRUE(app);
  EXPECT_EQ(app->status, 200);
  EXPECT_TRUE(bRefused);
  ASSERT_TRUE(bEnded) << "no exit after SIGINT";
  // The correction run in progress is waited for: on a loaded machine, its script's start alone
  // takes seconds.
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_TRUE(demo->exitedNormally()) << "signal " << demo->termSignal();
  EXPECT_EQ(demo->exitCode(), 0) << demo->err();
  const std::string out = demo->out();
  const auto table = out.find("#CALLS");
  const auto stopped = out.find("HTTP server is stoped\n");
  ASSERT_NE(table, std::string::npos) << out;
  ASSERT_NE(stopped, std::string::npos) << out;
  EXPECT_LT(table, stopped);
}

// Requests that would make the server hold far more than they send: compressed bodies that
// inflate past the body limit, overlapping ranges of a file, connections that send nothing, and a
// "/configure" whose settings cannot be saved. Each gets a bounded answer and the server goes on.
TEST_F(HTTPCtrlTest, AbusiveRequestsGetBoundedAnswers) {
  const size_t fileBytes = 1 << 20;
  fs::create_directories(dir / "www");
  std::ofstream(path("www/file.bin")) << std::string(fileBytes, 'f');
  // The settings' temporary file cannot be made, whoever runs the test.
  fs::create_directories(dir / "out/GenUserSettings.yml.tmp");
  startDemo();

  struct Case {
    std::string name, request, statusLine;
    size_t maxBytes;  // of the whole answer
  };
  const auto rawPost = [](const std::string& route, const std::string& headers,
                          const std::string& body) {
    return "POST " + route + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n" +
           headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const std::string gzip = compressed(httplib::detail::gzip_compressor(), 4 << 20);
  const std::string brotli = compressed(httplib::detail::brotli_compressor(), 4 << 20);
  const std::string get = "GET /file.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  const std::vector<Case> cases = {
      {"gzip", rawPost("/configure", "Content-Encoding: gzip\r\n", gzip), "HTTP/1.1 415", 1024},
      {"brotli", rawPost("/get_app", "Content-Encoding: br\r\n", brotli), "HTTP/1.1 415", 1024},
      {"second encoding",
       rawPost("/get_app", "Content-Encoding: Identity \r\nContent-Encoding: x-br\r\n", brotli),
       "HTTP/1.1 415", 1024},
      {"500 ranges", get + "Range: bytes=0-" + repeat(",0-", 499) + "\r\n\r\n", "HTTP/1.1 200",
       fileBytes + 1024},
      {"one range", get + "Range: bytes=10-19\r\n\r\n", "HTTP/1.1 206", 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string answer = rawAnswer(port, c.request);
    EXPECT_EQ(answer.rfind(c.statusLine, 0), 0u) << answer.substr(0, 200);
    // Told once that the connection ends.
    const std::string head = answer.substr(0, answer.find("\r\n\r\n") + 2);
    const size_t closing = head.find("\r\nConnection: close\r\n");
    EXPECT_TRUE(closing != std::string::npos && closing == head.rfind("\r\nConnection: close\r\n"))
        << head;
    EXPECT_LE(answer.size(), c.maxBytes);
  }

  // Idle connections opened as fast as four threads can while a client asks: it is answered at
  // once, and the server keeps its descriptors bounded.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  const int idle = static_cast<int>(std::min<rlim_t>(2500, limit.rlim_cur - 256));
  std::atomic<int> opened{0};
  std::vector<std::vector<int>> held(4);
  std::vector<std::thread> flood;
  for (auto& fds : held) {
    flood.emplace_back([&] {
      while (opened++ < idle) fds.push_back(sendRaw(port, ""));
    });
  }
  size_t maxFds = 0;
  const auto demoFds = [&] {
    const fs::path fdDir = "/proc/" + std::to_string(demo->pid()) + "/fd";
    maxFds = std::max<size_t>(maxFds, std::distance(fs::directory_iterator(fdDir), {}));
  };
  const bool bFlooding =
      waitFor([&] { return demoFds(), opened >= idle / 2; }, milliseconds(60000));
  const auto start = std::chrono::steady_clock::now();
  auto app = post("/get_app", "");
  const auto took = std::chrono::steady_clock::now() - start;
  for (auto& t : flood) t.join();
  demoFds();
  for (const auto& fds : held) {
    for (const int fd : fds) close(fd);
  }
  EXPECT_TRUE(bFlooding);
  ASSERT_TRUE(app);
  EXPECT_EQ(app->status, 200);
  EXPECT_LT(std::chrono::duration_cast<milliseconds>(took).count(), 10000);
  EXPECT_LT(maxFds, 512u);

  // The view runs with the new parameters, which only the file lacks.
  auto configure = post("/configure", R"({"name": "top_view", "num_bands_blend": 1})");
  ASSERT_TRUE(configure);
  EXPECT_EQ(configure->status, 400);
  const std::string notSaved = "Can't save user settings to \"out/GenUserSettings.yml\": ";
  EXPECT_EQ(configure->body.rfind(notSaved, 0), 0u) << configure->body;
  auto streams = post("/get_streams", "");
  ASSERT_TRUE(streams);
  EXPECT_EQ(static_cast<int>(parseJson(streams->body)["streams"][0]["num_bands_blend"]), 1);
  EXPECT_FALSE(demo->poll()) << demo->err();
}

// Clients that send their request head, or the body after it, one byte at a time hold no
// worker: a well-behaved request beside 100 of each is answered at once, and each slow one gets
// 408 once its bytes stop coming.
TEST_F(HTTPCtrlTest, SlowSendersHoldNoWorker) {
  startDemo();
  const std::string head = "POST /get_app HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  const std::vector<std::string> starts = {head + "X-Slow: ",
                                           head + "Content-Length: 100\r\n\r\n{"};
  std::vector<int> slow;
  for (const std::string& start : starts) {
    for (int i = 0; i < 100; ++i) slow.push_back(sendRaw(port, start));
  }
  ASSERT_EQ(std::count(slow.begin(), slow.end(), -1), 0);
  // One byte each every half second, as long as the timed request takes.
  std::atomic<bool> bStop{false};
  std::atomic<int> rounds{0};
  std::thread trickle([&] {
    while (!bStop) {
      for (const int fd : slow) send(fd, " ", 1, MSG_NOSIGNAL);
      ++rounds;
      std::this_thread::sleep_for(milliseconds(500));
    }
  });
  // The slow clients' bytes keep coming: each has sent a few.
  EXPECT_TRUE(waitFor([&] { return rounds >= 3; }, milliseconds(10000)));
  const auto start = std::chrono::steady_clock::now();
  auto app = post("/get_app", "");
  const auto took = std::chrono::steady_clock::now() - start;
  bStop = true;
  trickle.join();
  ASSERT_TRUE(app);
  EXPECT_EQ(app->status, 200);
  // A worker that waited for a slow client's bytes would take seconds (3 s or more).
  EXPECT_LT(std::chrono::duration_cast<milliseconds>(took).count(), 2000);
  int timedOut = 0;
  for (const int fd : slow) {
    timedOut += answeredWith(fd, 408);
    close(fd);
  }
  EXPECT_EQ(timedOut, static_cast<int>(slow.size()));
}

// A request's body is read before anything after it, conflicting framing is refused, and every
// refusal ends its connection: the bytes after it are never run as requests.
TEST_F(HTTPCtrlTest, FramingIsReadWholeAndRefusalsCloseTheConnection) {
  fs::create_directories(dir / "www");
  std::ofstream(path("www/small.txt")) << "small";
  startDemo();
  const std::string get = "GET /small.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  const std::string last = get + "Connection: close\r\n\r\n";
  const std::string post = "POST /get_app HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  const std::string smuggled = get + "\r\n";
  struct Case {
    std::string name, request;
    std::vector<int> statuses;
  };
  const std::vector<Case> cases = {
      {"body that reads as a request",
       get + "Content-Length: " + std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled + last,
       {200, 200}},
      {"same length twice", post + "Content-Length: 2\r\nContent-Length: 2\r\n\r\n{}" + last,
       {200, 200}},
      {"chunked", post + "Transfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n" + last,
       {200, 200}},
      {"lengths that differ", post + "Content-Length: 2\r\nContent-Length: 50\r\n\r\n{}" + last,
       {400}},
      {"length and chunked",
       post + "Content-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n" +
           last,
       {400}},
      {"escaped length", post + "Content-Length: %32\r\n\r\n{}" + last, {400}},
      {"folded header", post + "X-A: 1\r\n Content-Length: 2\r\n\r\n{}" + last, {400}},
      {"bad request line", "GARBAGE\r\n\r\n" + last, {400}},
      {"404", "GET /none HTTP/1.1\r\n\r\n" + last, {404}},
      {"20000 header lines",
       get + repeat("X-Filler: " + std::string(40, 'f') + "\r\n", 20000) + "\r\n", {431}},
      {"long request line", "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n" + last, {414}},
      {"unknown coding", post + "Transfer-Encoding: gzip, chunked\r\n\r\n" + last, {501}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string answer = rawAnswer(port, c.request);  // up to the end of the stream
    EXPECT_EQ(statuses(answer), c.statuses) << answer.substr(0, 300);
    if (c.statuses.back() >= 400) {
      EXPECT_NE(answer.find("\r\nConnection: close\r\n"), std::string::npos) << answer;
      EXPECT_EQ(answer.find("Keep-Alive"), std::string::npos) << answer;
    }
  }
  EXPECT_FALSE(demo->poll()) << demo->err();
}

// Only a static file honours a range, clipped to the file; the JSON routes and the MJPEG
// streams answer whole.
TEST_F(HTTPCtrlTest, RangesAreServedFromFilesOnly) {
  fs::create_directories(dir / "www");
  std::ofstream(path("www/file.txt")) << std::string(3893, 'f');
  startDemo();
  struct Case {
    std::string request, range, statusLine, contentRange;
    size_t bodyBytes;  // 0: not checked
  };
  const std::string file = "GET /file.txt HTTP/1.1\r\n";
  const std::string streams = "POST /get_streams HTTP/1.1\r\nContent-Length: 0\r\n";
  const std::vector<Case> cases = {
      {file, "bytes=3000-99999999999", "HTTP/1.1 206", "bytes 3000-3892/3893", 893},
      {file, "bytes=-100", "HTTP/1.1 206", "bytes 3793-3892/3893", 100},
      {file, "bytes=5000-6000", "HTTP/1.1 416", "bytes */3893", 0},
      {file, "bytes=-", "HTTP/1.1 200", "", 3893},
      {file, "bytes=9-2", "HTTP/1.1 200", "", 3893},
      {streams, "bytes=0-5", "HTTP/1.1 200", "", 0},
      {"GET /top_view HTTP/1.1\r\n", "bytes=0-5", "HTTP/1.1 200", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request + c.range);
    const std::string head =
        rawHead(port, c.request + "Range: " + c.range + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(head.rfind(c.statusLine, 0), 0u) << head;
    EXPECT_EQ(headerValue(head, "Content-Range"), c.contentRange);
    if (c.bodyBytes > 0) {
      EXPECT_EQ(headerValue(head, "Content-Length"), std::to_string(c.bodyBytes));
    }
  }
  // The JSON answer is whole: it parses.
  const std::string json =
      rawAnswer(port, streams + "Range: bytes=0-5\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(parseJson(json.substr(json.find("\r\n\r\n") + 4))["streams"].size(), 2u);
}

// Every viewer of a view gets every image that the view publishes while it is ready for one,
// not a share of them: over a window of at least 30 published images (the PNG files of the
// view's frame_sequence sink), each of four viewers receives at least half of them.
TEST_F(HTTPCtrlTest, EveryViewerOfAViewGetsItsImages) {
  startDemo();
  const auto published = [&] {
    return std::count_if(fs::directory_iterator(dir / "out"), fs::directory_iterator(),
                         [](const fs::directory_entry& entry) {
                           return entry.path().filename().string().rfind("top_view-", 0) == 0;
                         });
  };
  std::vector<std::unique_ptr<MjpegParser>> parsers;
  std::vector<int> fds;
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    parsers.push_back(std::make_unique<MjpegParser>(/*bDecode=*/false));
    fds.push_back(sendRaw(port, "GET /top_view HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    ASSERT_GE(fds.back(), 0);
    readers.emplace_back([fd = fds.back(), &parser = *parsers.back()] {
      std::string rest;
      readHead(fd, &rest);
      bool bFramed = parser.add(rest.data(), rest.size());
      char buf[65536];
      ssize_t n = 0;
      while (bFramed && (n = recv(fd, buf, sizeof(buf), 0)) > 0) {
        bFramed = parser.add(buf, static_cast<size_t>(n));
      }
    });
  }
  const auto counts = [&] {
    std::vector<size_t> parts;
    for (const auto& parser : parsers) parts.push_back(parser->parts);
    return parts;
  };
  const bool bWatching = waitFor(
      [&] {
        const auto parts = counts();
        return std::count(parts.begin(), parts.end(), 0u) == 0;
      },
      milliseconds(30000));
  const auto start = counts();
  const auto published0 = published();
  const bool bPublished = waitFor([&] { return published() >= published0 + 30; },
                                  milliseconds(60000));
  const auto end = counts();
  const auto window = published() - published0;
  for (const int fd : fds) ::shutdown(fd, SHUT_RDWR);
  for (auto& reader : readers) reader.join();
  for (const int fd : fds) close(fd);
  ASSERT_TRUE(bWatching);
  ASSERT_TRUE(bPublished);
  for (size_t i = 0; i < end.size(); ++i) {
    EXPECT_GE(2 * (end[i] - start[i]), static_cast<size_t>(window)) << "viewer " << i;
  }
}

// A path holding a NUL is refused, and so is an upload that will be refused, at once: without
// "100 Continue", which only a request that will be read gets, once.
TEST_F(HTTPCtrlTest, NulPathsAndDoomedUploadsAreRefusedAtOnce) {
  fs::create_directories(dir / "www");
  std::ofstream(path("www/index.html")) << "<html></html>";
  startDemo();
  const std::string expect =
      "POST /get_app HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\n";
  struct Case {
    std::string request;
    std::vector<int> statuses;
  };
  const std::vector<Case> cases = {
      {"GET /index.html%00.txt HTTP/1.1\r\n\r\n", {400}},
      {"GET /index.html%u0000.txt HTTP/1.1\r\n\r\n", {400}},
      {expect + "Content-Length: 20000000\r\n\r\n", {413}},
      {expect + "Content-Encoding: gzip\r\nContent-Length: 10\r\n\r\n", {415}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(statuses(rawAnswer(port, c.request)), c.statuses);
  }
  const int fd = sendRaw(port, expect + "Content-Type: application/json\r\nContent-Length: 2\r\n" +
                                   "Connection: close\r\n\r\n");
  ASSERT_GE(fd, 0);
  const std::string invitation = "HTTP/1.1 100 Continue\r\n\r\n";
  std::string invited(invitation.size(), '\0');
  EXPECT_EQ(recv(fd, &invited[0], invited.size(), MSG_WAITALL),
            static_cast<ssize_t>(invitation.size()));
  EXPECT_EQ(invited, invitation);
  send(fd, "{}", 2, MSG_NOSIGNAL);
  EXPECT_EQ(statuses(readToEnd(fd)), std::vector<int>{200});
  close(fd);
}

// 300 clients that connect at once and send their requests a little later, more than the server
// watches at a time: the rest wait in the listen backlog instead of being closed unanswered, and
// every one is answered.
TEST_F(HTTPCtrlTest, BurstOfClientsIsAnsweredInFull) {
  startDemo();
  std::vector<int> fds;
  for (int i = 0; i < 300; ++i) fds.push_back(sendRaw(port, ""));
  ASSERT_EQ(std::count(fds.begin(), fds.end(), -1), 0);
  // The clients' own pace: their requests follow 50 ms after their connects.
  std::this_thread::sleep_for(milliseconds(50));
  const std::string request = "POST /get_app HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                              "Content-Length: 0\r\nConnection: close\r\n\r\n";
  for (const int fd : fds) send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  int answered = 0;
  for (const int fd : fds) {
    answered += answeredWith(fd, 200);
    close(fd);
  }
  EXPECT_EQ(answered, 300);
}

TEST_F(HTTPCtrlTest, PortInUseLeavesProgramRunningWithoutServer) {
  // Hold the port with a listening socket of our own.
  sockaddr_in addr;
  const int fd = loopbackSocket(port, &addr);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  startDemo("", /*bWaitForServer=*/false);
  const bool bGaveUp = waitFor(
      [&] {
        return demo->poll() || demo->out().find("HTTP server is stoped\n") != std::string::npos;
      },
      milliseconds(60000));
  ASSERT_TRUE(bGaveUp);
  ASSERT_TRUE(waitFor([&] { return demo->poll() || fs::exists(dir / "out/top_view-0000003.png"); },
                      milliseconds(60000)));
  EXPECT_FALSE(demo->poll()) << demo->err();
  demo->signal(SIGINT);
  ASSERT_TRUE(demo->wait(milliseconds(15000)));
  EXPECT_EQ(demo->exitCode(), 0) << demo->err();
  close(fd);
}

}  // namespace
}  // namespace tesmo
