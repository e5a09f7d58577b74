#include "tools/private/tesmo_tools.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <boost/filesystem/operations.hpp>
#include <glog/logging.h>
#include <opencv2/core/ocl.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "common/gpu/gpu.h"
#include "common/misc.h"
#include "common/perf.h"
#include "generator/tesmo_view_cpu.h"
#include "generator/tesmo_view_opencl.h"
#include "generator/utils.h"
#include "streamer/frame_stream.h"
#include "streamer/util.h"

namespace {

// Section names in the messages about configuration keys.
const char* const kAppSection = "tesmo_app";
const char* const kGenSection = "tesmo_gen";
const char* const kLinearRegressSection = "linear_regress";

// A flag key of a section (cv::read_bool's words or an integer): absent keeps `value`; present
// with anything cv::read_bool does not take, it throws the error of tesmo::readKey.
bool readFlag(const cv::FileNode& section, const std::string& sectionName, const char* key,
              bool value) {
  const cv::FileNode node = section[key];
  if (node.isNone()) return value;
  bool asTrue = true;
  bool asFalse = false;
  cv::read_bool(node, asTrue, true);
  cv::read_bool(node, asFalse, false);
  if (asTrue != asFalse) {
    tesmo::refuseKey(sectionName, key, node,
                     "a flag (y/n, yes/no, true/false, on/off or an integer)");
  }
  return asTrue;
}

// What each platform needs: the frame form that the live reader fills
// (tesmo::LiveStreams::OutputFrameType), the generator variant, the image of a loaned frame buffer
// that the generators take, OpenCV's OpenCL switch, and any set-up after that switch (given the
// "cuda_dev" key, -1 for the current device).
struct PlatformTraits {
  Platform platform;
  const char* name;  // the word of the "platform" key
  int frameForm;
  std::shared_ptr<tesmo::TesmoViewGenerator> (*makeGenerator)(
      const std::vector<tesmo::Camera>& cameras, const cv::FileNode& paramNode);
  cv::_OutputArray (*input)(tesmo::LiveStreams::FrameBuf& buf);
  bool bUseOpenCL;
  void (*setUp)(int cudaDev);
};

template <class Generator>
std::shared_ptr<tesmo::TesmoViewGenerator> makeGenerator(const std::vector<tesmo::Camera>& cameras,
                                                         const cv::FileNode& paramNode) {
  return std::make_shared<Generator>(cameras, paramNode);
}

void setUpNothing(int /*cudaDev*/) {}

void setUpOpenCL(int /*cudaDev*/) {
  if (!cv::ocl::useOpenCL()) {
    LOG(WARNING) << "No OpenCL device found; the \"opencl\" views are composed on the host";
  }
}

void setUpCuda(int cudaDev) {
  if (cudaDev >= 0) tesmo::gpu::setDevice(cudaDev);
  tesmo::gpu::printShortDeviceInfo(tesmo::gpu::getDevice());
}

using FrameBuf = tesmo::LiveStreams::FrameBuf;

const PlatformTraits kPlatforms[] = {
    {CPU, "cpu", tesmo::LiveStreams::CPU_MAT, &makeGenerator<tesmo::TesmoViewGeneratorCpu>,
     [](FrameBuf& buf) { return cv::_OutputArray(buf.framesCpu); }, false, &setUpNothing},
    {OPENCL, "opencl", tesmo::LiveStreams::UMAT, &makeGenerator<tesmo::TesmoViewGeneratorOpenCL>,
     [](FrameBuf& buf) { return cv::_OutputArray(buf.framesUmat); }, true, &setUpOpenCL},
    {CUDA, "cuda", tesmo::LiveStreams::GPU_MAT, &makeGenerator<tesmo::TesmoViewGeneratorCuda>,
     [](FrameBuf& buf) { return cv::_OutputArray(buf.framesGpu); }, false, &setUpCuda},
};

// A value outside the enumeration is a fatal check.
const PlatformTraits& traitsOf(Platform platform) {
  for (const PlatformTraits& traits : kPlatforms) {
    if (traits.platform == platform) return traits;
  }
  CHECK(0);
  return kPlatforms[0];
}

}  // namespace

Platform getPlatform(const std::string& platformName) {
  for (const PlatformTraits& traits : kPlatforms) {
    if (platformName == traits.name) return traits.platform;
  }
  throw std::runtime_error("Platform \"" + platformName + "\" not support");
}

// ---------------------------------------------------------------------------------------------
// TesmoStream

