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

const char* angleText(bool bFov) {
  return bFov ? "a number of degrees above 0 and below 180" : "a number of degrees in -360..360";
}

bool isPositive(float value) { return std::isfinite(value) && value > 0.f; }

const char* const kPositiveText = "a finite number above 0";

// The corners the reader makes of [a0, a1, a2, a3] span (a2 - a0) x (a1 - a3): NaN or infinite
// corners, and corners whose area a float cannot hold, are refused too.
bool isRoi(const PlaneRoi& roi) {
  const float area = (roi.r10[0] - roi.r00[0]) * (roi.r01[1] - roi.r00[1]);
  return std::isfinite(area) && area != 0.f;
}

const char* const kRoiText = "a sequence of 4 numbers whose rectangle has a finite non-zero area";

// Corner coordinates of a rectangle that differ by at most this fraction of the largest coordinate
// count as equal: far above the rounding of the few float operations a caller makes corners with,
// far below any offset that shows in a view.
constexpr float kRoiTolerance = 1e-5f;

// Whether the corners are those the reader makes of [a0, a1, a2, a3]: r00 = (a0, a3, 0),
// r01 = (a0, a1, 0), r10 = (a2, a3, 0), r11 = (a2, a1, 0), within kRoiTolerance. Only then does
// what writeParams writes of them (r00.x, r01.y, r10.x, r10.y) rebuild the rectangle composed.
bool isPlaneRectangle(const PlaneRoi& roi) {
  const cv::Vec3f corners[] = {roi.r00, roi.r01, roi.r10, roi.r11};
  float largest = 0.f;
  for (const cv::Vec3f& c : corners) {
    for (int k = 0; k < 3; ++k) {
      if (!std::isfinite(c[k])) {
        return false;
      }
      largest = std::max(largest, std::fabs(c[k]));
    }
  }
  const float tolerance = kRoiTolerance * largest;
  const auto same = [tolerance](float a, float b) { return std::fabs(a - b) <= tolerance; };
  return same(roi.r01[0], roi.r00[0]) && same(roi.r10[1], roi.r00[1]) &&
         same(roi.r11[0], roi.r10[0]) && same(roi.r11[1], roi.r01[1]) && same(roi.r00[2], 0.f) &&
         same(roi.r01[2], 0.f) && same(roi.r10[2], 0.f) && same(roi.r11[2], 0.f);
}

const char* const kPlaneRectangleText =
    "the corners of a rectangle in the plane z = 0 (r01 beside r00 along y, r10 beside r00 along "
    "x, r11 opposite r00)";

double toDegrees(float radians) { return 180.0 * (static_cast<double>(radians) / kPi); }

std::string numberText(double value) { return cv::format("%g", value); }

std::string sizeText(cv::Size size) {
  return "[" + std::to_string(size.width) + ", " + std::to_string(size.height) + "]";
}

std::string cornersText(const PlaneRoi& roi) {
  const auto corner = [](const char* name, const cv::Vec3f& c) {
    return std::string(name) + " (" + numberText(c[0]) + ", " + numberText(c[1]) + ", " +
           numberText(c[2]) + ")";
  };
  return corner("r00", roi.r00) + ", " + corner("r01", roi.r01) + ", " + corner("r10", roi.r10) +
         ", " + corner("r11", roi.r11);
}

// The radians that the reader makes of what writeParams writes of `radians` (its degrees in
// double precision).
float readBackAngle(float radians) {
  return static_cast<float>(toRadians(static_cast<float>(toDegrees(radians))));
}

using Params = TesmoViewGenerator::GenerationParams;

// The working size of p, which the reader takes only within the bounds of isInBounds.
void checkWorkingSize(const Params& p) {
  if (!isInBounds(p.viewSizeCashed)) {
    throw std::runtime_error(
        "Keys \"view_size\" " + sizeText(p.viewSize) + ", \"scale_factor\" " +
        numberText(p.scaleFactor) + " and \"num_bands_blend\" " + std::to_string(p.numBandsBlend) +
        " give a working size of " + std::to_string(p.viewSizeCashed.width) + "x" +
        std::to_string(p.viewSizeCashed.height) + "; it must be " + boundsText());
  }
}

