#include "streamer/frame_streams.h"

#include <algorithm>
#include <stdexcept>

#include <glog/logging.h>

#include "common/misc.h"

namespace tesmo {

FrameStreams::FrameStreams(const cv::FileStorage& fs) { init(fs); }

FrameStreams::FrameStreams(const std::string& path) {
  cv::FileStorage fs;
  openDocument(fs, path);
  init(fs);
}

void FrameStreams::init(const cv::FileStorage& fs) {
  CHECK(fs.isOpened()) << "Can't open config file";
  cv::FileNode cams = fs["camera_streams"];
  CHECK(cams.isMap()) << "\"cameras_manager\" node isn't \"map\" or absent";
  for (cv::FileNodeIterator it = cams.begin(); it != cams.end(); ++it) {
    const cv::FileNode child = *it;
    // The name is the camera's identity everywhere: a second source of one name is refused
    // before it is built.
    if (frameStreamsMap.count(child.name()) != 0) {
      throw std::runtime_error("Two sources named \"" + child.name() +
                               "\" under \"camera_streams\"");
    }
    auto data = std::make_shared<FrameStreamData>();
    data->name = child.name();
    data->stream = FrameStream::Create(child);
    frameStreams.push_back(data);
    frameStreamsMap[data->name] = data;
  }
  std::stable_sort(frameStreams.begin(), frameStreams.end(),
                   [](const std::shared_ptr<FrameStreamData>& a,
                      const std::shared_ptr<FrameStreamData>& b) { return a->name < b->name; });
  for (size_t i = 0; i < frameStreams.size(); ++i) frameStreams[i]->ind = static_cast<int>(i);
}

const FrameStreams::FrameStreamData& FrameStreams::operator[](int ind) const {
  CHECK(ind >= 0 && static_cast<size_t>(ind) < frameStreams.size())
      << "Camera index " << ind << " outside the " << frameStreams.size() << " cameras";
  return *frameStreams[static_cast<size_t>(ind)];
}

void FrameStreams::readFrames(std::vector<cv::Mat>* frames, bool bAllowScale) const {
  frames->resize(size());
  for (size_t i = 0; i < size(); ++i) {
    const FrameStreamData& data = *frameStreams[i];
    int64_t timestamp_ms = 0;
    const bool bRead = data.stream->Next(&(*frames)[i], &timestamp_ms, bAllowScale);
    CHECK(bRead) << "Can't read frame from camera " << data.name;
  }
}

}  // namespace tesmo