TesmoStream::TesmoStream(std::vector<tesmo::Camera> cameras, const cv::FileNode& node,
                         const cv::FileNode& userNode, Platform platform) {
  tesmo::readKey(node, kGenSection, "name", name);
  CHECK(!name.empty());
  const bool bUser = userNode.isMap();
  if (bUser) {
    CHECK(name == userNode["name"].string());
  }
  gen = traitsOf(platform).makeGenerator(cameras, bUser ? userNode : node);
  outputImg.create(gen->getParams().viewSizeCashed, CV_8UC3);
  outputImg.setTo(cv::Scalar::all(0));

  const cv::FileNode w = node["video_writes"];
  if (!w.isNone() && !w.isMap() && !w.isSeq()) {
    tesmo::refuseKey(kGenSection, "video_writes", w, "a map or a sequence of maps");
  }
  if (w.isMap()) {
    if (isEnabled(w)) addSink(w);
  } else if (w.isSeq()) {
    for (const cv::FileNode& element : w) {
      if (element.isMap() && isEnabled(element)) addSink(element);
    }
  }
}

void TesmoStream::addSink(const cv::FileNode& node) {
  videoWrites.push_back(tesmo::VideoWrite::Create(node));
  // The factory has checked that "type" is a string.
  std::string label = node["type"].string();
  for (const char* key : {"prefix", "filename", "addr", "shmem_id", "name"}) {
    if (node[key].isString()) {
      label += " \"" + node[key].string() + "\"";
      break;
    }
  }
  sinkLabels.push_back(label);
}

std::vector<std::pair<std::string, int>> TesmoStream::failedWrites() const {
  std::vector<std::pair<std::string, int>> failed;
  for (size_t i = 0; i < videoWrites.size(); ++i) {
    const int frames = videoWrites[i]->FailedFrames();
    if (frames > 0) failed.emplace_back(sinkLabels[i], frames);
  }
  return failed;
}

TesmoStream::~TesmoStream() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    bCvReady = true;
    ++imageNumber;
  }
  cv.notify_all();
}

void TesmoStream::compute() {
  std::lock_guard<std::mutex> lock(mutex);
  cv::Mat mask;
  gen->prepare(mask);
}

void TesmoStream::compute(const tesmo::TesmoViewGenerator::GenerationParams& params) {
  std::lock_guard<std::mutex> lock(mutex);
  gen->setParams(params);
  cv::Mat mask;
  gen->prepare(mask);
}

void TesmoStream::process(const std::vector<cv::_OutputArray>& frames) {
  std::lock_guard<std::mutex> lock(mutex);
  tesmo::perf::ScopedTimer timer("tvs_process");
  gen->process(frames, outputImg);
}

void TesmoStream::publish(int64_t timestampMs) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    bCvReady = true;
    ++imageNumber;
  }
  cv.notify_all();
  tesmo::perf::ScopedTimer timer("tvs_publish");
  for (const auto& videoWrite : videoWrites) {
    videoWrite->Publish(outputImg, timestampMs);
  }
}

bool TesmoStream::waitImage(cv::Mat& out, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex);
  const bool bReady =
      cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return bCvReady; });
  if (bReady) outputImg.copyTo(out);
  bCvReady = false;
  return bReady;
}

bool TesmoStream::waitImage(cv::Mat& out, int timeoutMs, uint64_t* lastImage) {
  std::unique_lock<std::mutex> lock(mutex);
  const bool bNewer = cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return imageNumber > *lastImage; });
  if (bNewer) {
    outputImg.copyTo(out);
    *lastImage = imageNumber;
  }
  return bNewer;
}

uint64_t TesmoStream::waitNewerImage(uint64_t lastImage, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex);
  cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
              [&] { return imageNumber > lastImage; });
  return std::max(imageNumber, lastImage);
}

// ---------------------------------------------------------------------------------------------
// TesmoApp start-up

namespace {

// Longest tick period that pacing may reach, in seconds: a rate of 0.001 frames per second.
constexpr double kMaxPeriodS = 1000.0;

// Sleeps until `until`, in slices of at most 100 ms so that a cleared `*bRunning` ends the wait
// within a slice, however long the pacing period is.
void sleepUntilOrStopped(std::chrono::system_clock::time_point until,
                         const std::atomic<bool>* bRunning) {
  constexpr std::chrono::milliseconds kSlice(100);
  for (auto t = std::chrono::system_clock::now(); t < until && (!bRunning || *bRunning);
       t = std::chrono::system_clock::now()) {
    std::this_thread::sleep_until(std::min(until, t + kSlice));
  }
}

std::chrono::nanoseconds secondsToNs(double seconds) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(seconds));
}

