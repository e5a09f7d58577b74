// Renders the bundled synthetic surround-view scene.
//
// Four fisheye cameras sit at the front, back, left and right of a vehicle (4.5 m x 1.9 m) at roof
// height (about 1.8 m) above a flat textured ground and look steeply down at it. The view generator
// takes from a camera only what lies within 45 degrees of its optical axis; from this height
// neighbouring cameras still share some ground at the vehicle's corners, so the top view has seams.
//
// For every camera pixel the program unprojects sub-pixel sample positions with
// cv::fisheye::undistortPoints, intersects the rays with the ground plane z = 0 and evaluates a
// procedural texture there (a soft-edged checkerboard, white lane lines and small coloured disc
// markers), averaging the samples into the pixel. It writes:
//   back.png, front.png, left.png, right.png  the camera images (960 x 640, 8-bit BGR);
//   config.yml       calibration (intrinsics and extrinsics of the four cameras) and the demo
//                    program's main configuration: "img" frame sources, a top view and a
//                    virtual-camera view;
//   top_view_gt.png  the configured top view's ground rectangle rendered straight from the texture;
//   scene.yml        the markers' ground positions and colours and the ground-truth image's view.
//
// World frame, in metres: x to the vehicle's right, y to its back, z down into the ground (a
// right-handed frame in which a top view with columns along x and rows along y is not mirrored).
// The vehicle's centre is the origin; the cameras have negative z.
//
// The output is deterministic: the same build writes the same pixels every time. With --verify the
// program renders in memory and compares with the files of a directory: images pixel by pixel, the
// YAML documents byte by byte; it exits with status 1 on any difference.
//
// Usage: tesmo_render_scene [--out=DIR] [--verify=DIR]

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace {

constexpr int kFrameWidth = 960;
constexpr int kFrameHeight = 640;
// Sub-samples per pixel along each axis (box filter over the pixel's footprint).
constexpr int kSuperSampling = 4;

// Paths written into the configuration; they are relative to the source tree's root, from where the
// demo program is run.
const char* const kSampleDir = "samples/synthetic/";

// Top view of the configuration and of the ground truth: a 7 m x 9 m rectangle centred on the
// cameras' mean centre, 700 x 900 pixels (10 mm per pixel).
constexpr double kTopRoi[4] = {-3.5, 4.5, 3.5, -4.5};
constexpr int kTopViewWidth = 700;
constexpr int kTopViewHeight = 900;

// Virtual camera of the configuration: looks forward and 78 degrees down, 76 degrees wide, so that
// the front camera alone fills it. (A virtual camera shows each camera's part as seen from that
// camera's own centre; a wider view would join the side cameras' parts with visible steps.)
constexpr int kVirtualWidth = 960;
constexpr int kVirtualHeight = 640;

struct CameraSpec {
  std::string name;
  cv::Vec3d centre;   // optical centre in world coordinates
  double headingDeg;  // direction of view on the ground, 0 = forward (-y), 90 = right (+x)
  double tiltDeg;     // angle of the optical axis below the horizon
  double rollDeg;     // turn about the optical axis
  double fx, fy, cx, cy;
  cv::Vec4d D;  // fisheye coefficients k1..k4
};

// A camera as written to the configuration and as used for rendering: the pose is rounded to single
// precision first, so that the renderer uses exactly the numbers the library reads.
struct RenderCamera {
  std::string name;
  cv::Matx33d K;
  cv::Vec4d D;
  cv::Matx33f R;  // world to camera
  cv::Vec3f T;
  cv::Vec3d centre;  // -R^T T from the rounded pose
};

struct Marker {
  cv::Vec2d pos;  // ground position (x, y), metres
  double radius;  // metres
  std::string colourName;
  cv::Vec3d bgr;
};

std::vector<CameraSpec> CameraSpecs() {
  // Slightly different heights, angles and lenses so that nothing relies on symmetry; the side
  // cameras sit a little ahead of the vehicle's centre, so the cameras' mean centre is not the
  // origin.
  return {
      {"back", {0.05, 2.28, -1.80}, 180.0, 80.0, -1.0, 398.0, 398.5, 481.2, 318.7,
       {0.021, -0.004, 0.0011, -0.0002}},
      {"front", {-0.04, -2.30, -1.75}, 1.5, 78.0, 0.8, 402.5, 402.0, 478.4, 321.9,
       {0.018, -0.003, 0.0009, -0.0001}},
      {"left", {-1.02, -0.15, -1.85}, -90.0, 72.0, 0.5, 395.0, 395.4, 483.0, 317.5,
       {0.024, -0.005, 0.0012, -0.0003}},
      {"right", {1.01, -0.20, -1.82}, 91.0, 73.0, -0.6, 400.0, 399.6, 476.9, 322.8,
       {0.020, -0.004, 0.0010, -0.0002}},
  };
}

RenderCamera MakeCamera(const CameraSpec& s) {
  const double deg = CV_PI / 180.0;
  const cv::Vec3d down(0, 0, 1);
  const cv::Vec3d heading(std::sin(s.headingDeg * deg), -std::cos(s.headingDeg * deg), 0);
  const cv::Vec3d z = std::cos(s.tiltDeg * deg) * heading + std::sin(s.tiltDeg * deg) * down;
  cv::Vec3d x = cv::normalize(down.cross(z));
  cv::Vec3d y = z.cross(x);
  const double cr = std::cos(s.rollDeg * deg), sr = std::sin(s.rollDeg * deg);
  const cv::Vec3d xr = cr * x + sr * y;
  const cv::Vec3d yr = -sr * x + cr * y;
  // The pose is rounded to micro-units before anything uses it: the last bits of sin and cos may
  // differ between builds (the compiler folds constant calls with its own arithmetic), and the
  // rounded numbers keep the output identical whatever the build.
  auto round6 = [](double v) { return std::round(v * 1e6) / 1e6; };
  cv::Matx33d R(xr[0], xr[1], xr[2], yr[0], yr[1], yr[2], z[0], z[1], z[2]);
  for (int i = 0; i < 9; ++i) R.val[i] = round6(R.val[i]);
  cv::Vec3d T = -(R * s.centre);
  for (int i = 0; i < 3; ++i) T[i] = round6(T[i]);

  RenderCamera c;
  c.name = s.name;
  c.K = cv::Matx33d(s.fx, 0, s.cx, 0, s.fy, s.cy, 0, 0, 1);
  c.D = s.D;
  c.R = cv::Matx33f(R);
  c.T = cv::Vec3f(T);
  for (int i = 0; i < 3; ++i) {
    c.centre[i] = 0;
    for (int j = 0; j < 3; ++j)
      c.centre[i] -= static_cast<double>(c.R(j, i)) * static_cast<double>(c.T[j]);
  }
  return c;
}

std::vector<Marker> Markers() {
  // A disc on every metre crossing of the checkerboard, except under the vehicle; the colours cycle
  // so that neighbours differ.
  static const struct {
    const char* name;
    cv::Vec3d bgr;
  } kColours[] = {{"red", {30, 30, 210}},      {"green", {40, 180, 40}},
                  {"blue", {200, 80, 20}},     {"yellow", {20, 200, 220}},
                  {"magenta", {190, 40, 190}}, {"cyan", {200, 190, 30}}};
  std::vector<Marker> markers;
  int k = 0;
  for (int iy = -4; iy <= 4; ++iy) {
    for (int ix = -3; ix <= 3; ++ix) {
      if (std::abs(ix) <= 1 && std::abs(iy) <= 2) continue;
      const auto& c = kColours[k++ % 6];
      markers.push_back({{static_cast<double>(ix), static_cast<double>(iy)}, 0.12, c.name, c.bgr});
    }
  }
  return markers;
}

// Linear ramp from 0 to 1 across [-w, w] around 0.
inline double Ramp(double d, double w) { return std::min(1.0, std::max(0.0, 0.5 + d / (2.0 * w))); }

// Signed distance-like value of a soft square wave: +-1 inside cells, linear across the edges.
inline double SoftSquare(double t, double cell, double edge) {
  const double u = t / cell;
  const double k = std::floor(u);
  const double f = u - k;
  const double d = std::min(f, 1.0 - f) * cell;  // distance to the nearest edge
  const double sign = (static_cast<long long>(k) % 2 == 0) ? 1.0 : -1.0;
  return sign * std::min(1.0, d / edge);
}

class GroundTexture {
 public:
  explicit GroundTexture(std::vector<Marker> markers) : markers_(std::move(markers)) {}

  // Colour (B, G, R, 0..255 as double) of the ground at (x, y).
  cv::Vec3d operator()(double x, double y) const {
    // Grey checkerboard with 0.5 m cells and 6 cm wide soft edges.
    const double c = SoftSquare(x, 0.5, 0.03) * SoftSquare(y, 0.5, 0.03);
    const double g = 135.0 + 40.0 * c;
    cv::Vec3d col(g, g, g);

    // Solid lane lines along the vehicle at x = +-1.5 m and a dashed one at x = 2.5 m, 12 cm wide;
    // a stop line across the lane 1.25 m ahead of the vehicle, 20 cm wide.
    const cv::Vec3d white(230, 230, 230);
    double a = std::max(Ramp(0.06 - std::abs(x - 1.5), 0.02), Ramp(0.06 - std::abs(x + 1.5), 0.02));
    const double dash = SoftSquare(y, 1.0, 0.02);  // +1 on even metres, -1 on odd ones
    a = std::max(a, Ramp(0.06 - std::abs(x - 2.5), 0.02) * Ramp(dash, 1.0));
    a = std::max(a, Ramp(0.10 - std::abs(y + 3.5), 0.02) * Ramp(1.5 - std::abs(x), 0.02));
    col = col * (1.0 - a) + white * a;

    for (const Marker& m : markers_) {
      const double dx = x - m.pos[0], dy = y - m.pos[1];
      if (std::abs(dx) > m.radius + 0.05 || std::abs(dy) > m.radius + 0.05) continue;
      const double am = Ramp(m.radius - std::sqrt(dx * dx + dy * dy), 0.015);
      col = col * (1.0 - am) + m.bgr * am;
    }

    // Far away the ground fades to plain grey, as haze would, so distant texture does not alias.
    const double r = std::sqrt(x * x + y * y);
    const double fade = std::min(1.0, std::max(0.0, (r - 14.0) / 6.0));
    return col * (1.0 - fade) + cv::Vec3d(135, 135, 135) * fade;
  }

 private:
  std::vector<Marker> markers_;
};

const cv::Vec3d kSky(205, 195, 185);

cv::Mat RenderCameraImage(const RenderCamera& cam, const GroundTexture& tex) {
  cv::Mat img(kFrameHeight, kFrameWidth, CV_8UC3);
  cv::Matx33d Rt;  // camera to world
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) Rt(i, j) = static_cast<double>(cam.R(j, i));
  const cv::Mat K(cam.K), D(cam.D);
  const int n = kSuperSampling;
  cv::parallel_for_(cv::Range(0, kFrameHeight), [&](const cv::Range& rows) {
    std::vector<cv::Point2d> pts(static_cast<size_t>(kFrameWidth) * n * n), und;
    for (int v = rows.start; v < rows.end; ++v) {
      size_t k = 0;
      for (int u = 0; u < kFrameWidth; ++u)
        for (int j = 0; j < n; ++j)
          for (int i = 0; i < n; ++i)
            pts[k++] = cv::Point2d(u + (i + 0.5) / n - 0.5, v + (j + 0.5) / n - 0.5);
      cv::fisheye::undistortPoints(
          pts, und, K, D, cv::noArray(), cv::noArray(),
          cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 50, 1e-12));
      k = 0;
      auto* row = img.ptr<cv::Vec3b>(v);
      for (int u = 0; u < kFrameWidth; ++u) {
        cv::Vec3d sum(0, 0, 0);
        for (int s = 0; s < n * n; ++s, ++k) {
          const cv::Point2d& p = und[k];
          const cv::Vec3d ray = Rt * cv::Vec3d(p.x, p.y, 1.0);
          // OpenCV marks points it cannot undistort with huge coordinates; treat them as sky.
          if (std::abs(p.x) > 1e5 || std::abs(p.y) > 1e5 || ray[2] <= 1e-9) {
            sum += kSky;
            continue;
          }
          const double t = -cam.centre[2] / ray[2];
          sum += tex(cam.centre[0] + t * ray[0], cam.centre[1] + t * ray[1]);
        }
        sum *= 1.0 / (n * n);
        row[u] = cv::Vec3b(cv::saturate_cast<uchar>(sum[0]), cv::saturate_cast<uchar>(sum[1]),
                           cv::saturate_cast<uchar>(sum[2]));
      }
    }
  });
  return img;
}