// The working size that setParams set, which the reader always derives with computeViewSize.
void checkDerivedWorkingSize(const Params& p) {
  Params derived = p;
  derived.computeViewSize();
  if (derived.viewSizeCashed != p.viewSizeCashed) {
    throw std::runtime_error(
        "Working size " + std::to_string(p.viewSizeCashed.width) + "x" +
        std::to_string(p.viewSizeCashed.height) + " does not follow from \"view_size\" " +
        sizeText(p.viewSize) + ", \"scale_factor\" " + numberText(p.scaleFactor) +
        " and \"num_bands_blend\" " + std::to_string(p.numBandsBlend) + ", which give " +
        std::to_string(derived.viewSizeCashed.width) + "x" +
        std::to_string(derived.viewSizeCashed.height));
  }
}

// Checks a whole record (one that setParams set) field by field, in the order the reader reads
// them, then its working size: the first field whose value the reader refuses, or could not
// produce (a band count outside 0..kMaxBandsBlend, an interpolation flag or a mode without a
// name, a roi that is no rectangle of the plane, an angle whose written degrees read back as one
// it refuses, a working size that computeViewSize does not derive), throws std::runtime_error
// naming the field and its own value (angles in degrees).
void checkRecord(const Params& p) {
  if (p.mode != TesmoViewGenerator::TopView && p.mode != TesmoViewGenerator::VirtualCamera) {
    refuseValue("", "mode", kModeText, std::to_string(static_cast<int>(p.mode)));
  }
  if (p.interpolation < 0 || p.interpolation >= kNumInterpolations) {
    std::string names;
    for (int i = 0; i < kNumInterpolations; ++i) {
      names += (i == 0 ? "" : i + 1 < kNumInterpolations ? ", " : " or ") +
               std::string(kInterpolationNames[i]);
    }
    refuseValue("", "interpolation", names, std::to_string(p.interpolation));
  }
  if (!isInBounds(p.viewSize)) {
    refuseValue("", "view_size", boundsText(), sizeText(p.viewSize));
  }
  if (!std::isfinite(p.blendBorderWidth)) {
    refuseValue("", "blend_border_width", "a finite number", numberText(p.blendBorderWidth));
  }
  if (p.numBandsBlend < 0 || p.numBandsBlend > kMaxBandsBlend) {
    refuseValue("", "num_bands_blend", "an integer in 0.." + std::to_string(kMaxBandsBlend),
                std::to_string(p.numBandsBlend));
  }
  if (!std::isfinite(p.distortion.force)) {
    refuseValue("distortion", "force", "a finite number", numberText(p.distortion.force));
  }
  if (!isPositive(p.scaleFactor)) {
    refuseValue("", "scale_factor", kPositiveText, numberText(p.scaleFactor));
  }
  const PlaneRoi& roi = p.topView.roi;
  if (!isRoi(roi)) {
    refuseValue("top_view", "roi", kRoiText,
                "[" + numberText(roi.r00[0]) + ", " + numberText(roi.r01[1]) + ", " +
                    numberText(roi.r10[0]) + ", " + numberText(roi.r10[1]) + "]");
  }
  if (!isPlaneRectangle(roi)) {
    refuseValue("top_view", "roi", kPlaneRectangleText, cornersText(roi));
  }
  const struct {
    const char* section;
    const char* key;
    float radians;
    bool bFov;
  } angles[] = {{"top_view", "rot_z", p.topView.rotZ, false},
                {"virtual_camera", "fov", p.virtualCamera.fov, true},
                {"virtual_camera", "rot_x", p.virtualCamera.rotX, false},
                {"virtual_camera", "rot_y", p.virtualCamera.rotY, false},
                {"virtual_camera", "rot_z", p.virtualCamera.rotZ, false}};
  for (const auto& a : angles) {
    if (!isAngle(a.radians, a.bFov) || !isAngle(readBackAngle(a.radians), a.bFov)) {
      refuseValue(a.section, a.key, angleText(a.bFov), numberText(toDegrees(a.radians)));
    }
  }
  if (!isPositive(p.virtualCamera.focalDist)) {
    refuseValue("virtual_camera", "focal_dist", kPositiveText,
                numberText(p.virtualCamera.focalDist));
  }
  checkDerivedWorkingSize(p);
  checkWorkingSize(p);
}

