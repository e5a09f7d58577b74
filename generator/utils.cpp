#include "generator/utils.h"

#include <glog/logging.h>
#include <sys/stat.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <set>
#include <sstream>
#include <stdexcept>

#include "common/misc.h"
#include "streamer/frame_stream.h"

namespace tesmo {
namespace {

using Document = CalibrationDocuments::Document;
using Entry = CalibrationDocuments::Entry;

// Opens `path` through openDocument, keeping what its reading throws.
Document openOnce(const std::string& path, bool bRegularFilesOnly) {
  Document document;
  document.path = path;
  struct stat st {};
  if (bRegularFilesOnly && !(::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))) {
    return document;
  }
  try {
    openDocument(document.fs, path);
  } catch (const std::exception& e) {
    document.error = std::current_exception();
    document.why = e.what();
  }
  return document;
}

bool isRead(const Document& document) { return document.fs.isOpened() && !document.error; }

// Every entry of `intrinsics`, a string one with the document it names.
std::vector<Entry> openEntries(const cv::FileNode& intrinsics, bool bRegularFilesOnly) {
  std::vector<Entry> entries;
  for (const cv::FileNode& node : intrinsics) {
    Entry entry;
    entry.name = node.name();
    entry.node = node;
    if (node.isString()) entry.document = openOnce(node.string(), bRegularFilesOnly);
    entries.push_back(entry);
  }
  return entries;
}

// An entry's intrinsics map, with the reader's fatal checks; a document whose reading failed
// raises what its reading threw.
cv::FileNode intrinsicsOf(const Entry& entry) {
  if (entry.node.isString()) {
    if (entry.document.error) std::rethrow_exception(entry.document.error);
    const cv::FileStorage& FSIntrinsics = entry.document.fs;
    CHECK(FSIntrinsics.isOpened()) << "Can't open intrinsics file \"" << entry.document.path
                                   << "\"";
    return FSIntrinsics.root();
  }
  if (!entry.node.isMap()) {
    CHECK(0) << "Can't find camera intrinsics with name" << entry.name;
  }
  return entry.node;
}

// Gives a camera of the same name in OutCameras the new intrinsics (and, with bReadExtrinsics,
// the new pose), keeping its alpha and beta; else appends `camera`.
void mergeCamera(const Camera& camera, bool bReadExtrinsics, std::vector<Camera>& OutCameras) {
  auto existing = std::find_if(OutCameras.begin(), OutCameras.end(),
                               [&](const Camera& c) { return c.name == camera.name; });
  if (existing == OutCameras.end()) {
    OutCameras.push_back(camera);
    return;
  }
  existing->D = camera.D;
  existing->K = camera.K;
  existing->frameSize = camera.frameSize;
  existing->model = camera.model;
  if (bReadExtrinsics) {
    existing->poseW2C = camera.poseW2C;
  }
}

// The node form of readCameras on entries whose documents are open.
bool readEntries(const cv::FileNode& IntrinsicsNode, const cv::FileNode& ExtrinsicsNode,
                 const std::vector<Entry>& entries, std::vector<Camera>& OutCameras) {
  const bool bReadExtrinsics = !ExtrinsicsNode.isNone();
  CHECK(!bReadExtrinsics || IntrinsicsNode.size() == ExtrinsicsNode.size())
      << "Mismatch intrinsics & extrinsics num";
  for (const Entry& entry : entries) {
    Camera camera;
    camera.name = entry.name;
    camera.readIntrinsics(intrinsicsOf(entry));
    if (bReadExtrinsics) {
      camera.readExtrinsics(ExtrinsicsNode[camera.name]);
    }
    mergeCamera(camera, bReadExtrinsics, OutCameras);
  }
  std::stable_sort(OutCameras.begin(), OutCameras.end(),
                   [](const Camera& a, const Camera& b) { return a.name < b.name; });
  return true;
}

}  // namespace

cv::FileNode CalibrationDocuments::Entry::intrinsics() const {
  if (node.isMap()) return node;
  if (node.isString() && isRead(document)) return document.fs.root();
  return cv::FileNode();
}

CalibrationDocuments::CalibrationDocuments(const cv::FileStorage& config, bool bExtrinsics,
                                           bool bRegularFilesOnly)
    : config_(&config), bExtrinsics_(bExtrinsics) {
  if (!config.isOpened()) return;
  entries_ = openEntries(config["intrinsics"], bRegularFilesOnly);
  const cv::FileNode extrinsics = config["extrinsics"];
  if (bExtrinsics && extrinsics.isString()) {
    bExtrinsicsDocument_ = true;
    extrinsicsDocument_ = openOnce(extrinsics.string(), bRegularFilesOnly);
  }
}