// Writes `text` to `path` whole or not at all: into `path`.tmp (with the old file's permissions),
// flushed to disk, then renamed over `path`. On failure the temporary file is removed, `path` is
// left as it was and the reason is returned; an empty result means success.
std::string replaceFile(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return "can't create \"" + tmp + "\": " + std::strerror(errno);
  struct stat old {};
  if (::stat(path.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);
  int error = 0;
  for (size_t done = 0; done < text.size() && error == 0;) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n >= 0) {
      done += static_cast<size_t>(n);
    } else if (errno != EINTR) {
      error = errno;
    }
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) error = errno;
  if (error == 0) return std::string();
  ::unlink(tmp.c_str());
  return "can't write \"" + tmp + "\" and rename it over \"" + path + "\": " +
         std::strerror(error);
}

}  // namespace

TesmoApp::TesmoApp(const std::string& configFileName) : configFileName(configFileName) {
  tesmo::openDocument(fs, configFileName);
  CHECK(fs.isOpened()) << "Can't open config file \"" << configFileName << "\"";

  const cv::FileNode appNode = fs["tesmo_app"];
  const cv::FileNode genNode = fs["tesmo_gen"];
  CHECK(appNode.isMap());
  CHECK(genNode.isSeq() || genNode.isMap());

  const int cudaDev = readAppSettings(appNode);
  const PlatformTraits& traits = traitsOf(platform);
  cv::ocl::setUseOpenCL(traits.bUseOpenCL);
  traits.setUp(cudaDev);

  readCalibration();
  openFrameStreams();
  lifeStreams = std::make_shared<tesmo::LiveStreams>(*frameStreams, fs, traits.frameForm, cudaDev);
  for (size_t i = 0; i < cameras.size(); ++i) {
    lifeStreams->setDefaultFrameSize(static_cast<int>(i), cameras[i].frameSize);
  }
  lifeStreams->start();

  addViews(genNode);
  startConfiguredCorrection();
  fpsAutoAdj.sleepUntil = std::chrono::system_clock::now();
}

int TesmoApp::readAppSettings(const cv::FileNode& appNode) {
  tesmo::readKey(appNode, kAppSection, "user_settings", userSettingsFile);
  int cudaDev = -1;
  tesmo::readKey(appNode, kAppSection, "cuda_dev", cudaDev, -1);
  readFrameRateRange(appNode);
  tesmo::readKey(appNode, kAppSection, "fps_adj_speed", fpsAutoAdj.adjSpeed,
                 -std::numeric_limits<double>::max(), kMaxPeriodS);
  std::string platformText;
  tesmo::readKey(appNode, kAppSection, "platform", platformText);
  platform = getPlatform(platformText);

  const cv::FileNode extNode = fs["extrinsics"];
  extFileName = extNode.isString() ? extNode.string() : std::string();

  tesmo::readKey(appNode, kAppSection, "fps_filter", fpsFilter, 0.f, 1.f);
  fpsAutoAdj.bAllowSkipFrame =
      readFlag(appNode, kAppSection, "allow_skip_frame", fpsAutoAdj.bAllowSkipFrame);
  bDrawInfo = readFlag(appNode, kAppSection, "draw_info", bDrawInfo);
  tesmo::readKey(appNode, kAppSection, "temp_dir", tempDir);
  bLogFPS = readFlag(appNode, kAppSection, "log_fps", bLogFPS);
  return cudaDev;
}

void TesmoApp::readFrameRateRange(const cv::FileNode& appNode) {
  // A rate of 0 means no pacing; any other one gives a period of at most kMaxPeriodS seconds, so
  // that every period and every step of its adjustment stays within the clocks' range.
  double fpsMin = 0.0, fpsMax = 0.0;
  for (const auto& rate :
       {std::make_pair("fps_min", &fpsMin), std::make_pair("fps_max", &fpsMax)}) {
    tesmo::readKey(appNode, kAppSection, rate.first, *rate.second, 0.0);
    if (*rate.second > 0 && *rate.second < 1.0 / kMaxPeriodS) {
      tesmo::refuseKey(kAppSection, rate.first, appNode[rate.first],
                       "0 or a number of at least 0.001");
    }
  }
  if (fpsMin > 0 && fpsMax > 0 && fpsMin > fpsMax) {
    std::ostringstream max;
    max << fpsMax;
    tesmo::refuseKey(kAppSection, "fps_min", appNode["fps_min"],
                     "at most \"fps_max\" (" + max.str() + ")");
  }
  if (fpsMin > 0 && fpsMax > 0) {
    fpsAutoAdj.periodMin = secondsToNs(1.0 / fpsMax);
    fpsAutoAdj.periodMax = secondsToNs(1.0 / fpsMin);
    fpsAutoAdj.period = secondsToNs(2.0 / (fpsMin + fpsMax));
  }
}

