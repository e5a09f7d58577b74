#include "tools/private/http_ctrl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <sstream>
#include <utility>

#include <boost/filesystem/operations.hpp>
#include <glog/logging.h>
#include <httplib.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "common/misc.h"
#include "generator/utils.h"
#include "streamer/img_codecs.h"
#include "tools/private/tesmo_tools.h"

namespace tesmo {
namespace {

// Deepest nesting of JSON arrays and objects that a request may hold. OpenCV's JSON parser
// recurses per level and overflows the stack on a few thousand; requests need three.
constexpr int kMaxJsonDepth = 32;

// Nesting depth of brackets and braces in `text`, outside strings.
int jsonDepth(const std::string& text) {
  int depth = 0, deepest = 0;
  bool bInString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (bInString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        bInString = false;
      }
    } else if (c == '"') {
      bInString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

// Pieces of `text` between `delimiter` characters, as successive std::getline calls give them.
[[maybe_unused]] std::vector<std::string> split(const std::string& text, char delimiter) {
  std::vector<std::string> pieces;
  std::istringstream in(text);
  std::string piece;
  while (std::getline(in, piece, delimiter)) pieces.push_back(piece);
  return pieces;
}

// The text of an in-memory JSON document filled by `write`.
std::string jsonOf(const std::function<void(cv::FileStorage&)>& write) {
  cv::FileStorage out("", cv::FileStorage::WRITE | cv::FileStorage::MEMORY |
                              cv::FileStorage::FORMAT_JSON);
  write(out);
  return out.releaseAndGetString();
}

void answerJson(httplib::Response& res, const std::string& json) {
  res.status = 200;
  res.set_content(json, "application/json");
}

// One word for the shell: 'text' with every ' written as '\''.
std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

bool isNumber(const cv::FileNode& node) { return node.isInt() || node.isReal(); }

bool canOpen(const std::string& path) {
  boost::system::error_code ec;
  if (!boost::filesystem::is_regular_file(path, ec)) return false;
  try {
    cv::FileStorage fs(path, cv::FileStorage::READ);
    return fs.isOpened();
  } catch (const cv::Exception&) {
    return false;
  }
}

// Reads the cameras of the open configuration again into `cameras` (which keeps the gains and
// offsets of cameras it already holds), as readCameras does, but reports what the library's
// reader would end the process for: missing or unparsable calibration documents.
bool rereadCameras(const cv::FileStorage& config, std::vector<Camera>& cameras, std::string* why) {
  const cv::FileNode intrinsics = config["intrinsics"];
  const cv::FileNode extrinsics = config["extrinsics"];
  if (!intrinsics.isMap()) {
    *why = "no \"intrinsics\" map";
    return false;
  }
  cv::FileStorage extFs;
  cv::FileNode extNode;
  if (extrinsics.isString()) {
    const std::string path = extrinsics.string();
    if (!canOpen(path)) {
      *why = "can't open \"" + path + "\"";
      return false;
    }
    extFs.open(path, cv::FileStorage::READ);
    extNode = extFs["extrinsics"];
    if (!extNode.isMap()) {
      *why = "\"" + path + "\" has no \"extrinsics\" map";
      return false;
    }
  } else if (extrinsics.isMap()) {
    extNode = extrinsics;
  } else {
    *why = "no \"extrinsics\" map";
    return false;
  }
  if (extNode.size() != intrinsics.size()) {
    *why = "mismatch intrinsics & extrinsics num";
    return false;
  }
  for (const cv::FileNode& entry : intrinsics) {
    if (entry.isString()) {
      if (!canOpen(entry.string())) {
        *why = "can't open \"" + entry.string() + "\"";
        return false;
      }
    } else if (!entry.isMap()) {
      *why = "no intrinsics for camera \"" + entry.name() + "\"";
      return false;
    }
  }
  std::vector<Camera> result = cameras;
  try {
    readCameras(intrinsics, extNode, result);
  } catch (const cv::Exception& e) {
    *why = e.what();
    return false;
  }
  if (result.size() != cameras.size()) {
    *why = "the number of cameras changed";
    return false;
  }
  cameras = std::move(result);
  return true;
}

// Switches the intensity correction off for its life and back on at its end if it was on.
class LinearRegressGuard {
 public:
  explicit LinearRegressGuard(std::shared_ptr<TesmoApp> app)
      : app_(std::move(app)), bWasEnabled_(app_->getLinearRegress().isEnabled()) {
    app_->disableLinearRegress();
  }
  ~LinearRegressGuard() {
    if (bWasEnabled_) app_->enableLinearRegress();
  }
  LinearRegressGuard(const LinearRegressGuard&) = delete;
  LinearRegressGuard& operator=(const LinearRegressGuard&) = delete;

 private:
  std::shared_ptr<TesmoApp> app_;
  bool bWasEnabled_;
};

}  // namespace

HTTPCtrl::HTTPCtrl(std::shared_ptr<TesmoApp> app, const cv::FileNode& node)
    : app(std::move(app)), server(std::make_shared<httplib::Server>()) {
  for (const auto& stream : this->app->tesmoStreams) {
    std::shared_ptr<TesmoStream> view = stream;
    server->Get("/" + view->getName(),
                [this, view](const httplib::Request&, httplib::Response& res) {
                  serveMjpeg(view, res);
                });
  }

  using Reader = void (HTTPCtrl::*)(httplib::Response&);
  using Changer = void (HTTPCtrl::*)(const httplib::Request&, httplib::Response&);
  const auto reader = [this](Reader route) {
    return [this, route](const httplib::Request&, httplib::Response& res) {
      res.set_header("Access-Control-Allow-Origin", "*");
      (this->*route)(res);
    };
  };
  const auto changer = [this](Changer route) {
    return [this, route](const httplib::Request& req, httplib::Response& res) {
      res.set_header("Access-Control-Allow-Origin", "*");
      (this->*route)(req, res);
    };
  };
  server->Post("/get_streams", reader(&HTTPCtrl::getStreams));
  server->Post("/get_cameras", reader(&HTTPCtrl::getCameras));
  server->Post("/configure", changer(&HTTPCtrl::configure));
  server->Post("/add_camera_rotation", changer(&HTTPCtrl::addCameraRotation));
  server->Post("/calibrate", changer(&HTTPCtrl::calibrate));
  server->Post("/linear_regress", changer(&HTTPCtrl::linearRegress));
  server->Post("/get_app", reader(&HTTPCtrl::getApp));

  cv::read(node["address"], addr, addr);
  cv::read(node["port"], port, port);
  cv::read(node["mjpeg_max_width"], mjpegMaxWidth, mjpegMaxWidth);
  cv::read(node["mount_point"], mountPoint, mountPoint);
  cv::read(node["calib_script"], calibScript, calibScript);

  server->set_mount_point("/", mountPoint);

  std::cout << "Starting HTTP server " << addr << ":" << port << "\n" << std::flush;
  thread = std::thread([this] {
    server->listen(addr, port, 0);
    std::cout << "HTTP server is stoped\n" << std::flush;
    bListenReturned = true;
  });
}

HTTPCtrl::~HTTPCtrl() {
  // `stop` has no effect before the server runs: wait until it runs or `listen` has given up.
  while (!server->is_running() && !bListenReturned) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  server->stop();
  if (thread.joinable()) thread.join();
}

bool HTTPCtrl::parseReq(const httplib::Request& req, httplib::Response& res,
                        cv::FileStorage& fs) {
  if (!req.has_header("Content-Type")) {
    badRequest(res, "Bad format");
    return false;
  }
  if (req.get_header_value("Content-Type") != "application/json") {
    badRequest(res, "Requsr must be 'application/json'");
    return false;
  }
  if (jsonDepth(req.body) > kMaxJsonDepth) {
    badRequest(res, "Can't deserialize JSON request'");
    return false;
  }
  try {
    if (fs.open(req.body, cv::FileStorage::READ | cv::FileStorage::MEMORY |
                              cv::FileStorage::FORMAT_JSON)) {
      return true;
    }
  } catch (const cv::Exception&) {
    std::cout << req.body << std::flush;
  }
  badRequest(res, "Can't deserialize JSON request'");
  return false;
}

bool HTTPCtrl::parseNamedReq(const httplib::Request& req, httplib::Response& res,
                             cv::FileStorage& fs, std::string* name) {
  if (!parseReq(req, res, fs)) return false;
  const cv::FileNode nameNode = fs["name"];
  if (!nameNode.isString()) {
    badRequest(res, "\"name\" didn't specify");
    return false;
  }
  *name = nameNode.string();
  return true;
}

void HTTPCtrl::badRequest(httplib::Response& res, const std::string& message) {
  LOG(WARNING) << message;
  res.status = 400;
  res.set_content(message, "text/plain");
}

// ---------------------------------------------------------------------------------------------
// MJPEG stream and read-only routes

void HTTPCtrl::serveMjpeg(const std::shared_ptr<TesmoStream>& stream, httplib::Response& res) {
  res.set_content_provider(
      "multipart/x-mixed-replace;boundary=MJP",
      [this, stream](size_t /*offset*/, httplib::DataSink& sink) {
        // Runs outside the library's exception handling: nothing may escape.
        try {
          cv::Mat img;
          if (!stream->waitImage(img, 20)) {
            sink.os.write("", 0);  // lets the library notice a connection that has gone
            return true;
          }
          if (mjpegMaxWidth > 0 && img.cols > mjpegMaxWidth) {
            const float scale = static_cast<float>(mjpegMaxWidth) / static_cast<float>(img.cols);
            cv::resize(img, img, cv::Size(), scale, scale, cv::INTER_LINEAR);
          }
          std::vector<uint8_t> jpeg;
          ImageEncoderJpegTurbo(80).Encode(img, &jpeg);
          const std::string head = "--MJP\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                   std::to_string(jpeg.size()) + "\r\n\r\n";
          sink.os.write(head.data(), static_cast<std::streamsize>(head.size()));
          sink.os.write(reinterpret_cast<const char*>(jpeg.data()),
                        static_cast<std::streamsize>(jpeg.size()));
          return true;
        } catch (const std::exception& e) {
          LOG(WARNING) << "MJPEG stream of \"" << stream->getName() << "\" ended: " << e.what();
          return false;
        }
      },
      [stream](bool /*success*/) {});
}

void HTTPCtrl::getStreams(httplib::Response& res) {
  answerJson(res, jsonOf([this](cv::FileStorage& out) {
               out << "streams" << "[";
               for (const auto& stream : app->tesmoStreams) {
                 out << "{" << "name" << stream->getName();
                 {
                   std::lock_guard<std::mutex> lock(stream->mutex);
                   stream->gen->writeParams(out);
                 }
                 out << "}";
               }
               out << "]";
             }));
}

void HTTPCtrl::getCameras(httplib::Response& res) {
  std::vector<Camera> cameras;
  {
    std::lock_guard<std::mutex> lock(app->camerasMutex);
    cameras = app->cameras;
  }
  answerJson(res, jsonOf([&cameras](cv::FileStorage& out) {
               out << "cameras" << "[";
               for (const Camera& camera : cameras) {
                 out << "{" << "name" << camera.name;
                 out << "frame_size" << "[" << camera.frameSize.width << camera.frameSize.height
                     << "]";
                 out << "R" << cv::Mat(camera.poseW2C.R);
                 out << "T" << "[" << camera.poseW2C.T[0] << camera.poseW2C.T[1]
                     << camera.poseW2C.T[2] << "]";
                 out << "}";
               }
               out << "]";
             }));
}

void HTTPCtrl::getApp(httplib::Response& res) {
  const int drawInfo = app->getDrawInfo() ? 1 : 0;
  const int enabled = app->getLinearRegress().isEnabled() ? 1 : 0;
  answerJson(res, jsonOf([&](cv::FileStorage& out) {
               out << "app" << "{" << "draw_info" << drawInfo;
               out << "linear_regress" << "{" << "enabled" << enabled << "}";
               out << "}";
             }));
}

// ---------------------------------------------------------------------------------------------
// Routes that change the application

void HTTPCtrl::setViewCameras(const std::vector<Camera>& cameras) {
  for (const auto& stream : app->tesmoStreams) {
    std::lock_guard<std::mutex> lock(stream->mutex);
    stream->gen->getCameras() = cameras;
    cv::Mat mask;
    stream->gen->prepare(mask);
  }
}

void HTTPCtrl::configure(const httplib::Request& req, httplib::Response& res) {
  cv::FileStorage fs;
  std::string name;
  if (!parseNamedReq(req, res, fs, &name)) return;
  const auto& views = app->tesmoStreams;
  const auto it = std::find_if(views.begin(), views.end(), [&](const auto& stream) {
    return stream->getName() == name;
  });
  if (it == views.end()) {
    badRequest(res, "Can'r find stream \"" + name + "\"");
    return;
  }
  // The generator's reader ends the process for an unknown mode: refuse it here.
  const cv::FileNode mode = fs["mode"];
  if (mode.isString() && mode.string() != "top_view" && mode.string() != "virtual_camera") {
    badRequest(res, "Camera mode \"" + mode.string() + "\" don't support");
    return;
  }

  TesmoStream& stream = **it;
  {
    std::lock_guard<std::mutex> lock(stream.mutex);
    const auto before = stream.gen->getParams();
    try {
      stream.gen->readParams(fs.root());
    } catch (const std::exception& e) {
      stream.gen->setParams(before);
      badRequest(res, std::string("Bad parameters: ") + e.what());
      return;
    }
    // Working sizes beyond the bound would be allocated on the main thread by the generator and
    // its error image.
    const cv::Size size = stream.gen->getParams().viewSizeCashed;
    if (size.width <= 0 || size.height <= 0 || size.width > kMaxViewSide ||
        size.height > kMaxViewSide || int64_t(size.width) * size.height > kMaxViewPixels) {
      stream.gen->setParams(before);
      badRequest(res, "Bad view size " + std::to_string(size.width) + "x" +
                          std::to_string(size.height) + ": each side must be 1.." +
                          std::to_string(kMaxViewSide) + " and the area at most " +
                          std::to_string(kMaxViewPixels) + " pixels");
      return;
    }
    cv::Mat mask;
    stream.gen->prepare(mask);
  }
  app->saveUserGenSettings();
  res.status = 200;
}

void HTTPCtrl::addCameraRotation(const httplib::Request& req, httplib::Response& res) {
  cv::FileStorage fs;
  std::string name;
  if (!parseNamedReq(req, res, fs, &name)) return;
  const auto radians = [&fs](const char* key) {
    const cv::FileNode node = fs[key];
    const float degrees = isNumber(node) ? static_cast<float>(node) : 0.f;
    return static_cast<float>(static_cast<double>(degrees) * 0.017453292519943295);
  };
  const cv::Vec3f rotation(radians("d_pitch"), radians("d_yaw"), radians("d_roll"));
  cv::Matx33f rRod;
  cv::Rodrigues(rotation, rRod);

  std::lock_guard<std::mutex> routeLock(camerasRouteMutex);
  std::vector<Camera> cameras;
  {
    std::lock_guard<std::mutex> lock(app->camerasMutex);
    const auto sel = std::find_if(app->cameras.begin(), app->cameras.end(),
                                  [&](const Camera& c) { return c.name == name; });
    if (sel == app->cameras.end()) {
      badRequest(res, "Can'r find camera \"" + name + "\"");
      return;
    }
    const cv::Matx33f rSel = sel->poseW2C.R;
    const cv::Matx33f delta = rSel.inv(cv::DECOMP_LU) * rRod * rSel;
    for (auto it = sel; it != app->cameras.end(); ++it) it->poseW2C.R = it->poseW2C.R * delta;
    cameras = app->cameras;
  }
  setViewCameras(cameras);

  const std::string& extFileName = app->getExtFileName();
  if (extFileName.empty()) {
    std::cout << "Can't save extrinsics\n" << std::flush;
    res.status = 200;
    return;
  }
  cv::FileStorage out;
  try {
    out.open(extFileName, cv::FileStorage::WRITE);
    if (out.isOpened()) {
      writeExtrinsics(out, cameras);
      out.release();
      std::cout << "Saved extrinsics to " << extFileName << "\n" << std::flush;
      res.status = 200;
      return;
    }
  } catch (const cv::Exception& e) {
    LOG(WARNING) << e.what();
  }
  badRequest(res, "Can't save extrinsics to \"" + extFileName + "\"");
}

void HTTPCtrl::calibrate(const httplib::Request& req, httplib::Response& res) {
  cv::FileStorage fs;
  if (!parseReq(req, res, fs)) return;
  bool bReset = false;
  cv::read_bool(fs["reset"], bReset, false);
  const std::string script = calibScript;
  std::string command =
      "python3 " + script + " " + app->getConfigFileName() + (bReset ? " -r" : " -c");
  const cv::FileNode pair = fs["pair"];
  if (pair.isSeq()) {
    std::vector<std::string> names;
    for (const cv::FileNode& element : pair) {
      names.push_back(element.isString() ? element.string() : std::string());
    }
    if (names.size() != 2) {
      badRequest(res, "Except two cameras");
      return;
    }
    // Quoted, so that a name reaches the script as one argument and never as shell syntax.
    command += " --cams=" + shellQuote(names[0]) + "," + shellQuote(names[1]);
  }

  LinearRegressGuard guard(app);
  if (!app->printCams()) {
    badRequest(res, "Can't save frames");
    return;
  }
  std::cout << "Runing: " << command << "\n" << std::flush;
  const int exitCode = runShellCommand(command);
  std::printf("%s exit code: %i\n", script.c_str(), exitCode);
  std::fflush(stdout);

  bool bRead = false;
  std::string why;
  {
    std::lock_guard<std::mutex> routeLock(camerasRouteMutex);
    std::vector<Camera> cameras;
    {
      std::lock_guard<std::mutex> lock(app->camerasMutex);
      cameras = app->cameras;
    }
    try {
      bRead = rereadCameras(app->getFS(), cameras, &why);
    } catch (const std::exception& e) {
      why = e.what();
    }
    if (bRead) {
      applyScaleToIntrinsics(cameras, *app->frameStreams);
      {
        std::lock_guard<std::mutex> lock(app->camerasMutex);
        app->cameras = cameras;
      }
      setViewCameras(cameras);
    } else {
      LOG(WARNING) << "Can't read cameras after " << script << ": " << why
                   << "; the cameras are kept";
    }
  }

  if (exitCode != 0) {
    badRequest(res, "Can't can't calibrate");
  } else if (!bRead) {
    badRequest(res, "Can't read cameras after calibration: " + why);
  } else {
    res.status = 200;
  }
}

void HTTPCtrl::linearRegress(const httplib::Request& req, httplib::Response& res) {
  cv::FileStorage fs;
  if (!parseReq(req, res, fs)) return;
  bool bEnabled = false;
  cv::read_bool(fs["enabled"], bEnabled, false);
  if (bEnabled) {
    app->enableLinearRegress();
  } else {
    app->disableLinearRegress();
  }
  res.status = 200;
}

}  // namespace tesmo