cv::FileNode CalibrationDocuments::extrinsics() const {
  if (!bExtrinsics_ || !config_->isOpened()) return cv::FileNode();
  if (bExtrinsicsDocument_) {
    return isRead(extrinsicsDocument_) ? extrinsicsDocument_.fs["extrinsics"] : cv::FileNode();
  }
  const cv::FileNode inline_ = (*config_)["extrinsics"];
  return inline_.isMap() ? inline_ : cv::FileNode();
}

bool CalibrationDocuments::readable(std::string* why) const {
  const cv::FileNode intrinsics = config_->isOpened() ? (*config_)["intrinsics"] : cv::FileNode();
  if (!intrinsics.isMap()) {
    *why = "no \"intrinsics\" map";
    return false;
  }
  if (bExtrinsics_) {
    const std::string& path = extrinsicsDocument_.path;
    if (bExtrinsicsDocument_ && !isRead(extrinsicsDocument_)) {
      *why = "can't open \"" + path + "\"";
      return false;
    }
    if (!extrinsics().isMap()) {
      *why = bExtrinsicsDocument_ ? "\"" + path + "\" has no \"extrinsics\" map"
                                  : "no \"extrinsics\" map";
      return false;
    }
    if (extrinsics().size() != intrinsics.size()) {
      *why = "mismatch intrinsics & extrinsics num";
      return false;
    }
  }
  for (const Entry& entry : entries_) {
    if (entry.node.isString() && !isRead(entry.document)) {
      *why = "can't open \"" + entry.document.path + "\"";
      return false;
    }
    if (!entry.node.isString() && !entry.node.isMap()) {
      *why = "no intrinsics for camera \"" + entry.name + "\"";
      return false;
    }
  }
  return true;
}

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
  return readCameras(CalibrationDocuments(FSCommon, ReadExtrinsics), OutCameras);
}

bool readCameras(const CalibrationDocuments& documents, std::vector<Camera>& OutCameras) {
  const cv::FileStorage& FSCommon = documents.config();
  CHECK(FSCommon["intrinsics"].isMap()) << "Can't find \"intrinsics\" node";
  if (!documents.readsExtrinsics()) {
    return readEntries(FSCommon["intrinsics"], cv::FileNode(), documents.entries(), OutCameras);
  }
  CHECK(FSCommon["extrinsics"].isMap() || FSCommon["extrinsics"].isString())
      << "Can't find \"extrinsics\" node";
  if (const CalibrationDocuments::Document* extrinsics = documents.extrinsicsDocument()) {
    if (extrinsics->error) std::rethrow_exception(extrinsics->error);
    const cv::FileStorage& FSExtrinsics = extrinsics->fs;
    CHECK(FSExtrinsics.isOpened()) << "Can't open " << extrinsics->path;
    CHECK(FSExtrinsics["extrinsics"].isMap()) << "\"extrinsics\" node isn't \"map\" or absent";
  }
  return readEntries(FSCommon["intrinsics"], documents.extrinsics(), documents.entries(),
                     OutCameras);
}

bool readCameras(const cv::FileNode& IntrinsicsNode, const cv::FileNode& ExtrinsicsNode,
                 std::vector<Camera>& OutCameras) {
  return readEntries(IntrinsicsNode, ExtrinsicsNode,
                     openEntries(IntrinsicsNode, /*bRegularFilesOnly=*/false), OutCameras);
}