void TesmoApp::readCalibration() {
  // Each calibration document is read once, for the check and for the reader.
  const tesmo::CalibrationDocuments documents(fs, /*bExtrinsics=*/true);
  std::string why;
  if (!tesmo::checkCalibrationNodes(documents, &why)) throw std::runtime_error(why);
  // No camera at all would start a run that composes nothing and ends with success.
  if (!tesmo::readCameras(documents, cameras) || cameras.empty()) {
    CHECK(0) << "Can't read cameras";
  }
}

void TesmoApp::openFrameStreams() {
  frameStreams = std::make_shared<tesmo::FrameStreams>(fs);
  CHECK(frameStreams->size() == cameras.size()) << "Mismatch frameStreams and cameras num";
  for (size_t i = 0; i < cameras.size(); ++i) {
    const tesmo::FrameStreams::FrameStreamData& source = (*frameStreams)[static_cast<int>(i)];
    // Sources and calibrations pair by position (both sorted by name); a configuration may rely
    // on that, but names that differ usually mean a renamed camera on one side only.
    if (source.name != cameras[i].name) {
      LOG(WARNING) << "Camera " << i << ": frame source \"" << source.name
                   << "\" is paired with the calibration of \"" << cameras[i].name
                   << "\" (by position; the names differ)";
    }
    std::string why;
    if (!tesmo::checkCamera(cameras[i], source.stream->getScale(), &why)) {
      throw std::runtime_error(why);
    }
  }
  tesmo::applyScaleToIntrinsics(cameras, *frameStreams);
}

void TesmoApp::addViews(const cv::FileNode& genNode) {
  cv::FileStorage userFs;
  const cv::FileNode userGen = readUserSettings(userFs);

  if (genNode.isSeq()) {
    for (const cv::FileNode& node : genNode) addView(node, userGen);
  } else {
    addView(genNode, userGen);
  }
  CHECK(tesmoStreams.size() > 0);

  std::sort(tesmoStreams.begin(), tesmoStreams.end(),
            [](const std::shared_ptr<TesmoStream>& a, const std::shared_ptr<TesmoStream>& b) {
              return a->getName() < b->getName();
            });
  for (size_t i = 1; i < tesmoStreams.size(); ++i) {
    CHECK(tesmoStreams[i - 1]->getName() != tesmoStreams[i]->getName())
        << "TesmoStreams name aren't unique";
  }
}

void TesmoApp::startConfiguredCorrection() {
  const cv::FileNode lrNode = fs["linear_regress"];
  linearRegress.bEnbledByDefault = lrNode.isMap() && isEnabled(lrNode);
  if (!linearRegress.bEnbledByDefault) return;
  tesmo::readKey(lrNode, kLinearRegressSection, "filter", linearRegress.filter, 0.f, 1.f);
  tesmo::readKey(lrNode, kLinearRegressSection, "calib_script", calibScript);
  tesmo::readKey(lrNode, kLinearRegressSection, "tmp_file", linearRegressTmpFile);
  int intervalMs = 3000;
  tesmo::readKey(lrNode, kLinearRegressSection, "interval", intervalMs, 0);
  linearRegress.interval = std::chrono::milliseconds(intervalMs);
  enableLinearRegress();
}

void TesmoApp::addView(const cv::FileNode& node, const cv::FileNode& userGen) {
  CHECK(node.isMap());
  if (!readFlag(node, kGenSection, "enabled", true)) return;
  std::string name;
  tesmo::readKey(node, kGenSection, "name", name);

  cv::FileNode userNode;
  if (userGen.isSeq()) {
    for (const cv::FileNode& entry : userGen) {
      if (entry["name"].isString() && entry["name"].string() == name) {
        userNode = entry;
        break;
      }
    }
  }

  // The entry's parameters are checked on their own first, so that a refused value there names
  // the file it came from.
  std::string why;
  if (userNode.isMap() && !tesmo::TesmoViewGenerator::checkParams(userNode, &why)) {
    throw std::runtime_error("User settings file \"" + userSettingsFile + "\", view \"" + name +
                             "\": " + why);
  }
  std::shared_ptr<TesmoStream> stream;
  try {
    stream = std::make_shared<TesmoStream>(cameras, node, userNode, platform);
  } catch (const std::exception& e) {
    throw std::runtime_error("View \"" + name + "\": " + e.what());
  }
  stream->compute();
  tesmoStreams.push_back(std::move(stream));
}