// Writes every field of p but the working size as keys of the map open in fs.
void writeRecord(cv::FileStorage& fs, const Params& p) {
  fs << "mode" << (p.mode == TesmoViewGenerator::VirtualCamera ? "virtual_camera" : "top_view");
  fs << "interpolation" << InterpolationToString(p.interpolation);
  fs << "view_size"
     << "[:" << p.viewSize.width << p.viewSize.height << "]";
  fs << "num_bands_blend" << p.numBandsBlend;
  fs << "blend_border_width" << p.blendBorderWidth;
  fs << "distortion"
     << "{";
  fs << "pow" << p.distortion.pow;
  fs << "force" << p.distortion.force;
  fs << "}";
  fs << "scale_factor" << p.scaleFactor;

  const Params::VirtualCameraParams& vc = p.virtualCamera;
  fs << "virtual_camera"
     << "{";
  fs << "def_camera_ind" << vc.defCameraInd;
  fs << "fov" << toDegrees(vc.fov);
  fs << "rot_x" << toDegrees(vc.rotX);
  fs << "rot_y" << toDegrees(vc.rotY);
  fs << "rot_z" << toDegrees(vc.rotZ);
  fs << "focal_dist" << vc.focalDist;
  fs << "}";

  const PlaneRoi& roi = p.topView.roi;
  fs << "top_view"
     << "{";
  fs << "roi"
     << "[:" << roi.r00[0] << roi.r01[1] << roi.r10[0] << roi.r10[1] << "]";
  fs << "rot_z" << toDegrees(p.topView.rotZ);
  fs << "}";
}

// One reading of a parameter node (a map) into a copy of the record it updates, key by key, each
// checked where it is read. A key of the wrong form is refused at once (std::runtime_error); a
// value out of its range is refused when the whole node has been read, so that a key of the
// wrong form anywhere in the node is what the message names first. With bReport, an unknown
// "interpolation" and a "num_bands_blend" outside 0..kMaxBandsBlend are printed to standard
// output (they are not taken either way).
class ParamsReader {
 public:
  ParamsReader(const cv::FileNode& node, const Params& from, bool bReport)
      : node_(node), next_(from), bReport_(bReport) {}

  // Reads "mode", the first key: the text of a mode without a name, which ends the reading, or
  // an empty text.
  std::string readMode();
  // Reads every other key, then the working size; throws the first refusal.
  Params readRest();

 private:
  void readInterpolation();
  void readViewSize();
  void readBlending();
  void readScaleFactor();
  void readTopView();
  void readVirtualCamera();
  // An angle key of `section` in degrees, held in radians.
  void readAngle(const cv::FileNode& section, const char* sectionName, const char* key, bool bFov,
                 float& radians);
  // Keeps the first value refused, written as `written`.
  void refuse(const char* sectionName, const char* key, const std::string& expected,
              const cv::FileNode& written);

  const cv::FileNode& node_;
  Params next_;
  const bool bReport_;
  // The first value refused.
  bool bRefused_ = false;
  const char* refusedSection_ = "";
  const char* refusedKey_ = "";
  std::string refusedExpected_;
  std::string refusedValue_;
};

void ParamsReader::refuse(const char* sectionName, const char* key, const std::string& expected,
                          const cv::FileNode& written) {
  if (bRefused_) {
    return;
  }
  bRefused_ = true;
  refusedSection_ = sectionName;
  refusedKey_ = key;
  refusedExpected_ = expected;
  refusedValue_ = describeValue(written);
}

std::string ParamsReader::readMode() {
  const cv::FileNode mode = node_["mode"];
  if (mode.isNone()) {
    return std::string();
  }
  if (!mode.isString()) {
    refuseViewKey("mode", mode, kModeText);
  }
  const std::string value = mode.string();
  if (value == "virtual_camera") {
    next_.mode = TesmoViewGenerator::VirtualCamera;
  } else if (value == "top_view") {
    next_.mode = TesmoViewGenerator::TopView;
  } else {
    return "Camera mode \"" + value + "\" don't support";
  }
  return std::string();
}

Params ParamsReader::readRest() {
  readInterpolation();
  readViewSize();
  readBlending();
  readScaleFactor();
  readTopView();
  readVirtualCamera();
  if (bRefused_) {
    refuseValue(refusedSection_, refusedKey_, refusedExpected_, refusedValue_);
  }
  next_.computeViewSize();
  checkWorkingSize(next_);
  return next_;
}

