#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "generator/camera.h"

class TesmoApp;
class TesmoStream;

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace tesmo {

class ControlServer;
class MjpegFrame;

// The demo program's HTTP control server (cpp-httplib): an endless MJPEG stream of every view at
// GET "/" + view name, JSON routes that report and change the application ("/get_streams",
// "/get_cameras", "/configure", "/add_camera_rotation", "/calibrate", "/linear_regress",
// "/get_app", all POST), and static files from `mountPoint`.
//
// Threads: built and destroyed on the main thread; a listening thread of its own, one thread that
// watches the connections waiting for a request, and 64 worker threads that run the handlers,
// concurrently with the ticks and the correction timer. Nothing a client sends ends the process:
// bad requests get 400 with a plain-text message.
//
// Limits against clients that misbehave (ControlServer in http_connections.h holds them): a
// connection reaches a worker only with a whole request, which the watching thread reads within
// deadlines; requests that are badly framed, too large or compressed are refused before their
// body is read, and every refusal ends its connection; bodies longer than kMaxBodyBytes get 413;
// MJPEG viewers beyond kMaxMjpegViewers get 503, so that the API routes always find a worker;
// destruction closes every connection at once (only a handler already running, such as a
// calibration script, is waited for).
//
//   auto server = std::make_unique<tesmo::HTTPCtrl>(app, app->getFS()["http_server"]);
//   ... main loop ...
//   app->closeFrameCapture();  // no tick any more: wake requests waiting for frames
//   server.reset();            // stops listening, joins the threads
class HTTPCtrl {
 public:
  // Open MJPEG streams at most.
  static constexpr int kMaxMjpegViewers = 32;
  // Longest request body, in bytes.
  static constexpr size_t kMaxBodyBytes = size_t(1) << 20;

  // Registers the routes, reads the "http_server" map `node` ("address", "port",
  // "mjpeg_max_width", "mount_point", "calib_script"), mounts the static directory and starts
  // listening on a thread of its own. A failure to bind is printed and leaves the server idle.
  // A key of the wrong type, or a port outside 1..65535, throws std::runtime_error naming it.
  HTTPCtrl(std::shared_ptr<TesmoApp> app, const cv::FileNode& node);
  // Shuts every connection down (ending open MJPEG responses and slow clients at once), stops
  // the server and joins the listening and worker threads.
  ~HTTPCtrl();

  HTTPCtrl(const HTTPCtrl&) = delete;
  HTTPCtrl& operator=(const HTTPCtrl&) = delete;

  // Requires the content type "application/json" exactly and parses the body into `fs` (an
  // in-memory JSON document). Only a JSON object is parsed (the body's first non-blank byte must
  // be "{") holding at most 64 "[" and "{" bytes in all, so that it cannot nest deeper, with
  // integers that fit an int and finite reals (as far as a scan outside strings finds them; the
  // routes check every number they read). On failure writes a 400 answer into `res` and returns
  // false.
  static bool parseReq(const httplib::Request& req, httplib::Response& res, cv::FileStorage& fs);
  // 400 with `message` as a "text/plain" body; the message is also logged as a warning.
  static void badRequest(httplib::Response& res, const std::string& message);
  // parseReq, then the request's "name" string into `name`; false after answering 400.
  static bool parseNamedReq(const httplib::Request& req, httplib::Response& res,
                            cv::FileStorage& fs, std::string* name);

 protected:
  // `frame`: the view's newest frame, encoded once for all its viewers.
  void serveMjpeg(const std::shared_ptr<TesmoStream>& stream,
                  const std::shared_ptr<MjpegFrame>& frame, httplib::Response& res);
  void getStreams(httplib::Response& res);
  void getCameras(httplib::Response& res);
  void getApp(httplib::Response& res);
  void configure(const httplib::Request& req, httplib::Response& res);
  void addCameraRotation(const httplib::Request& req, httplib::Response& res);
  void calibrate(const httplib::Request& req, httplib::Response& res);
  void linearRegress(const httplib::Request& req, httplib::Response& res);

  // Gives every view a copy of `cameras` and prepares it again, one critical section per view.
  void setViewCameras(const std::vector<tesmo::Camera>& cameras);

  std::shared_ptr<TesmoApp> app;
  std::shared_ptr<ControlServer> server;
  std::thread thread;
  std::string addr = "0.0.0.0";
  int port = 8089;
  int mjpegMaxWidth = 1280;
  std::string mountPoint = "./www";
  std::string calibScript = "R_calibrate.py";
  // Set by the listening thread once `listen` has returned.
  std::atomic<bool> bListenReturned{false};
  // Serialises the routes that change the cameras and write calibration files.
  std::mutex camerasRouteMutex;
  // Open MJPEG streams.
  std::atomic<int> mjpegViewers{0};
};

}  // namespace tesmo