cv::FileNode TesmoApp::readUserSettings(cv::FileStorage& userFs) const {
  // A missing file means no overrides (checked first: OpenCV logs an error for it otherwise).
  boost::system::error_code ec;
  if (!boost::filesystem::exists(userSettingsFile, ec)) return cv::FileNode();
  const std::string file = "User settings file \"" + userSettingsFile + "\"";
  if (boost::filesystem::is_regular_file(userSettingsFile, ec) &&
      boost::filesystem::file_size(userSettingsFile, ec) == 0 && !ec) {
    throw std::runtime_error(file + " is empty");
  }
  try {
    tesmo::openDocument(userFs, userSettingsFile);
  } catch (const cv::Exception& e) {
    throw std::runtime_error(file + " can't be parsed: " + e.what());
  }
  if (!userFs.isOpened()) throw std::runtime_error(file + " can't be opened");
  const cv::FileNode userGen = userFs["tesmo_gen"];
  if (!userGen.isSeq()) throw std::runtime_error(file + " holds no \"tesmo_gen\" sequence");
  return userGen;
}

std::string TesmoApp::saveUserGenSettings() {
  // HTTP requests may save at the same time: one writer at a time.
  std::lock_guard<std::mutex> saveLock(userSettingsMutex);
  // Composed in memory, in the format the file name's extension selects.
  cv::FileStorage out(userSettingsFile, cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
  out << "tesmo_gen" << "[";
  for (const auto& stream : tesmoStreams) {
    out << "{";
    out << "name" << stream->getName();
    {
      std::lock_guard<std::mutex> lock(stream->mutex);
      stream->gen->writeParams(out);
    }
    out << "}";
  }
  out << "]";
  const std::string error = replaceFile(userSettingsFile, out.releaseAndGetString());
  if (error.empty()) return std::string();
  LOG(WARNING) << "User settings not saved: " << error;
  return "Can't save user settings to \"" + userSettingsFile + "\": " + error;
}

void TesmoApp::reportFailedWrites(std::ostream& out) const {
  bool bAny = false;
  for (const auto& stream : tesmoStreams) {
    for (const auto& failed : stream->failedWrites()) {
      if (!bAny) out << "Sink write failures:\n";
      bAny = true;
      out << "\tView \"" << stream->getName() << "\", " << failed.first << ": " << failed.second
          << " frames not written\n";
    }
  }
}

// ---------------------------------------------------------------------------------------------
// TesmoApp tick

void TesmoApp::tick(const std::atomic<bool>* bRunning) {
  // An empty loan means the reader is stopping.
  frameBufs = lifeStreams->loanBuffer(bTimeoutDetected);
  if (frameBufs.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    return;
  }
  std::vector<cv::_OutputArray> frames = generatorInputs();
  const double minBuf = updateQueueFullness();
  if (linearRegress.isEnabled()) stepIntensity();

  {
    tesmo::perf::ScopedTimer timer("app_all_streams_process");
    for (const auto& stream : tesmoStreams) stream->process(frames);
  }
  frames.clear();

  handOverFrames();
  if (fpsAutoAdj.period.count() != 0) pace(minBuf, bRunning);
  const int64_t tsMs = updateFrameRate();
  if (bDrawInfo) drawInfo();
  publish(tsMs);
  frameInd += 1;
}

std::vector<cv::_OutputArray> TesmoApp::generatorInputs() {
  const auto input = traitsOf(platform).input;
  std::vector<cv::_OutputArray> frames;
  frames.reserve(frameBufs.size());
  for (const auto& it : frameBufs) {
    CHECK(it);
    frames.push_back(input(*it));
  }
  return frames;
}

double TesmoApp::updateQueueFullness() {
  const int querySize = lifeStreams->getQuerySize();
  bufsFullness.resize(frameStreams->size());
  double minBuf = lifeStreams->getMidQueueFullness(0);
  for (size_t i = 0; i < bufsFullness.size(); ++i) {
    const int ind = static_cast<int>(i);
    bufsFullness[i] = lifeStreams->getMidQueueFullness(ind);
    minBuf = std::min(minBuf, static_cast<double>(bufsFullness[i]));
    if (fpsAutoAdj.bAllowSkipFrame &&
        static_cast<double>(bufsFullness[i]) > fpsAutoAdj.maxWndQuery * querySize &&
        frameInd % 2 == 0) {
      lifeStreams->skipOneFrontMidBuf(ind);
    }
  }
  return minBuf;
}

void TesmoApp::stepIntensity() {
  std::vector<std::pair<double, double>> target;
  {
    std::lock_guard<std::mutex> lock(camerasMutex);
    for (const auto& camera : cameras) target.emplace_back(camera.alpha, camera.beta);
  }
  const double filter = linearRegress.filter;
  for (const auto& stream : tesmoStreams) {
    std::lock_guard<std::mutex> lock(stream->mutex);
    auto& genCameras = stream->gen->getCameras();
    for (size_t i = 0; i < target.size() && i < genCameras.size(); ++i) {
      genCameras[i].alpha += filter * (target[i].first - genCameras[i].alpha);
      genCameras[i].beta += filter * (target[i].second - genCameras[i].beta);
    }
  }
}

void TesmoApp::handOverFrames() {
  std::lock_guard<std::mutex> lock(frameBufsPromiseMutex);
  if (frameBufsPromise && !frameBufsPromise->bSet) {
    frameBufsPromise->promise.set_value(std::move(frameBufs));
    frameBufsPromise->bSet = true;
  } else {
    lifeStreams->returnBuffer(std::move(frameBufs));
  }
  frameBufs.clear();
}

void TesmoApp::pace(double minBuf, const std::atomic<bool>* bRunning) {
  const double target = fpsAutoAdj.minWndQuery * lifeStreams->getQuerySize();
  const double d = minBuf - target;
  if (fpsAutoAdj.adjSpeed > 0 && std::abs(d) >= 1) {
    const std::chrono::nanoseconds step =
        d > 1 ? secondsToNs(fpsAutoAdj.adjSpeed) : secondsToNs(-fpsAutoAdj.adjSpeed);
    // Upper bound first, then lower: with periodMin > periodMax the period is periodMin.
    fpsAutoAdj.period = std::max(fpsAutoAdj.periodMin,
                                 std::min(fpsAutoAdj.period - step, fpsAutoAdj.periodMax));
  }
  fpsAutoAdj.sleepUntil +=
      std::chrono::duration_cast<std::chrono::system_clock::duration>(fpsAutoAdj.period);
  const auto lag = std::chrono::system_clock::now() - fpsAutoAdj.sleepUntil;
  if (lag.count() > 0) {
    fpsAutoAdj.sleepUntil += lag;
  } else {
    sleepUntilOrStopped(fpsAutoAdj.sleepUntil, bRunning);
  }
}

int64_t TesmoApp::updateFrameRate() {
  const auto tsNow = std::chrono::system_clock::now();
  const float dtS = std::chrono::duration<float>(tsNow - ts).count();
  ts = tsNow;
  fps = static_cast<float>(fpsFilter * (1.0f / dtS) + (1.0f - fpsFilter) * fps);
  if (bLogFPS) std::cout << "fps: " << fps << "\n";
  return tesmo::raw_timestamp(tsNow);
}

void TesmoApp::publish(int64_t tsMs) {
  tesmo::perf::ScopedTimer timer("app_all_streams_publish");
  for (const auto& stream : tesmoStreams) stream->publish(tsMs);
}

void TesmoApp::drawInfo() {
  const double periodS = std::chrono::duration<double>(fpsAutoAdj.period).count();
  const int querySize = lifeStreams->getQuerySize();
  const int cudaQueue = lifeStreams->getCudaQueueFullness();
  const auto fixed1 = [](double value) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << value;
    return text.str();
  };

  std::vector<std::string> lines;
  lines.push_back("");  // the view's name goes here
  lines.push_back("FPS: " + fixed1(fps));
  lines.push_back("Target FPS: " + fixed1(1.0 / periodS));
  lines.push_back("Ind: " + std::to_string(frameInd));
  lines.push_back("CUDA upload queue: " + std::to_string(cudaQueue));
  for (size_t i = 0; i < bufsFullness.size(); ++i) {
    lines.push_back((*frameStreams)[static_cast<int>(i)].name + ": " +
                    std::to_string(bufsFullness[i]) + "/" + std::to_string(querySize));
  }

  for (const auto& stream : tesmoStreams) {
    lines[0] = "Stream: " + stream->getName();
    // Under the view's mutex, so that a waiter never copies a half-drawn overlay.
    std::lock_guard<std::mutex> lock(stream->mutex);
    cv::Mat& img = stream->getOutputImg();
    for (size_t k = 0; k < lines.size(); ++k) {
      cv::putText(img, lines[k], cv::Point(10, 20 + 20 * static_cast<int>(k)),
                  cv::FONT_HERSHEY_PLAIN, 1.0, cv::Scalar(255, 255, 255), 1, cv::LINE_8);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Intensity correction timer and frame capture

void Timer::start(std::chrono::nanoseconds interval, std::function<void()> fn) {
  thread = std::thread([this, interval, fn = std::move(fn)] {
    std::unique_lock<std::mutex> lock(mutex);
    while (!bTerminated) {
      if (!cv.wait_for(lock, interval, [this] { return bTerminated.load(); })) fn();
    }
  });
}

Timer::~Timer() {
  bTerminated = true;
  // A run that waits for something this thread would provide gives up before the wait below.
  if (onStop) onStop();
  // Taking the mutex once orders the flag before the thread's next wait, so the wake-up below
  // cannot be lost; it also waits for a run in progress.
  { std::lock_guard<std::mutex> lock(mutex); }
  cv.notify_all();
  if (thread.joinable()) thread.join();
}

int runShellCommand(const std::string& command) {
  std::fflush(stdout);
  FILE* in = popen(command.c_str(), "r");
  if (in == nullptr) {
    LOG(ERROR) << "Can't start \"" << command << "\"";
    return -1;
  }
  char buf[4096];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof(buf), in)) > 0) std::fwrite(buf, 1, n, stdout);
  std::fflush(stdout);
  const int status = pclose(in);
  return (status >> 8) & 0xFF;
}

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

