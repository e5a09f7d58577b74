#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "streamer/frame_stream.h"

namespace tesmo {

// The sources configured under "camera_streams", sorted by name (byte order). A source's position
// is its camera index everywhere in the system. Read-only after construction. Two sources of one
// name throw std::runtime_error naming it.
class FrameStreams {
 public:
  struct FrameStreamData {
    std::string name;
    int ind = 0;
    std::shared_ptr<FrameStream> stream;
  };

  explicit FrameStreams(const cv::FileStorage& fs);
  explicit FrameStreams(const std::string& path);

  size_t size() const { return frameStreams.size(); }
  // The source of camera `ind`; an index outside 0..size() - 1 ends the process through a fatal
  // check naming the index and the camera count.
  const FrameStreamData& operator[](int ind) const;

  // Reads one frame of every source into (*frames)[i]; a source without a frame is fatal.
  void readFrames(std::vector<cv::Mat>* frames, bool bAllowScale) const;

  std::vector<std::shared_ptr<FrameStreamData>> frameStreams;
  std::map<std::string, std::shared_ptr<FrameStreamData>> frameStreamsMap;

 private:
  void init(const cv::FileStorage& fs);
};

}  // namespace tesmo