// Mean of the cameras' centres on the ground: the point on which a top view is centred.
cv::Vec3d GroundCentre(const std::vector<RenderCamera>& cams) {
  cv::Vec3d c(0, 0, 0);
  for (const auto& cam : cams) c += cam.centre;
  c *= 1.0 / cams.size();
  c[2] = 0;
  return c;
}

// The top view's pixel (x, y) shows the ground at r00 + x/W (r10 - r00) + y/H (r01 - r00); the
// ground truth averages the texture over the pixel's footprint around that point.
cv::Mat RenderTopView(const cv::Vec3d& centre, const GroundTexture& tex) {
  const int W = kTopViewWidth, H = kTopViewHeight;
  const double x0 = kTopRoi[0] + centre[0], x1 = kTopRoi[2] + centre[0];
  const double y0 = kTopRoi[3] + centre[1], y1 = kTopRoi[1] + centre[1];
  cv::Mat img(H, W, CV_8UC3);
  const int n = kSuperSampling;
  cv::parallel_for_(cv::Range(0, H), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      auto* row = img.ptr<cv::Vec3b>(y);
      for (int x = 0; x < W; ++x) {
        cv::Vec3d sum(0, 0, 0);
        for (int j = 0; j < n; ++j)
          for (int i = 0; i < n; ++i) {
            const double xn = (x + (i + 0.5) / n - 0.5) / W;
            const double yn = (y + (j + 0.5) / n - 0.5) / H;
            sum += tex(x0 + xn * (x1 - x0), y0 + yn * (y1 - y0));
          }
        sum *= 1.0 / (n * n);
        row[x] = cv::Vec3b(cv::saturate_cast<uchar>(sum[0]), cv::saturate_cast<uchar>(sum[1]),
                           cv::saturate_cast<uchar>(sum[2]));
      }
    }
  });
  return img;
}