TesmoApp::~TesmoApp() {
  closeFrameCapture();
  disableLinearRegress();
}

void TesmoApp::enableLinearRegress() {
  std::lock_guard<std::mutex> lock(linearRegressMutex);
  std::shared_ptr<Timer> old = std::atomic_exchange(&linearRegress.updateIntensityTimer, {});
  old.reset();
  // Set when this timer is being stopped; its waiting run then withdraws its capture.
  auto bStopping = std::make_shared<std::atomic<bool>>(false);
  auto timer = std::make_shared<Timer>(
      linearRegress.interval, [this, bStopping] { runLinearRegress(*bStopping); },
      [this, bStopping] {
        *bStopping = true;
        withdrawCaptures();
      });
  std::atomic_store(&linearRegress.updateIntensityTimer, std::move(timer));
}

void TesmoApp::disableLinearRegress() {
  std::lock_guard<std::mutex> lock(linearRegressMutex);
  std::shared_ptr<Timer> old = std::atomic_exchange(&linearRegress.updateIntensityTimer, {});
  old.reset();
}

void TesmoApp::closeFrameCapture() {
  {
    std::lock_guard<std::mutex> lock(frameBufsPromiseMutex);
    bCaptureClosed = true;
    // A promise destroyed without a value wakes its future with a broken-promise error.
    frameBufsPromise.reset();
  }
  captureCv.notify_all();
}