void ParamsReader::readInterpolation() {
  const cv::FileNode interpolation = node_["interpolation"];
  if (interpolation.isNone()) {
    return;
  }
  if (!interpolation.isString()) {
    refuseViewKey("interpolation", interpolation, "a text");
  }
  const std::string name = interpolation.string();
  const int flag = StringToInterpolation(name);
  if (flag >= 0) {
    next_.interpolation = flag;
  } else if (bReport_) {
    std::cout << "Unsuported interpolation: " << name << "\n";
  }
}

void ParamsReader::readViewSize() {
  const cv::FileNode viewSize = node_["view_size"];
  if (viewSize.isNone()) {
    return;
  }
  const auto isWhole = [](const cv::FileNode& n) {
    return isNumber(n) && std::floor(n.real()) == n.real();
  };
  if (!(viewSize.isSeq() && viewSize.size() == 2 && isWhole(viewSize[0]) && isWhole(viewSize[1]))) {
    refuseViewKey("view_size", viewSize, "a sequence of 2 integers [width, height]");
  }
  const double w = viewSize[0].real();
  const double h = viewSize[1].real();
  // The sides are checked before their conversion to int could overflow.
  const bool bSides = w >= 1 && h >= 1 && w <= kMaxViewSide && h <= kMaxViewSide;
  const cv::Size size = bSides ? cv::Size(static_cast<int>(w), static_cast<int>(h)) : cv::Size();
  if (isInBounds(size)) {
    next_.viewSize = size;
  } else {
    refuse("", "view_size", boundsText(), viewSize);
  }
}

// "blend_border_width", "num_bands_blend" and "distortion".
void ParamsReader::readBlending() {
  // The parameter node's own keys have no section name.
  readKey(node_, "", "blend_border_width", next_.blendBorderWidth);

  // A negative count or one whose size step overflows an int is reported and not taken.
  int numBands = next_.numBandsBlend;
  readKey(node_, "", "num_bands_blend", numBands);
  if (numBands >= 0 && numBands <= kMaxBandsBlend) {
    next_.numBandsBlend = numBands;
  } else if (bReport_) {
    std::cout << "Unsupported num_bands_blend: " << numBands << "\n";
  }

  const cv::FileNode distortion = mapKey(node_, "distortion");
  readKey(distortion, "distortion", "pow", next_.distortion.pow);
  readKey(distortion, "distortion", "force", next_.distortion.force);
}

void ParamsReader::readScaleFactor() {
  const cv::FileNode scaleFactor = node_["scale_factor"];
  if (scaleFactor.isNone()) {
    return;
  }
  const float value = isNumber(scaleFactor) ? static_cast<float>(scaleFactor.real()) : NAN;
  if (isPositive(value)) {
    next_.scaleFactor = value;
  } else {
    refuse("", "scale_factor", kPositiveText, scaleFactor);
  }
}

void ParamsReader::readTopView() {
  const cv::FileNode topView = mapKey(node_, "top_view");
  if (!topView.isMap()) {
    return;
  }
  const cv::FileNode roi = topView["roi"];
  if (!roi.isNone()) {
    // [a0, a1, a2, a3]; an element that is not a number, or a sequence of another length, leaves
    // NaN, which isRoi refuses.
    float a[4] = {NAN, NAN, NAN, NAN};
    for (int i = 0; roi.isSeq() && roi.size() == 4 && i < 4; ++i) {
      if (isNumber(roi[i])) a[i] = static_cast<float>(roi[i].real());
    }
    const PlaneRoi corners(cv::Vec3f(a[0], a[3], 0.f), cv::Vec3f(a[0], a[1], 0.f),
                           cv::Vec3f(a[2], a[3], 0.f), cv::Vec3f(a[2], a[1], 0.f));
    if (isRoi(corners)) {
      next_.topView.roi = corners;
    } else {
      refuse("top_view", "roi", kRoiText, roi);
    }
  }
  readAngle(topView, "top_view", "rot_z", /*bFov=*/false, next_.topView.rotZ);
}