namespace {

// Largest magnitude of a camera translation, in world units: far beyond any rig, and small enough
// that sums and products over the cameras' positions stay finite in single precision.
constexpr double kMaxTranslation = 1e9;
// How far R^T R may stray from the identity for R to count as a rotation: a rotation written with
// four significant digits strays by less than 0.001.
constexpr double kRotationTolerance = 0.01;

// refuseValue's message in *why instead of thrown; false.
bool refused(const std::string& section, const char* key, const std::string& expected,
             const std::string& got, std::string* why) {
  try {
    refuseValue(section, key, expected, got);
  } catch (const std::runtime_error& e) {
    *why = e.what();
  }
  return false;
}

// "[1, 2; 3, 4]" for a matrix of one channel, else its shape.
std::string matrixText(const cv::Mat& m) {
  if (m.empty()) return "nothing";
  if (m.channels() != 1 || m.dims != 2 || m.total() > 16) {
    return "a " + std::to_string(m.rows) + "x" + std::to_string(m.cols) + " matrix of " +
           std::to_string(m.channels()) + " channels";
  }
  cv::Mat values;
  m.convertTo(values, CV_64F);
  std::ostringstream out;
  out << "[";
  for (int r = 0; r < values.rows; ++r) {
    for (int c = 0; c < values.cols; ++c) {
      const double v = values.at<double>(r, c);
      out << (c > 0 ? ", " : (r > 0 ? "; " : ""));
      if (std::isnan(v)) {
        out << "nan";
      } else {
        out << v;
      }
    }
  }
  out << "]";
  return out.str();
}

// Whether every entry of a one-channel matrix is finite and stays finite in single precision once
// multiplied by `scale`.
bool fitsFloat(const cv::Mat& m, double scale) {
  cv::Mat values;
  m.convertTo(values, CV_64F);
  for (auto it = values.begin<double>(); it != values.end<double>(); ++it) {
    if (!(std::fabs(*it) * std::max(scale, 1.0) <= FLT_MAX)) return false;
  }
  return true;
}

bool isFloatingMatrix(const cv::Mat& m) {
  return m.channels() == 1 && (m.depth() == CV_32F || m.depth() == CV_64F);
}

// Refuses a camera that stands twice in the map `section`: the readers would take both entries,
// and the camera list would no longer match the sources one to one.
bool checkOnce(const std::string& section, const std::string& name, std::set<std::string>* seen,
               std::string* why) {
  return seen->insert(name).second ||
         refused(section, name.c_str(), "given once", "a second entry", why);
}

// "frame_width" and "frame_height" of an intrinsics map, each an integer in 1..kMaxFrameSide.
bool checkFrameSides(const cv::FileNode& node, const std::string& section, std::string* why) {
  try {
    for (const char* key : {"frame_width", "frame_height"}) {
      int side = 0;
      if (!readKey(node, section, key, side, 1, kMaxFrameSide)) {
        refuseKey(section, key, node[key], "an integer in 1.." + std::to_string(kMaxFrameSide));
      }
    }
  } catch (const std::runtime_error& e) {
    *why = e.what();
    return false;
  }
  return true;
}

// What K and D must be, as the checks say it.
const char* const kIntrinsicMatrixRule =
    "a 3x3 floating-point matrix of finite numbers with fx and fy above 0";

std::string distortionRule(bool bFisheye) {
  return bFisheye ? "4 finite floating-point numbers (fisheye)"
                  : "none, 4, 5, 8, 12 or 14 finite floating-point numbers (pinhole)";
}

// "K" and "D" of an intrinsics map as matrices that the reader takes (OpenCV's reader would
// assert naming nothing); what they hold is checkCamera's to judge.
bool checkMatrixForms(const cv::FileNode& node, const std::string& section, std::string* why) {
  const bool bFisheye = node["model"].isString() && node["model"].string() == "fisheye";
  const std::pair<const char*, std::string> rules[] = {{"K", kIntrinsicMatrixRule},
                                                       {"D", distortionRule(bFisheye)}};
  for (const auto& rule : rules) {
    cv::Mat m;
    std::string got;
    if (!readMatrix(node[rule.first], &m, &got)) {
      return refused(section, rule.first, rule.second, got, why);
    }
  }
  return true;
}

// Adds to the refusal of an intrinsics entry the document that the entry came from, if any.
bool refusedIn(const Entry& entry, std::string* why) {
  if (entry.node.isString()) *why += "; read from \"" + entry.document.path + "\"";
  return false;
}

bool checkIntrinsicsEntries(const CalibrationDocuments& documents, std::string* why) {
  std::set<std::string> seen;
  for (const Entry& entry : documents.entries()) {
    if (!checkOnce("intrinsics", entry.name, &seen, why)) return false;
    if (entry.document.error) {
      *why = entry.document.why;
      return false;
    }
    const cv::FileNode node = entry.intrinsics();
    const std::string section = "intrinsics/" + entry.name;
    if (node.isMap() &&
        !(checkFrameSides(node, section, why) && checkMatrixForms(node, section, why))) {
      return refusedIn(entry, why);
    }
  }
  return true;
}

// "R" of an extrinsics entry as the reader takes it, 3x3 of any element type.
bool checkRotationForm(const cv::FileNode& entry, const std::string& section, std::string* why) {
  cv::Mat R;
  std::string got;
  if (readMatrix(entry["R"], &R, &got)) {
    if (R.rows == 3 && R.cols == 3 && R.channels() == 1) return true;
    got = R.empty() ? describeNode(entry["R"]) : matrixText(R);
  }
  return refused(section, "R", "a 3x3 rotation matrix", got, why);
}

bool checkTranslation(const cv::FileNode& entry, const std::string& section, std::string* why) {
  const cv::FileNode T = entry["T"];
  bool bValid = T.isSeq() && T.size() == 3;
  for (size_t i = 0; bValid && i < T.size(); ++i) {
    const cv::FileNode v = T[static_cast<int>(i)];
    bValid = (v.isInt() || v.isReal()) && std::fabs(v.real()) <= kMaxTranslation;
  }
  std::ostringstream expected;
  expected << "3 finite numbers of magnitude at most " << kMaxTranslation;
  return bValid || refused(section, "T", expected.str(), describeValue(T), why);
}

bool checkExtrinsicsEntries(const CalibrationDocuments& documents, std::string* why) {
  const Document* document = documents.extrinsicsDocument();
  if (document != nullptr && document->error) {
    *why = document->why;
    return false;
  }
  std::set<std::string> seen;
  for (const cv::FileNode& entry : documents.extrinsics()) {
    if (!checkOnce("extrinsics", entry.name(), &seen, why)) return false;
    if (!entry.isMap()) continue;
    const std::string section = "extrinsics/" + entry.name();
    if (!checkRotationForm(entry, section, why) || !checkTranslation(entry, section, why)) {
      return false;
    }
  }
  return true;
}

bool checkIntrinsicMatrix(const Camera& camera, double scale, std::string* why) {
  const cv::Mat& K = camera.K;
  bool bK = K.rows == 3 && K.cols == 3 && isFloatingMatrix(K) && fitsFloat(K, scale);
  if (bK) {
    cv::Matx33d k;
    K.convertTo(cv::Mat(3, 3, CV_64F, k.val), CV_64F);
    bK = k(0, 0) > 0 && k(1, 1) > 0;
  }
  return bK || refused("intrinsics/" + camera.name, "K", kIntrinsicMatrixRule, matrixText(K), why);
}

// The distortion coefficients that the model's projection takes: cv::fisheye's four, or
// cv::projectPoints' none, 4, 5, 8, 12 or 14.
bool checkDistortion(const Camera& camera, std::string* why) {
  const cv::Mat& D = camera.D;
  const bool bFisheye = camera.model == Fisheye;
  const size_t n = D.total();
  const bool bCount =
      bFisheye ? n == 4 : (n == 0 || n == 4 || n == 5 || n == 8 || n == 12 || n == 14);
  const bool bD = bCount && (D.empty() || (isFloatingMatrix(D) && (D.rows == 1 || D.cols == 1) &&
                                           fitsFloat(D, 1.0)));
  return bD ||
         refused("intrinsics/" + camera.name, "D", distortionRule(bFisheye), matrixText(D), why);
}

bool checkFrameBound(const Camera& camera, double scale, std::string* why) {
  const cv::Size size = scaledFrameSize(camera.frameSize, scale);
  if (FitsFrameBound(uint64_t(std::max(size.width, 0)), uint64_t(std::max(size.height, 0)), 3)) {
    return true;
  }
  std::ostringstream text;
  text << "Keys \"frame_width\" and \"frame_height\" in \"intrinsics/" << camera.name
       << "\" give " << size.width << "x" << size.height << " pixels";
  if (scale != 1.0) text << " at the frame source's scale " << scale;
  text << "; the frame bound is " << kMaxFrameSide << " pixels per side and " << kMaxFrameBytes
       << " bytes of 8-bit BGR pixels";
  *why = text.str();
  return false;
}

bool checkRotation(const Camera& camera, std::string* why) {
  const cv::Matx33f& R = camera.poseW2C.R;
  const cv::Matx33d r(R);
  const cv::Matx33d e = r.t() * r - cv::Matx33d::eye();
  double stray = 0;
  for (double v : e.val) stray = std::max(stray, std::fabs(v));
  if (stray <= kRotationTolerance && cv::determinant(r) > 0) return true;
  std::ostringstream expected;
  expected << "a rotation matrix (R^T R within " << kRotationTolerance
           << " of the identity, determinant above 0)";
  return refused("extrinsics/" + camera.name, "R", expected.str(), matrixText(cv::Mat(R)), why);
}

}  // namespace

bool checkCalibrationNodes(const CalibrationDocuments& documents, std::string* why) {
  return checkIntrinsicsEntries(documents, why) && checkExtrinsicsEntries(documents, why);
}

bool checkCamera(const Camera& camera, double scale, std::string* why) {
  return checkIntrinsicMatrix(camera, scale, why) && checkDistortion(camera, why) &&
         checkFrameBound(camera, scale, why) && checkRotation(camera, why);
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