void TesmoApp::withdrawCaptures() {
  {
    std::lock_guard<std::mutex> lock(frameBufsPromiseMutex);
    const FrameBufsPromise* request = frameBufsPromise.get();
    if (request != nullptr && !request->bSet && request->bWithdrawn != nullptr &&
        *request->bWithdrawn) {
      frameBufsPromise.reset();  // its requester wakes with a broken promise
    }
  }
  captureCv.notify_all();
}

bool TesmoApp::printCams() { return capture(nullptr); }

bool TesmoApp::capture(const std::atomic<bool>* bWithdrawn) {
  boost::system::error_code ec;
  boost::filesystem::create_directories(tempDir, ec);
  if (ec) {
    LOG(WARNING) << "Can't create directory \"" << tempDir << "\": " << ec.message();
    return false;
  }

  // The flag is read under the mutex, and withdrawCaptures takes the mutex after setting it: a
  // withdrawal is never missed between the check and the wait.
  const auto withdrawn = [bWithdrawn] { return bWithdrawn != nullptr && *bWithdrawn; };
  std::future<std::vector<std::unique_ptr<tesmo::LiveStreams::FrameBuf>>> future;
  const FrameBufsPromise* request = nullptr;
  {
    std::unique_lock<std::mutex> lock(frameBufsPromiseMutex);
    captureCv.wait(lock, [&] { return !frameBufsPromise || bCaptureClosed || withdrawn(); });
    if (bCaptureClosed || withdrawn()) return false;
    frameBufsPromise = std::make_unique<FrameBufsPromise>();
    frameBufsPromise->bWithdrawn = bWithdrawn;
    frameBufsPromise->future = frameBufsPromise->promise.get_future();
    // Waited on outside the record: closing or withdrawal may free the record meanwhile.
    future = std::move(frameBufsPromise->future);
    request = frameBufsPromise.get();
  }

  std::vector<std::unique_ptr<tesmo::LiveStreams::FrameBuf>> frameBufs;
  try {
    frameBufs = future.get();
  } catch (const std::future_error&) {
    return false;  // closed or withdrawn: no tick will hand over frames
  }

  std::vector<std::string> names;
  {
    std::lock_guard<std::mutex> lock(camerasMutex);
    for (const auto& camera : cameras) names.push_back(camera.name);
  }
  bool bOk = true;
  for (size_t i = 0; i < frameBufs.size() && i < names.size(); ++i) {
    CHECK(!frameBufs[i]->framesCpu.empty());
    const std::string path = tempDir + "/" + names[i] + ".png";
    try {
      if (!cv::imwrite(path, frameBufs[i]->framesCpu)) bOk = false;
    } catch (const std::exception& e) {
      LOG(WARNING) << "Can't write \"" << path << "\": " << e.what();
      bOk = false;
    }
  }
  lifeStreams->returnBuffer(std::move(frameBufs));

  {
    std::lock_guard<std::mutex> lock(frameBufsPromiseMutex);
    // Closing may have freed this request (and no other one can have come since).
    if (frameBufsPromise.get() == request) frameBufsPromise.reset();
  }
  captureCv.notify_all();
  return bOk;
}

