#include <iostream>

#include "common/perf.h"
#include "generator/calc_maps.h"
#include "streamer/util.h"

int main() {
  cv::Mat map;
  const cv::Mat K = (cv::Mat_<double>(3, 3) << 100, 0, 50, 0, 100, 50, 0, 0, 1);
  tesmo::CalcCameraToPlaneMapBilinear(tesmo::Pinhole, K, cv::Mat(), cv::Size(100, 100),
                                      cv::Vec3f(-1, -1, 2), cv::Vec3f(-1, 1, 2),
                                      cv::Vec3f(1, -1, 2), cv::Vec3f(1, 1, 2), cv::Size(8, 8),
                                      tesmo::Distortion(), &map, nullptr);
  tesmo::perf::UpdateRecord("consumer", static_cast<long>(tesmo::Split("a b", ' ').size()));
  tesmo::perf::ReportPerfStat(std::cout);
  return map.empty() ? 1 : 0;
}
