#include "tools/private/http_ctrl.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <glog/logging.h>
#include <httplib.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "common/misc.h"
#include "generator/utils.h"
#include "streamer/img_codecs.h"
#include "tools/private/http_connections.h"
#include "tools/private/tesmo_tools.h"

namespace tesmo {
namespace {

// The text of an in-memory JSON document filled by `write`.
std::string jsonOf(const std::function<void(cv::FileStorage&)>& write) {
  cv::FileStorage out("", cv::FileStorage::WRITE | cv::FileStorage::MEMORY |
                              cv::FileStorage::FORMAT_JSON);
  write(out);
  return out.releaseAndGetString();
}

// Whether the generator takes the "mode" of a request, checked by the generator's check on its own
// (a mode of another type is the reader's to refuse): the other keys are checked by the reader
// against the view's current parameters, not against the defaults that the check starts from.
bool modeTaken(const cv::FileNode& mode, std::string* why) {
  if (!mode.isString()) return true;
  const std::string json = jsonOf([&](cv::FileStorage& out) { out << "mode" << mode.string(); });
  const cv::FileStorage modeOnly(
      json, cv::FileStorage::READ | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_JSON);
  return TesmoViewGenerator::checkParams(modeOnly.root(), why);
}

void answerJson(httplib::Response& res, const std::string& json) {
  res.status = 200;
  res.set_content(json, "application/json");
}

// Reads the cameras of the open configuration again into `cameras` (which keeps the gains and
// offsets of cameras it already holds), as readCameras does, each document once, but reports what
// the library's reader would end the process for (missing or unparsable calibration documents)
// and calibration that the library's checks refuse at the scales of `streams`; `cameras` is then
// unchanged. Only regular files are read: a request must not block on a FIFO.
bool rereadCameras(const cv::FileStorage& config, const FrameStreams& streams,
                   std::vector<Camera>& cameras, std::string* why) {
  const CalibrationDocuments documents(config, /*bExtrinsics=*/true, /*bRegularFilesOnly=*/true);
  if (!documents.readable(why) || !checkCalibrationNodes(documents, why)) return false;
  std::vector<Camera> result = cameras;
  try {
    readCameras(documents, result);
  } catch (const std::exception& e) {
    *why = e.what();
    return false;
  }
  if (result.size() != cameras.size()) {
    *why = "the number of cameras changed";
    return false;
  }
  for (size_t i = 0; i < result.size(); ++i) {
    if (!checkCamera(result[i], streams[static_cast<int>(i)].stream->getScale(), why)) return false;
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

// Prepares a view's generator again after a change. The CUDA variant lets a failed preparation
// out where the others keep it as their error image; a request must not end the process, so the
// failure is logged and the view shows its error image until a preparation succeeds.
// The maps and weights it replaces are freed on this worker thread, into the malloc arena of
// whichever thread made them, where they would stay resident: every worker has its own arena
// and, after its first large free, glibc serves such sizes from the arena instead of from fresh
// mappings. Trimming returns them to the system, so that memory stays flat however many
// changes arrive.
void prepareView(TesmoViewGenerator& gen) {
  cv::Mat mask;
  try {
    gen.prepare(mask);
  } catch (const std::exception& e) {
    LOG(ERROR) << "Preparing the view failed: " << e.what();
    // The error image shows this failure, not one kept from before.
    gen.handleException(std::current_exception());
  }
  malloc_trim(0);
}

}  // namespace


// The newest image of one view as one MJPEG part, encoded once for all its viewers: each viewer
// would otherwise copy, scale and encode every image itself.
class MjpegFrame {
 public:
  // The part of an image numbered *imageNumber or newer, whose number it puts in *imageNumber;
  // the first viewer that wants one newer than the part encodes the view's newest image, the
  // others wait for it and take it. Frames wider than `maxWidth` columns are scaled down to it
  // (0 or less: never). Null before the view has published.
  std::shared_ptr<const std::string> part(TesmoStream& stream, uint64_t* imageNumber,
                                          int maxWidth) {
    std::lock_guard<std::mutex> lock(mutex_);
    cv::Mat img;
    uint64_t number = number_;
    if (number_ < *imageNumber && stream.waitImage(img, 0, &number)) {
      part_ = std::make_shared<const std::string>(encode(img, maxWidth));
      number_ = number;
    }
    *imageNumber = number_;
    return part_;
  }

 private:
  // "--MJP", the part's headers and the JPEG data, at quality 80.
  static std::string encode(cv::Mat& img, int maxWidth) {
    if (maxWidth > 0 && img.cols > maxWidth) {
      const float scale = static_cast<float>(maxWidth) / static_cast<float>(img.cols);
      cv::resize(img, img, cv::Size(), scale, scale, cv::INTER_LINEAR);
    }
    std::vector<uint8_t> jpeg;
    ImageEncoderJpegTurbo(80).Encode(img, &jpeg);
    std::string part = "--MJP\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                       std::to_string(jpeg.size()) + "\r\n\r\n";
    part.append(reinterpret_cast<const char*>(jpeg.data()), jpeg.size());
    return part;
  }

  std::mutex mutex_;
  uint64_t number_ = 0;
  std::shared_ptr<const std::string> part_;
};

HTTPCtrl::HTTPCtrl(std::shared_ptr<TesmoApp> app, const cv::FileNode& node)
    : app(std::move(app)), server(std::make_shared<ControlServer>(kMaxBodyBytes)) {
  for (const auto& stream : this->app->tesmoStreams) {
    std::shared_ptr<TesmoStream> view = stream;
    const auto frame = std::make_shared<MjpegFrame>();
    server->Get("/" + view->getName(),
                [this, view, frame](const httplib::Request&, httplib::Response& res) {
                  serveMjpeg(view, frame, res);
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

  // Typed: a port written as a word, or beyond 16 bits, would otherwise listen somewhere else.
  const std::string section = "http_server";
  tesmo::readKey(node, section, "address", addr);
  tesmo::readKey(node, section, "port", port, 1, 65535);
  tesmo::readKey(node, section, "mjpeg_max_width", mjpegMaxWidth);
  tesmo::readKey(node, section, "mount_point", mountPoint);
  tesmo::readKey(node, section, "calib_script", calibScript);

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
  server->closeConnections();
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
  size_t start = 0;
  std::string why;
  std::string badNumber;
  if (!checkJsonBody(req.body, &start, &why, &badNumber)) {
    LOG(WARNING) << "Request body refused unparsed: " << why;
    badRequest(res, "Can't deserialize JSON request'");
    return false;
  }
  if (!badNumber.empty()) {
    badRequest(res, "Bad parameters: the number " + badNumber + " does not fit");
    return false;
  }
  try {
    if (fs.open(req.body.substr(start), cv::FileStorage::READ | cv::FileStorage::MEMORY |
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

void HTTPCtrl::serveMjpeg(const std::shared_ptr<TesmoStream>& stream,
                          const std::shared_ptr<MjpegFrame>& frame, httplib::Response& res) {
  // Each viewer holds a worker for as long as it watches: past the limit, the API routes would
  // find none.
  if (mjpegViewers.fetch_add(1) >= kMaxMjpegViewers) {
    --mjpegViewers;
    res.status = 503;
    res.set_content("Too many MJPEG viewers (" + std::to_string(kMaxMjpegViewers) + ")",
                    "text/plain");
    return;
  }
  // The number of the last image this viewer sent: every viewer gets every image it is ready for.
  const auto lastImage = std::make_shared<uint64_t>(0);
  res.set_content_provider(
      "multipart/x-mixed-replace;boundary=MJP",
      [this, stream, frame, lastImage](size_t /*offset*/, httplib::DataSink& sink) {
        // Runs outside the library's exception handling: nothing may escape.
        try {
          uint64_t number = stream->waitNewerImage(*lastImage, 20);
          if (number == *lastImage) {
            sink.os.write("", 0);  // lets the library notice a connection that has gone
            return true;
          }
          const std::shared_ptr<const std::string> part =
              frame->part(*stream, &number, mjpegMaxWidth);
          *lastImage = number;
          if (part) sink.os.write(part->data(), static_cast<std::streamsize>(part->size()));
          return true;
        } catch (const std::exception& e) {
          LOG(WARNING) << "MJPEG stream of \"" << stream->getName() << "\" ended: " << e.what();
          return false;
        }
      },
      // Runs when the response ends, however it ends.
      [this, stream](bool /*success*/) { --mjpegViewers; });
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
    prepareView(*stream->gen);
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
  std::string why;
  if (!modeTaken(fs["mode"], &why)) {
    badRequest(res, why);
    return;
  }

  TesmoStream& stream = **it;
  {
    std::lock_guard<std::mutex> lock(stream.mutex);
    // All or nothing: a refused request leaves the parameters as they were.
    try {
      stream.gen->readParams(fs.root());
    } catch (const std::exception& e) {
      badRequest(res, std::string("Bad parameters: ") + e.what());
      return;
    }
    prepareView(*stream.gen);
  }
  // The view keeps its new parameters whether they reach the file or not.
  const std::string notSaved = app->saveUserGenSettings();
  if (!notSaved.empty()) {
    badRequest(res, notSaved);
    return;
  }
  res.status = 200;
}

void HTTPCtrl::addCameraRotation(const httplib::Request& req, httplib::Response& res) {
  cv::FileStorage fs;
  std::string name;
  if (!parseNamedReq(req, res, fs, &name)) return;
  // Angles in degrees, at most one turn either way; anything else is refused before a change.
  float degrees[3] = {0.f, 0.f, 0.f};
  try {
    readKey(fs.root(), "/add_camera_rotation", "d_pitch", degrees[0], -360.f, 360.f);
    readKey(fs.root(), "/add_camera_rotation", "d_yaw", degrees[1], -360.f, 360.f);
    readKey(fs.root(), "/add_camera_rotation", "d_roll", degrees[2], -360.f, 360.f);
  } catch (const std::exception& e) {
    badRequest(res, std::string("Bad parameters: ") + e.what());
    return;
  }
  cv::Vec3f rotation;
  for (int i = 0; i < 3; ++i) {
    rotation[i] = static_cast<float>(static_cast<double>(degrees[i]) * 0.017453292519943295);
  }
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
    // A camera rotation that cannot be inverted gives no rotation; nothing is changed then.
    if (!cv::checkRange(delta)) {
      badRequest(res, "Can't turn camera \"" + name + "\": its rotation is not invertible");
      return;
    }
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
  // Quoted, so that paths with blanks or shell syntax reach the script as one argument each.
  std::string command = "python3 " + shellQuote(script) + " " +
                        shellQuote(app->getConfigFileName()) + (bReset ? " -r" : " -c");
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
      bRead = rereadCameras(app->getFS(), *app->frameStreams, cameras, &why);
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