void TesmoApp::runLinearRegress(const std::atomic<bool>& bStopping) {
  // Runs on the timer's thread: nothing may escape it.
  try {
    correctIntensity(bStopping);
  } catch (const std::exception& e) {
    LOG(WARNING) << "Intensity correction run failed: " << e.what();
  }
}

void TesmoApp::correctIntensity(const std::atomic<bool>& bStopping) {
  if (!capture(&bStopping)) {
    if (bStopping) return;  // the timer stops: the run gives up its capture
    LOG_EVERY_N(WARNING, 100) << "Intensity correction: can't save the frame snapshots to \""
                              << tempDir << "\"; the script is not run";
    return;
  }
  // The option is a blank, a hyphen and the Cyrillic small letter es (UTF-8 0xD1 0x81).
  const std::string command =
      "python3 " + shellQuote(calibScript) + " " + shellQuote(configFileName) + " -\xD1\x81";
  const int exitCode = runShellCommand(command);
  std::printf("%s exit code: %i\n", calibScript.c_str(), exitCode);
  std::fflush(stdout);
  if (exitCode != 0) return;

  applyCorrectionResult();
}

namespace {

// Why an entry of the correction's result file cannot give a camera its gain and offset; empty
// when it can. Both must be finite numbers and the gain above 0: a NaN or an infinity would reach
// every pixel that the CUDA views blend from the camera.
std::string refusedResultEntry(const cv::FileNode& entry) {
  if (!entry.isMap()) {
    return "it must be a map with \"alpha\" and \"beta\", got " + tesmo::describeNode(entry);
  }
  const cv::FileNode alpha = entry["alpha"];
  const cv::FileNode beta = entry["beta"];
  const auto finite = [](const cv::FileNode& n) {
    return (n.isReal() || n.isInt()) && std::isfinite(static_cast<double>(n));
  };
  if (!finite(alpha) || static_cast<double>(alpha) <= 0) {
    return "\"alpha\" must be a finite number above 0, got " + tesmo::describeNode(alpha);
  }
  if (!finite(beta)) return "\"beta\" must be a finite number, got " + tesmo::describeNode(beta);
  return std::string();
}

}  // namespace

void TesmoApp::applyCorrectionResult() {
  // The script is another program: a result file it got wrong is logged, never fatal. Valid
  // entries are applied; a refused one is named and its camera keeps its values.
  cv::FileStorage result;
  boost::system::error_code ec;
  try {
    if (boost::filesystem::exists(linearRegressTmpFile, ec)) {
      tesmo::openDocument(result, linearRegressTmpFile);
    }
  } catch (const std::exception& e) {
    LOG(WARNING) << "Intensity correction: can't parse \"" << linearRegressTmpFile
                 << "\": " << e.what();
    return;
  }
  if (!result.isOpened()) {
    LOG(WARNING) << "Intensity correction: can't open \"" << linearRegressTmpFile << "\"";
    return;
  }
  const cv::FileNode node = result["linear_regress"];
  if (!node.isMap()) {
    LOG(WARNING) << "Intensity correction: \"" << linearRegressTmpFile
                 << "\" has no \"linear_regress\" map";
    return;
  }
  std::lock_guard<std::mutex> lock(camerasMutex);
  for (const cv::FileNode& entry : node) {
    const std::string name = entry.name();
    auto camera = std::find_if(cameras.begin(), cameras.end(),
                               [&](const tesmo::Camera& c) { return c.name == name; });
    const std::string why =
        camera == cameras.end() ? "no camera has that name" : refusedResultEntry(entry);
    if (!why.empty()) {
      LOG(WARNING) << "Intensity correction: skipped entry \"" << name << "\" of \""
                   << linearRegressTmpFile << "\": " << why;
      continue;
    }
    camera->alpha = static_cast<double>(entry["alpha"]);
    camera->beta = static_cast<double>(entry["beta"]);
  }
}