void WriteSinks(cv::FileStorage& fs, const std::string& view) {
  fs << "video_writes" << "[";
  fs << "{" << "type" << "frame_sequence" << "prefix" << "out/" + view << "}";
  fs << "{" << "type" << "opencv_video" << "filename" << "out/" + view + ".avi" << "fourcc"
     << "MJPG" << "fps" << 25 << "}";
  fs << "]";
}

std::string ConfigDocument(const std::vector<RenderCamera>& cams) {
  cv::FileStorage fs("config.yml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
  fs.writeComment(
      " Synthetic surround-view sample written by tesmo_render_scene. Run tesmo_demo from the\n"
      " source tree's root with --config=samples/synthetic/config.yml; it writes to out/, which\n"
      " must exist.\n"
      " World frame in metres: x right of the vehicle, y to its back, z down into the ground.");
  fs << "tesmo_app" << "{";
  fs << "platform" << "cpu";
  fs << "user_settings" << "out/GenUserSettings.yml";
  fs << "fps_min" << 20 << "fps_max" << 30;
  fs << "}";

  fs << "camera_streams" << "{";
  for (const auto& c : cams)
    fs << c.name << "{" << "type" << "img" << "filename"
       << std::string(kSampleDir) + c.name + ".png" << "}";
  fs << "}";
  // Still images are ready at once: pace the readers instead of letting them spin.
  fs << "live_streams" << "{" << "fps_max" << 30 << "}";

  fs << "intrinsics" << "{";
  for (const auto& c : cams) {
    fs << c.name << "{";
    fs << "K" << cv::Mat(c.K) << "D" << cv::Mat(c.D);
    fs << "frame_width" << kFrameWidth << "frame_height" << kFrameHeight << "model" << "fisheye";
    fs << "}";
  }
  fs << "}";

  fs << "extrinsics" << "{";
  for (const auto& c : cams) {
    fs << c.name << "{" << "R" << cv::Mat(c.R) << "T" << "[:" << c.T[0] << c.T[1] << c.T[2] << "]"
       << "}";
  }
  fs << "}";

  fs << "tesmo_gen" << "[";
  fs << "{" << "name" << "top_view" << "mode" << "top_view" << "interpolation" << "LINEAR";
  fs << "view_size" << "[:" << kTopViewWidth << kTopViewHeight << "]";
  fs << "blend_border_width" << 0.1 << "num_bands_blend" << 0;
  fs << "top_view" << "{" << "roi" << "[:" << kTopRoi[0] << kTopRoi[1] << kTopRoi[2] << kTopRoi[3]
     << "]" << "rot_z" << 0 << "}";
  WriteSinks(fs, "top_view");
  fs << "}";
  fs << "{" << "name" << "virtual_camera" << "mode" << "virtual_camera" << "interpolation"
     << "LINEAR";
  fs << "view_size" << "[:" << kVirtualWidth << kVirtualHeight << "]";
  fs << "blend_border_width" << 0.1 << "num_bands_blend" << 0;
  fs << "virtual_camera" << "{" << "fov" << 76 << "rot_x" << -12 << "rot_y" << 0 << "rot_z" << 0
     << "focal_dist" << 10000 << "}";
  WriteSinks(fs, "virtual_camera");
  fs << "}";
  fs << "]";
  return fs.releaseAndGetString();
}

std::string SceneDocument(const std::vector<Marker>& markers, const cv::Vec3d& centre) {
  cv::FileStorage fs("scene.yml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
  fs.writeComment(
      " Facts about the synthetic sample for tests: the ground-truth top view (of the view\n"
      " named in \"view\" in config.yml) and the markers' ground positions (metres) and\n"
      " colours (B, G, R).");
  fs << "ground_truth" << "{" << "image" << "top_view_gt.png" << "view" << "top_view";
  fs << "ground_centre" << "[:" << centre[0] << centre[1] << centre[2] << "]" << "}";
  fs << "markers" << "[";
  for (const auto& m : markers) {
    fs << "{" << "x" << m.pos[0] << "y" << m.pos[1] << "radius" << m.radius << "colour"
       << m.colourName << "bgr" << "[:" << m.bgr[0] << m.bgr[1] << m.bgr[2] << "]" << "}";
  }
  fs << "]";
  return fs.releaseAndGetString();
}

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

bool WriteFile(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char** argv) {
  const cv::String keys =
      "{help h  |      | print this help}"
      "{out     |      | directory to write the sample into}"
      "{verify  |      | directory whose sample files must equal the rendered ones}";
  cv::CommandLineParser parser(argc, argv, keys);
  parser.about("Renders the synthetic surround-view sample scene.");
  if (parser.has("help") || (!parser.has("out") && !parser.has("verify"))) {
    parser.printMessage();
    return parser.has("help") ? 0 : 2;
  }
  const std::string outDir = parser.get<std::string>("out");
  const std::string verifyDir = parser.get<std::string>("verify");
  if (!parser.check()) {
    parser.printErrors();
    return 2;
  }

  std::vector<RenderCamera> cams;
  for (const auto& s : CameraSpecs()) cams.push_back(MakeCamera(s));
  const std::vector<Marker> markers = Markers();
  const GroundTexture tex(markers);
  const cv::Vec3d centre = GroundCentre(cams);

  std::vector<std::pair<std::string, cv::Mat>> images;
  for (const auto& c : cams) images.emplace_back(c.name + ".png", RenderCameraImage(c, tex));
  images.emplace_back("top_view_gt.png", RenderTopView(centre, tex));
  const std::vector<std::pair<std::string, std::string>> docs = {
      {"config.yml", ConfigDocument(cams)}, {"scene.yml", SceneDocument(markers, centre)}};

  if (!outDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(outDir, ec);
    for (const auto& [name, img] : images) {
      const std::string path = outDir + "/" + name;
      if (!cv::imwrite(path, img, {cv::IMWRITE_PNG_COMPRESSION, 9})) {
        std::cerr << "Can't write " << path << "\n";
        return 1;
      }
    }
    for (const auto& [name, text] : docs) {
      if (!WriteFile(outDir + "/" + name, text)) {
        std::cerr << "Can't write " << outDir + "/" + name << "\n";
        return 1;
      }
    }
    std::cout << "Sample written to " << outDir << "\n";
  }

  if (!verifyDir.empty()) {
    int differences = 0;
    for (const auto& [name, img] : images) {
      const cv::Mat ref = cv::imread(verifyDir + "/" + name, cv::IMREAD_UNCHANGED);
      if (ref.empty() || ref.size() != img.size() || ref.type() != img.type()) {
        std::cerr << name << ": missing or of another size or type\n";
        ++differences;
        continue;
      }
      const int changed = cv::countNonZero(cv::Mat(img != ref).reshape(1));
      if (changed != 0) {
        std::cerr << name << ": " << changed << " samples differ\n";
        ++differences;
      }
    }
    for (const auto& [name, text] : docs) {
      std::string ref;
      if (!ReadFile(verifyDir + "/" + name, &ref) || ref != text) {
        std::cerr << name << ": missing or different\n";
        ++differences;
      }
    }
    if (differences != 0) return 1;
    std::cout << "Sample in " << verifyDir << " matches the rendering\n";
  }
  return 0;
}