void ParamsReader::readVirtualCamera() {
  const cv::FileNode virtualCamera = mapKey(node_, "virtual_camera");
  if (!virtualCamera.isMap()) {
    return;
  }
  Params::VirtualCameraParams& vc = next_.virtualCamera;
  readKey(virtualCamera, "virtual_camera", "def_camera_ind", vc.defCameraInd);
  readAngle(virtualCamera, "virtual_camera", "fov", /*bFov=*/true, vc.fov);
  readAngle(virtualCamera, "virtual_camera", "rot_x", /*bFov=*/false, vc.rotX);
  readAngle(virtualCamera, "virtual_camera", "rot_y", /*bFov=*/false, vc.rotY);
  readAngle(virtualCamera, "virtual_camera", "rot_z", /*bFov=*/false, vc.rotZ);
  float focalDist = vc.focalDist;
  if (readKey(virtualCamera, "virtual_camera", "focal_dist", focalDist)) {
    if (isPositive(focalDist)) {
      vc.focalDist = focalDist;
    } else {
      refuse("virtual_camera", "focal_dist", kPositiveText, virtualCamera["focal_dist"]);
    }
  }
}

void ParamsReader::readAngle(const cv::FileNode& section, const char* sectionName, const char* key,
                             bool bFov, float& radians) {
  const cv::FileNode node = section[key];
  if (node.isNone()) {
    return;
  }
  const float degrees = isNumber(node) ? static_cast<float>(node.real()) : NAN;
  const float value = static_cast<float>(toRadians(degrees));
  if (isAngle(value, bFov)) {
    radians = value;
  } else {
    refuse(sectionName, key, angleText(bFov), node);
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
  // Read into a copy: a refused value leaves the parameters as they were.
  ParamsReader reader(node, params, /*bReport=*/true);
  const std::string unknownMode = reader.readMode();
  if (!unknownMode.empty()) {
    CHECK(0) << unknownMode;
  }
  const GenerationParams next = reader.readRest();
  if (bUncheckedParams) {
    // The keys the node leaves out keep what setParams set, which nothing has checked yet.
    checkRecord(next);
  }
  params = next;
  bUncheckedParams = false;
}

bool TesmoViewGenerator::checkParams(const cv::FileNode& node, std::string* why) {
  if (!node.isMap()) {
    return true;
  }
  ParamsReader reader(node, GenerationParams(), /*bReport=*/false);
  std::string refusal;
  try {
    refusal = reader.readMode();
    if (refusal.empty()) {
      reader.readRest();
      return true;
    }
  } catch (const std::runtime_error& e) {
    refusal = e.what();
  }
  if (why != nullptr) {
    *why = refusal;
  }
  return false;
}

void TesmoViewGenerator::setParams(const GenerationParams& newParams) {
  if (!bUncheckedParams) {
    checkedParams = params;
  }
  params = newParams;
  bUncheckedParams = true;
}

const TesmoViewGenerator::GenerationParams& TesmoViewGenerator::writableParams() const {
  if (!bUncheckedParams) {
    return params;
  }
  try {
    checkRecord(params);
    return params;
  } catch (const std::runtime_error& e) {
    LOG(WARNING) << "Parameters set with setParams not written (" << e.what()
                 << "); the last accepted ones are written instead";
    return checkedParams;
  }
}

void TesmoViewGenerator::writeParams(cv::FileStorage& fs) const {
  writeRecord(fs, writableParams());
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

void TesmoViewGenerator::prepareWeights(cv::Mat& dstMask, HostWeights* host) {
  // setParams takes any record: what the reader refuses is refused here, before anything is
  // computed from it, and the record gives way to the last one accepted, as a refused
  // readParams leaves the parameters as they were. What readParams took it has checked.
  if (bUncheckedParams) {
    bUncheckedParams = false;
    try {
      checkRecord(params);
    } catch (...) {
      params = checkedParams;
      throw;
    }
  }
  computeMaps(host->warpMaps, host->masks);
  stitchMasks(host->masks, dstMask);
  preparePyramids(host->masks, &host->weightPyrs, &host->weightSums);
  computeCamerasROI(host->warpMaps, host->masks);
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

void TesmoViewGenerator::checkFrameSet(const std::vector<cv::_OutputArray>& frames) {
  CHECK((size_t)frames.size() == cameras.size());
  reportFrameSizes(frames);
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
