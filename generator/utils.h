#pragma once

#include <map>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "generator/camera.h"
#include "streamer/frame_streams.h"

namespace tesmo {

// Reading the camera list. OutCameras is input and output: a camera whose name is already in the
// list gets new intrinsics (and a new pose when extrinsics are read) but keeps its alpha and beta;
// new names are appended; the list ends sorted by name (byte order), which fixes each camera's
// index. Missing or unreadable documents end the process through fatal checks; malformed camera
// entries raise cv::Exception (StsParseError) and leave the list merged up to the failing camera,
// unsorted. All forms return true.

// Opens the document CommonConfig and reads it as the storage form does.
bool readCameras(const std::string& CommonConfig, bool ReadExtrinsics,
                 std::vector<Camera>& OutCameras);
// "intrinsics" map of FSCommon and, when ReadExtrinsics, its "extrinsics" map or the "extrinsics"
// map of the document that string names.
bool readCameras(const cv::FileStorage& FSCommon, bool ReadExtrinsics,
                 std::vector<Camera>& OutCameras);
// Every camera of IntrinsicsNode (an entry is the intrinsics map or the path of a document holding
// it); the poses come from ExtrinsicsNode unless that node is none.
bool readCameras(const cv::FileNode& IntrinsicsNode, const cv::FileNode& ExtrinsicsNode,
                 std::vector<Camera>& OutCameras);

// Writes the "extrinsics" map (camera name -> "R", "T") of all cameras in list order into fs,
// which the caller has opened for writing and closes.
void writeExtrinsics(cv::FileStorage& fs, const std::vector<Camera>& cameras);

// A camera's frame size scaled by a frame source's `scale`, each side rounded to nearest; a scale
// of exactly 1.0 leaves it as it is.
cv::Size scaledFrameSize(const cv::Size& size, double scale);

// Scales frame size (as scaledFrameSize does) and K of camera i by the scale of stream i (pairing by position). A scale of
// exactly 1.0 leaves the camera untouched; otherwise K becomes a new 3x3 CV_32F matrix, all nine
// entries multiplied. The counts must match (fatal check).
void applyScaleToIntrinsics(std::vector<Camera>& cameras, const FrameStreams& streams);

// Copies every camera into OutCameras under its name; other entries stay.
void camerasVectoToMap(const std::vector<Camera>& InCameras,
                       std::map<std::string, Camera>& OutCameras);

}  // namespace tesmo
