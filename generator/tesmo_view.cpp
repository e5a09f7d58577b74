#include "generator/tesmo_view.h"

#include <glog/logging.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <thread>

#include "common/misc.h"
#include "generator/calc_maps.h"
#include "generator/utils.h"

namespace tesmo {

namespace {

const char* const kInterpolationNames[] = {"NEAREST",  "LINEAR",       "CUBIC",        "AREA",
                                           "LANCZOS4", "LINEAR_EXACT", "NEAREST_EXACT"};
const int kNumInterpolations = 7;

// Largest num_bands_blend whose size step 2^n still fits an int.
const int kMaxBandsBlend = 30;

const double kPi = 3.141592653589793;

const double kIntMax = std::numeric_limits<int>::max();

const char* const kModeText = "\"virtual_camera\" or \"top_view\"";

bool isInBounds(cv::Size size) {
  return size.width >= 1 && size.height >= 1 && size.width <= kMaxViewSide &&
         size.height <= kMaxViewSide && int64_t(size.width) * size.height <= kMaxViewPixels;
}

const std::string& boundsText() {
  static const std::string text = "each side 1.." + std::to_string(kMaxViewSide) +
                                  " and at most " + std::to_string(kMaxViewPixels) + " pixels";
  return text;
}

bool isNumber(const cv::FileNode& node) { return node.isInt() || node.isReal(); }

// Refuses a key of the parameter node itself, which has no section of its own.
[[noreturn]] void refuseViewKey(const char* key, const cv::FileNode& node,
                                const std::string& expected) {
  refuseValue("", key, expected, describeValue(node));
}

// A map key of the parameter node: absent (none) or a map.
cv::FileNode mapKey(const cv::FileNode& node, const char* key) {
  const cv::FileNode n = node[key];
  if (!n.isNone() && !n.isMap()) {
    refuseViewKey(key, n, "a map");
  }
  return n;
}

double toRadians(float degrees) { return kPi * static_cast<double>(degrees / 180.0f); }

// An angle key of `section` in degrees, held in radians; a value that is not a number is held as
// NaN, which checkParams refuses. An absent key changes nothing.
void readAngle(const cv::FileNode& section, const char* key, float& radians) {
  const cv::FileNode node = section[key];
  if (node.isNone()) {
    return;
  }
  const float degrees = isNumber(node) ? static_cast<float>(node.real()) : NAN;
  radians = static_cast<float>(toRadians(degrees));
}

// A rotation within one turn either way, or (bFov) a field of view above 0 and below 180 degrees,
// checked in radians against the radians of the bounds. The conversion from float degrees never
// decreases, and the floats just beyond a bound convert to floats beyond the bound's radians, so
// this takes exactly the float degrees in -360..360 (above 0 and below 180): what writeParams
// writes (-360.0000025 for -360) reads again.
bool isAngle(float radians, bool bFov) {
  if (bFov) {
    return radians > 0.f && radians < static_cast<float>(toRadians(180.f));
  }
  const float turn = static_cast<float>(toRadians(360.f));
  return radians >= -turn && radians <= turn;
}

double toDegrees(float radians) { return 180.0 * (static_cast<double>(radians) / kPi); }

// A key of a section, or none when the section is not a map.
cv::FileNode keyIn(const cv::FileNode& section, const char* key) {
  return section.isMap() ? section[key] : cv::FileNode();
}

std::string numberText(double value) { return cv::format("%g", value); }

std::string sizeText(cv::Size size) {
  return "[" + std::to_string(size.width) + ", " + std::to_string(size.height) + "]";
}

// Checks every field of `p` as the parameter reader does, in its order, then the working size:
// the first field whose value the reader refuses, or would not take (a band count outside
// 0..kMaxBandsBlend, an interpolation flag or a mode without a name), throws the reader's
// std::runtime_error. The message gives the key's value as written in `node` when node holds the
// key, otherwise the field's own value (angles in degrees).
void checkParams(const TesmoViewGenerator::GenerationParams& p, const cv::FileNode& node) {
  const auto refuse = [&node](const char* section, const char* key, const std::string& expected,
                              const std::string& value) {
    const cv::FileNode written = keyIn(*section != '\0' ? keyIn(node, section) : node, key);
    refuseValue(section, key, expected, written.isNone() ? value : describeValue(written));
  };
  const auto refuseAngle = [&refuse](const char* section, const char* key, float radians,
                                     bool bFov) {
    if (!isAngle(radians, bFov)) {
      refuse(section, key,
             bFov ? "a number of degrees above 0 and below 180"
                  : "a number of degrees in -360..360",
             numberText(toDegrees(radians)));
    }
  };

  if (p.mode != TesmoViewGenerator::TopView && p.mode != TesmoViewGenerator::VirtualCamera) {
    refuse("", "mode", kModeText, std::to_string(static_cast<int>(p.mode)));
  }
  if (p.interpolation < 0 || p.interpolation >= kNumInterpolations) {
    std::string names;
    for (int i = 0; i < kNumInterpolations; ++i) {
      names += (i == 0 ? "" : i + 1 < kNumInterpolations ? ", " : " or ") +
               std::string(kInterpolationNames[i]);
    }
    refuse("", "interpolation", names, std::to_string(p.interpolation));
  }
  if (!isInBounds(p.viewSize)) {
    refuse("", "view_size", boundsText(), sizeText(p.viewSize));
  }
  if (!std::isfinite(p.blendBorderWidth)) {
    refuse("", "blend_border_width", "a finite number", numberText(p.blendBorderWidth));
  }
  if (p.numBandsBlend < 0 || p.numBandsBlend > kMaxBandsBlend) {
    refuse("", "num_bands_blend", "an integer in 0.." + std::to_string(kMaxBandsBlend),
           std::to_string(p.numBandsBlend));
  }
  if (!std::isfinite(p.distortion.force)) {
    refuse("distortion", "force", "a finite number", numberText(p.distortion.force));
  }
  if (!(std::isfinite(p.scaleFactor) && p.scaleFactor > 0.f)) {
    refuse("", "scale_factor", "a finite number above 0", numberText(p.scaleFactor));
  }

  // The corners the reader makes of [a0, a1, a2, a3] span (a2 - a0) x (a1 - a3): NaN or infinite
  // corners, and corners whose area a float cannot hold, fail here too.
  const PlaneRoi& roi = p.topView.roi;
  const float area = (roi.r10[0] - roi.r00[0]) * (roi.r01[1] - roi.r00[1]);
  if (!(std::isfinite(area) && area != 0.f)) {
    refuse("top_view", "roi", "a sequence of 4 numbers whose rectangle has a finite non-zero area",
           "[" + numberText(roi.r00[0]) + ", " + numberText(roi.r01[1]) + ", " +
               numberText(roi.r10[0]) + ", " + numberText(roi.r10[1]) + "]");
  }
  refuseAngle("top_view", "rot_z", p.topView.rotZ, /*bFov=*/false);

  const TesmoViewGenerator::GenerationParams::VirtualCameraParams& vc = p.virtualCamera;
  refuseAngle("virtual_camera", "fov", vc.fov, /*bFov=*/true);
  refuseAngle("virtual_camera", "rot_x", vc.rotX, /*bFov=*/false);
  refuseAngle("virtual_camera", "rot_y", vc.rotY, /*bFov=*/false);
  refuseAngle("virtual_camera", "rot_z", vc.rotZ, /*bFov=*/false);
  if (!(std::isfinite(vc.focalDist) && vc.focalDist > 0.f)) {
    refuse("virtual_camera", "focal_dist", "a finite number above 0", numberText(vc.focalDist));
  }

  if (!isInBounds(p.viewSizeCashed)) {
    throw std::runtime_error(
        "Keys \"view_size\" " + sizeText(p.viewSize) + ", \"scale_factor\" " +
        numberText(p.scaleFactor) + " and \"num_bands_blend\" " +
        std::to_string(p.numBandsBlend) + " give a working size of " +
        std::to_string(p.viewSizeCashed.width) + "x" + std::to_string(p.viewSizeCashed.height) +
        "; it must be " + boundsText());
  }
}

// The data of a host or device image, to tell whether create() allocated it anew; none for other
// kinds of array.
const void* imageData(const cv::_OutputArray& out) {
  if (out.isMat()) {
    return out.getMat().data;
  }
  if (out.isUMat()) {
    return out.getUMat().u;
  }
  return nullptr;
}

// `message` in 60-character lines on `out`, made a CV_8UC3 image of `size`: an image of that size
// and type is drawn over as it is, a newly allocated one is cleared to black first.
void drawErrorText(const std::string& message, cv::Size size, const cv::_OutputArray& out) {
  const bool bFits =
      !out.empty() && out.dims() <= 2 && out.size() == size && out.type() == CV_8UC3;
  const void* data = imageData(out);
  out.create(size, CV_8UC3);
  cv::Mat img = out.getMat();
  if (!bFits || imageData(out) != data) {
    img.setTo(cv::Scalar::all(0));
  }
  const double s = std::max(1.0, static_cast<double>(static_cast<float>(size.width) / 1500));
  const size_t kLineChars = 60;
  for (size_t k = 0; k * kLineChars < message.size(); ++k) {
    const std::string piece = message.substr(k * kLineChars, kLineChars);
    const cv::Point origin(10, static_cast<int>(60 + s * 40 * static_cast<double>(k + 1)));
    cv::putText(img, piece, origin, cv::FONT_HERSHEY_SIMPLEX, s, cv::Scalar(255, 255, 255),
                static_cast<int>(s), cv::LINE_8);
  }
}

}  // namespace

std::string InterpolationToString(int flag) {
  if (flag < 0 || flag >= kNumInterpolations) {
    CHECK(0) << "Unsupported interpolation flag";
  }
  return kInterpolationNames[flag];
}

int StringToInterpolation(const std::string& name) {
  for (int i = 0; i < kNumInterpolations; ++i) {
    if (name == kInterpolationNames[i]) {
      return i;
    }
  }
  return -1;
}

void TesmoViewGenerator::GenerationParams::computeViewSize() {
  const double step = std::pow(2.0, numBandsBlend);
  if (!(step >= 1.0 && step <= kIntMax)) {
    viewSizeCashed = cv::Size(0, 0);
    return;
  }
  const int istep = static_cast<int>(step);
  const float fstep = static_cast<float>(istep);
  // Sides beyond an int come out as 0 or INT_MAX, never as an overflowed value.
  const auto side = [&](int requested) {
    const float steps = scaleFactor * static_cast<float>(requested) / fstep;
    if (!(std::fabs(steps) <= static_cast<float>(kIntMax))) {
      return steps > 0 ? static_cast<int>(kIntMax) : 0;
    }
    const double pixels = static_cast<double>(istep) * static_cast<double>(std::lround(steps));
    return static_cast<int>(std::min(std::max(pixels, 0.0), kIntMax));
  };
  viewSizeCashed = cv::Size(side(viewSize.width), side(viewSize.height));
}

TesmoViewGenerator::TesmoViewGenerator(const std::vector<Camera>& cameras, const cv::FileNode& node)
    : cameras(cameras) {
  readParams(node);
  maskGen = std::make_shared<MasksGeneratorVoronoi>();
}

TesmoViewGenerator::TesmoViewGenerator(const std::string& path) {
  cv::FileStorage fs;
  openDocument(fs, path);
  CHECK(fs.isOpened()) << "Can't open " << path;
  readCameras(fs, /*ReadExtrinsics=*/true, cameras);
  readParams(fs["tesmo_view_gen_params"]);
  maskGen = std::make_shared<MasksGeneratorVoronoi>();
}

TesmoViewGenerator::~TesmoViewGenerator() = default;

void TesmoViewGenerator::readParams(const cv::FileNode& node) {
  if (!node.isMap()) {
    return;
  }
  // Read into a copy: a refused value leaves the parameters as they were. A key of the wrong form
  // is refused as it is read; the values, once all are read, by checkParams (a number key that
  // holds no number is read as NaN for it).
  GenerationParams next = params;

  const cv::FileNode mode = node["mode"];
  if (!mode.isNone()) {
    if (!mode.isString()) {
      refuseViewKey("mode", mode, kModeText);
    }
    const std::string value = mode.string();
    if (value == "virtual_camera") {
      next.mode = VirtualCamera;
    } else if (value == "top_view") {
      next.mode = TopView;
    } else {
      CHECK(0) << "Camera mode \"" << value << "\" don't support";
    }
  }

  const cv::FileNode interpolation = node["interpolation"];
  if (!interpolation.isNone()) {
    if (!interpolation.isString()) {
      refuseViewKey("interpolation", interpolation, "a text");
    }
    const std::string name = interpolation.string();
    const int flag = StringToInterpolation(name);
    if (flag < 0) {
      std::cout << "Unsuported interpolation: " << name << "\n";
    } else {
      next.interpolation = flag;
    }
  }

  const cv::FileNode viewSize = node["view_size"];
  if (!viewSize.isNone()) {
    const auto isWhole = [](const cv::FileNode& n) {
      return isNumber(n) && std::floor(n.real()) == n.real();
    };
    if (!(viewSize.isSeq() && viewSize.size() == 2 && isWhole(viewSize[0]) &&
          isWhole(viewSize[1]))) {
      refuseViewKey("view_size", viewSize, "a sequence of 2 integers [width, height]");
    }
    const double w = viewSize[0].real();
    const double h = viewSize[1].real();
    // The sides are checked as read, before their conversion to int could overflow; sides out of
    // bounds are held as 0 x 0, which checkParams refuses.
    const bool bSides = w >= 1 && h >= 1 && w <= kMaxViewSide && h <= kMaxViewSide;
    next.viewSize = bSides ? cv::Size(static_cast<int>(w), static_cast<int>(h)) : cv::Size();
  }

  // The parameter node's own keys have no section name.
  readKey(node, "", "blend_border_width", next.blendBorderWidth);

  // A negative count or one whose size step overflows an int is reported and not taken.
  int numBands = next.numBandsBlend;
  readKey(node, "", "num_bands_blend", numBands);
  if (numBands >= 0 && numBands <= kMaxBandsBlend) {
    next.numBandsBlend = numBands;
  } else {
    std::cout << "Unsupported num_bands_blend: " << numBands << "\n";
  }

  const cv::FileNode distortion = mapKey(node, "distortion");
  readKey(distortion, "distortion", "pow", next.distortion.pow);
  readKey(distortion, "distortion", "force", next.distortion.force);

  const cv::FileNode scaleFactor = node["scale_factor"];
  if (!scaleFactor.isNone()) {
    next.scaleFactor = isNumber(scaleFactor) ? static_cast<float>(scaleFactor.real()) : NAN;
  }

  const cv::FileNode topView = mapKey(node, "top_view");
  if (topView.isMap()) {
    const cv::FileNode roi = topView["roi"];
    if (!roi.isNone()) {
      // [a0, a1, a2, a3]; an element that is not a number, or a sequence of another length,
      // leaves NaN.
      float a[4] = {NAN, NAN, NAN, NAN};
      for (int i = 0; roi.isSeq() && roi.size() == 4 && i < 4; ++i) {
        if (isNumber(roi[i])) a[i] = static_cast<float>(roi[i].real());
      }
      next.topView.roi = PlaneRoi(cv::Vec3f(a[0], a[3], 0.f), cv::Vec3f(a[0], a[1], 0.f),
                                  cv::Vec3f(a[2], a[3], 0.f), cv::Vec3f(a[2], a[1], 0.f));
    }
    readAngle(topView, "rot_z", next.topView.rotZ);
  }

  const cv::FileNode virtualCamera = mapKey(node, "virtual_camera");
  if (virtualCamera.isMap()) {
    GenerationParams::VirtualCameraParams& vc = next.virtualCamera;
    readKey(virtualCamera, "virtual_camera", "def_camera_ind", vc.defCameraInd);
    readAngle(virtualCamera, "fov", vc.fov);
    readAngle(virtualCamera, "rot_x", vc.rotX);
    readAngle(virtualCamera, "rot_y", vc.rotY);
    readAngle(virtualCamera, "rot_z", vc.rotZ);
    readKey(virtualCamera, "virtual_camera", "focal_dist", vc.focalDist);
  }

  next.computeViewSize();
  checkParams(next, node);
  params = next;
}

void TesmoViewGenerator::writeParams(cv::FileStorage& fs) const {
  fs << "mode" << (params.mode == VirtualCamera ? "virtual_camera" : "top_view");
  fs << "interpolation" << InterpolationToString(params.interpolation);
  fs << "view_size"
     << "[:" << params.viewSize.width << params.viewSize.height << "]";
  fs << "num_bands_blend" << params.numBandsBlend;
  fs << "blend_border_width" << params.blendBorderWidth;
  fs << "distortion"
     << "{";
  fs << "pow" << params.distortion.pow;
  fs << "force" << params.distortion.force;
  fs << "}";
  fs << "scale_factor" << params.scaleFactor;

  const GenerationParams::VirtualCameraParams& vc = params.virtualCamera;
  fs << "virtual_camera"
     << "{";
  fs << "def_camera_ind" << vc.defCameraInd;
  fs << "fov" << toDegrees(vc.fov);
  fs << "rot_x" << toDegrees(vc.rotX);
  fs << "rot_y" << toDegrees(vc.rotY);
  fs << "rot_z" << toDegrees(vc.rotZ);
  fs << "focal_dist" << vc.focalDist;
  fs << "}";

  const PlaneRoi& roi = params.topView.roi;
  fs << "top_view"
     << "{";
  fs << "roi"
     << "[:" << roi.r00[0] << roi.r01[1] << roi.r10[0] << roi.r10[1] << "]";
  fs << "rot_z" << toDegrees(params.topView.rotZ);
  fs << "}";
}

void TesmoViewGenerator::computeMaps(std::vector<cv::Mat>& outWarpMaps,
                                     std::vector<cv::Mat>& outMasks) const {
  CV_Assert(!cameras.empty());
  const cv::Size size = params.viewSizeCashed;
  CV_Assert(size.width > 0 && size.height > 0);

  const size_t numCams = cameras.size();
  outWarpMaps.resize(numCams);
  outMasks.resize(numCams);

  // Per camera the pose that brings the view's corners into camera coordinates; the corners are
  // given in the frame that pose maps from.
  std::vector<Pose3f> poses(numCams);
  PlaneRoi corners;
  if (params.mode == TopView) {
    const float a = params.topView.rotZ;
    const float c = std::cos(a);
    const float s = std::sin(a);
    const cv::Matx33f Rz(c, -s, 0.f, s, c, 0.f, 0.f, 0.f, 1.f);
    std::vector<Camera> rotated(cameras);
    cv::Vec3f centre(0.f, 0.f, 0.f);
    for (size_t i = 0; i < numCams; ++i) {
      rotated[i].poseW2C.R = rotated[i].poseW2C.R * Rz;
      centre += rotated[i].getCenter();
      poses[i] = rotated[i].poseW2C;
    }
    centre *= 1.f / static_cast<float>(numCams);
    centre[2] = 0.f;
    corners = params.topView.roi + centre;
  } else {
    const GenerationParams::VirtualCameraParams& vc = params.virtualCamera;
    const float w = 2.f * std::tan(vc.fov / 2.f);
    const float h = w / static_cast<float>(size.width) * static_cast<float>(size.height);
    const cv::Matx33f Rv = CalcRotation(vc.rotX, vc.rotY, vc.rotZ);
    const float f = vc.focalDist;
    corners =
        PlaneRoi(f * cv::Vec3f(-w / 2.f, -h / 2.f, 1.f), f * cv::Vec3f(-w / 2.f, h / 2.f, 1.f),
                 f * cv::Vec3f(w / 2.f, -h / 2.f, 1.f), f * cv::Vec3f(w / 2.f, h / 2.f, 1.f));
    for (size_t i = 0; i < numCams; ++i) {
      poses[i] = Pose3f(cameras[i].poseW2C.R * Rv, cameras[i].poseW2C.T);
    }
  }

  for (size_t i = 0; i < numCams; ++i) {
    const Camera& cam = cameras[i];
    const Pose3f& p = poses[i];
    CalcCameraToPlaneMapBilinear(cam.model, cam.K, cam.D, cam.frameSize, p * corners.r00,
                                 p * corners.r01, p * corners.r10, p * corners.r11, size,
                                 params.distortion, &outWarpMaps[i], &outMasks[i]);
  }
}

void TesmoViewGenerator::stitchMasks(std::vector<cv::Mat>& inOutMasks, cv::Mat& dstMask) const {
  CHECK(inOutMasks.size() == cameras.size());

  dstMask = inOutMasks[0].clone();
  for (size_t i = 1; i < inOutMasks.size(); ++i) {
    cv::bitwise_or(dstMask, inOutMasks[i], dstMask);
  }

  const bool bBlend = static_cast<double>(params.blendBorderWidth) >= 0.1;
  std::vector<cv::Mat> visibility;
  if (bBlend) {
    for (const cv::Mat& mask : inOutMasks) {
      visibility.push_back(mask.clone());
    }
  }

  if (maskGen) {
    maskGen->genMasks(*this, inOutMasks);
    CHECK(inOutMasks.size() == cameras.size());
  }

  if (bBlend) {
    blendMasks(visibility, inOutMasks);
  } else {
    for (cv::Mat& mask : inOutMasks) {
      if (mask.depth() != CV_32F) {
        mask.convertTo(mask, CV_32F, 1.0);
      }
    }
  }
}

void TesmoViewGenerator::blendMasks(const std::vector<cv::Mat>& backMasks,
                                    std::vector<cv::Mat>& inOutMasks) const {
  const cv::Size size = params.viewSizeCashed;
  const double margin =
      std::max(1.0, static_cast<double>(static_cast<float>(size.width + size.height) *
                                        params.blendBorderWidth / 2));

  for (size_t i = 0; i < inOutMasks.size(); ++i) {
    // Distance to the seam region, as a ramp from 1 inside it down to 0 at margin pixels out.
    cv::Mat outside, ramp;
    cv::bitwise_not(inOutMasks[i], outside);
    cv::distanceTransform(outside, ramp, cv::DIST_L2, cv::DIST_MASK_PRECISE, CV_32F);
    // Distance to the edge of the camera's visible area, in margins, at most 1.
    cv::Mat edge;
    cv::distanceTransform(backMasks[i], edge, cv::DIST_L2, cv::DIST_MASK_PRECISE, CV_32F);

    cv::Mat weight(size, CV_32F);
    CV_Assert(ramp.isContinuous() && edge.isContinuous() && weight.isContinuous() &&
              backMasks[i].isContinuous() && backMasks[i].type() == CV_8U && ramp.size() == size &&
              backMasks[i].size() == size);
    const float* rampData = ramp.ptr<float>();
    const float* edgeData = edge.ptr<float>();
    const uchar* backData = backMasks[i].ptr<uchar>();
    float* weightData = weight.ptr<float>();
    const size_t total = weight.total();
    for (size_t k = 0; k < total; ++k) {
      float y = static_cast<float>(1.0 - static_cast<double>(rampData[k]) / margin);
      if (y < 0.f || backData[k] == 0) {
        y = 0.f;
      }
      float x = static_cast<float>(static_cast<double>(edgeData[k]) / margin);
      if (x > 1.f) {
        x = 1.f;
      }
      // With y = 0 every round keeps 0, and with x = 1 every round keeps y.
      if (y > 0.f && x < 1.f) {
        for (int round = 0; round < 5; ++round) {
          const double lift = static_cast<double>(std::pow(y, 1.3f));
          y = static_cast<float>(y * (x + lift * (1.0 - x)));
          x = std::min(1.f, 2.f * x);
        }
      }
      weightData[k] = y;
    }
    inOutMasks[i] = weight;
  }
}

void TesmoViewGenerator::prepareWeights(cv::Mat& dstMask, std::vector<cv::Mat>* warpMaps,
                                        std::vector<cv::Mat>* masks,
                                        std::vector<std::vector<cv::Mat>>* weightPyrs,
                                        std::vector<cv::Mat>* weightSums) {
  // setParams takes any record: what the reader refuses is refused here, before anything is
  // computed from it.
  checkParams(params, cv::FileNode());
  computeMaps(*warpMaps, *masks);
  stitchMasks(*masks, dstMask);
  preparePyramids(*masks, weightPyrs, weightSums);
  computeCamerasROI(*warpMaps, *masks);
}

void TesmoViewGenerator::preparePyramids(const std::vector<cv::Mat>& masks,
                                         std::vector<std::vector<cv::Mat>>* weightPyrs,
                                         std::vector<cv::Mat>* dstWeightPyr) const {
  const int numLevels = params.numBandsBlend + 1;
  weightPyrs->assign(masks.size(), std::vector<cv::Mat>());
  for (size_t i = 0; i < masks.size(); ++i) {
    std::vector<cv::Mat> weightPyr1c(numLevels);
    if (masks[i].type() != CV_8UC1) {
      weightPyr1c[0] = masks[i].clone();
    } else {
      masks[i].convertTo(weightPyr1c[0], CV_32F, 0.00392156862745098);
    }
    for (int bi = 0; bi < params.numBandsBlend; ++bi) {
      CV_Assert(weightPyr1c[bi].cols / 2 != 0 && weightPyr1c[bi].cols % 2 == 0);
      CV_Assert(weightPyr1c[bi].rows / 2 != 0 && weightPyr1c[bi].rows % 2 == 0);
      cv::pyrDown(weightPyr1c[bi], weightPyr1c[bi + 1], cv::Size(), cv::BORDER_REFLECT_101);
    }
    std::vector<cv::Mat>& levels = (*weightPyrs)[i];
    levels.resize(numLevels);
    for (int l = 0; l < numLevels; ++l) {
      cv::cvtColor(weightPyr1c[l], levels[l], cv::COLOR_GRAY2BGR);
    }
  }

  dstWeightPyr->resize(numLevels);
  for (int l = 0; l < numLevels; ++l) {
    cv::Mat& sum = (*dstWeightPyr)[l];
    sum.create((*weightPyrs)[0][l].size(), CV_32FC3);
    sum.setTo(cv::Scalar::all(0));
    for (size_t i = 0; i < weightPyrs->size(); ++i) {
      cv::add(sum, (*weightPyrs)[i][l], sum);
    }
  }
}

void TesmoViewGenerator::computeCamerasROI(const std::vector<cv::Mat>& warpMaps,
                                           const std::vector<cv::Mat>& masks) {
  CHECK(cameras.size() == warpMaps.size());
  CHECK(cameras.size() == masks.size());
  camerasROI.resize(cameras.size());
  for (size_t i = 0; i < cameras.size(); ++i) {
    CHECK(masks[i].size() == params.viewSizeCashed);
    CHECK(warpMaps[i].size() == params.viewSizeCashed);
    CHECK(masks[i].type() == CV_32FC1);
    CHECK(warpMaps[i].type() == CV_32FC2);

    const cv::Size frameSize = cameras[i].frameSize;
    cv::Point minPt(frameSize.width - 1, frameSize.height - 1);
    cv::Point maxPt(0, 0);
    for (int y = 0; y < masks[i].rows; ++y) {
      const float* weight = masks[i].ptr<float>(y);
      const cv::Vec2f* map = warpMaps[i].ptr<cv::Vec2f>(y);
      for (int x = 0; x < masks[i].cols; ++x) {
        if (weight[x] > 0.001f) {
          const int u = static_cast<int>(0.5 + map[x][0]);
          const int v = static_cast<int>(0.5 + map[x][1]);
          minPt.x = std::min(minPt.x, u);
          minPt.y = std::min(minPt.y, v);
          maxPt.x = std::max(maxPt.x, u);
          maxPt.y = std::max(maxPt.y, v);
        }
      }
    }
    minPt.x = std::max(minPt.x, 0);
    minPt.y = std::max(minPt.y, 0);
    maxPt.x = std::min(maxPt.x, frameSize.width - 1);
    maxPt.y = std::min(maxPt.y, frameSize.height - 1);
    camerasROI[i] =
        cv::Rect(minPt.x, minPt.y, std::max(maxPt.x - minPt.x, 0), std::max(maxPt.y - minPt.y, 0));
  }
}

void TesmoViewGenerator::checkPreparedCameras(size_t numPrepared) const {
  if (cameras.size() != numPrepared) {
    CV_Error_(cv::Error::StsUnmatchedSizes,
              ("The cameras changed since prepare: %d prepared, %d now; prepare again",
               static_cast<int>(numPrepared), static_cast<int>(cameras.size())));
  }
}

void TesmoViewGenerator::reportFrameSizes(const std::vector<cv::_OutputArray>& frames) {
  reportedFrameSizes.resize(cameras.size());
  for (size_t i = 0; i < frames.size() && i < cameras.size(); ++i) {
    const cv::Size size = frames[i].empty() ? cv::Size() : frames[i].size();
    const cv::Size calibrated = cameras[i].frameSize;
    if (size.area() == 0 || size == calibrated) {
      reportedFrameSizes[i] = cv::Size();
    } else if (size != reportedFrameSizes[i]) {
      reportedFrameSizes[i] = size;
      LOG(WARNING) << "Camera \"" << cameras[i].name << "\": frames of " << size.width << "x"
                   << size.height << ", calibrated for " << calibrated.width << "x"
                   << calibrated.height << "; its part of the view is misplaced";
    }
  }
}

void TesmoViewGenerator::finishPrepare() {
  prepared = params;
  bIsOk = true;
}

void TesmoViewGenerator::handleException(const std::exception_ptr& eptr) {
  if (!eptr) {
    throw std::bad_exception();
  }
  bIsOk = false;
  try {
    std::rethrow_exception(eptr);
  } catch (const std::exception& e) {
    std::cout << "Caught exception: \n" << e.what() << "\n";
    errorMessage = e.what();
  }
}

void TesmoViewGenerator::drawDebugFrame(const cv::_OutputArray& out) {
  const cv::Size size =
      isInBounds(params.viewSizeCashed) ? params.viewSizeCashed : GenerationParams().viewSizeCashed;
  try {
    if (out.kind() == cv::_InputArray::CUDA_GPU_MAT) {
      // OpenCV draws text on host images only: drawn on a host copy of the GPU image (reused as
      // it is, like a host image of the right size and type), then uploaded. The GPU layer
      // cannot allocate a plain cv::cuda::GpuMat: one without the working size and CV_8UC3 fails
      // the upload, before anything is written into it.
      cv::cuda::GpuMat& gpuOut = out.getGpuMatRef();
      cv::Mat host;
      if (!gpuOut.empty() && gpuOut.type() == CV_8UC3) {
        gpu::download(gpuOut, host);
      }
      drawErrorText(errorMessage, size, host);
      gpu::upload(host, gpuOut);
    } else {
      drawErrorText(errorMessage, size, out);
    }
  } catch (const std::exception& e) {
    // A failing generator draws every frame set: at most one line a second.
    LOG_EVERY_T(ERROR, 1.0) << "Error image not written into the output (" << e.what()
                            << "); the error: " << errorMessage;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace tesmo
