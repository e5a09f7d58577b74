#include "generator/utils.h"

#include <glog/logging.h>

#include <algorithm>

#include "common/misc.h"

namespace tesmo {

bool readCameras(const std::string& CommonConfig, bool ReadExtrinsics,
                 std::vector<Camera>& OutCameras) {
  cv::FileStorage FSCommon;
  openDocument(FSCommon, CommonConfig);
  CHECK(FSCommon.isOpened()) << "Can't open " << CommonConfig;
  return readCameras(FSCommon, ReadExtrinsics, OutCameras);
}

bool readCameras(const cv::FileStorage& FSCommon, bool ReadExtrinsics,
                 std::vector<Camera>& OutCameras) {
  CHECK(FSCommon.isOpened()) << "File isn't opened";
  CHECK(FSCommon["intrinsics"].isMap()) << "Can't find \"intrinsics\" node";
  if (!ReadExtrinsics) {
    return readCameras(FSCommon["intrinsics"], cv::FileNode(), OutCameras);
  }
  CHECK(FSCommon["extrinsics"].isMap() || FSCommon["extrinsics"].isString())
      << "Can't find \"extrinsics\" node";
  if (FSCommon["extrinsics"].isMap()) {
    return readCameras(FSCommon["intrinsics"], FSCommon["extrinsics"], OutCameras);
  }
  const std::string extrinsicsPath = FSCommon["extrinsics"].string();
  cv::FileStorage FSExtrinsics;
  openDocument(FSExtrinsics, extrinsicsPath);
  CHECK(FSExtrinsics.isOpened()) << "Can't open " << extrinsicsPath;
  CHECK(FSExtrinsics["extrinsics"].isMap()) << "\"extrinsics\" node isn't \"map\" or absent";
  return readCameras(FSCommon["intrinsics"], FSExtrinsics["extrinsics"], OutCameras);
}

bool readCameras(const cv::FileNode& IntrinsicsNode, const cv::FileNode& ExtrinsicsNode,
                 std::vector<Camera>& OutCameras) {
  const bool bReadExtrinsics = !ExtrinsicsNode.isNone();
  CHECK(!bReadExtrinsics || IntrinsicsNode.size() == ExtrinsicsNode.size())
      << "Mismatch intrinsics & extrinsics num";

  for (cv::FileNodeIterator it = IntrinsicsNode.begin(); it != IntrinsicsNode.end(); ++it) {
    const cv::FileNode entry = *it;
    Camera camera;
    camera.name = entry.name();

    if (entry.isString()) {
      const std::string path = entry.string();
      cv::FileStorage FSIntrinsics;
      openDocument(FSIntrinsics, path);
      CHECK(FSIntrinsics.isOpened()) << "Can't open intrinsics file \"" << path << "\"";
      camera.readIntrinsics(FSIntrinsics.root());
    } else if (entry.isMap()) {
      camera.readIntrinsics(entry);
    } else {
      CHECK(0) << "Can't find camera intrinsics with name" << camera.name;
    }
    if (bReadExtrinsics) {
      camera.readExtrinsics(ExtrinsicsNode[camera.name]);
    }

    auto existing = std::find_if(OutCameras.begin(), OutCameras.end(),
                                 [&](const Camera& c) { return c.name == camera.name; });
    if (existing != OutCameras.end()) {
      existing->D = camera.D;
      existing->K = camera.K;
      existing->frameSize = camera.frameSize;
      existing->model = camera.model;
      if (bReadExtrinsics) {
        existing->poseW2C = camera.poseW2C;
      }
    } else {
      OutCameras.push_back(camera);
    }
  }

  std::stable_sort(OutCameras.begin(), OutCameras.end(),
                   [](const Camera& a, const Camera& b) { return a.name < b.name; });
  return true;
}

void writeExtrinsics(cv::FileStorage& fs, const std::vector<Camera>& cameras) {
  fs << "extrinsics"
     << "{";
  for (const Camera& camera : cameras) {
    fs << camera.name << "{";
    fs << "R" << cv::Mat(camera.poseW2C.R);
    fs << "T"
       << "[:" << camera.poseW2C.T[0] << camera.poseW2C.T[1] << camera.poseW2C.T[2] << "]";
    fs << "}";
  }
  fs << "}";
}

cv::Size scaledFrameSize(const cv::Size& size, double scale) {
  if (scale == 1.0) return size;
  return cv::Size(static_cast<int>(0.5 + size.width * scale),
                  static_cast<int>(0.5 + size.height * scale));
}

void applyScaleToIntrinsics(std::vector<Camera>& cameras, const FrameStreams& streams) {
  CHECK(cameras.size() == streams.size());
  for (size_t i = 0; i < streams.size(); ++i) {
    const double s = streams[static_cast<int>(i)].stream->getScale();
    if (s == 1.0) {
      continue;
    }
    Camera& camera = cameras[i];
    camera.frameSize = scaledFrameSize(camera.frameSize, s);
    const float sf = static_cast<float>(s);
    const cv::Matx33f K = static_cast<cv::Matx33f>(camera.K);
    camera.K = cv::Mat(K * cv::Matx33f::diag(cv::Vec3f(sf, sf, sf)), /*copyData=*/true);
  }
}

void camerasVectoToMap(const std::vector<Camera>& InCameras,
                       std::map<std::string, Camera>& OutCameras) {
  for (const Camera& camera : InCameras) {
    OutCameras[camera.name] = camera;
  }
}

}  // namespace tesmo
