#pragma once

#include <exception>
#include <map>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "generator/camera.h"
#include "streamer/frame_streams.h"

namespace tesmo {

// The documents of one configuration's cameras, each opened once, so that the check and the
// reader below parse a document once for both: the document of every "intrinsics" entry that is
// a string and, when the extrinsics are wanted and "extrinsics" is a string, the document it
// names. The object keeps them open for its life; `config` must outlive it.
//
//   const CalibrationDocuments documents(fs, /*bExtrinsics=*/true);
//   std::string why;
//   if (!checkCalibrationNodes(documents, &why)) ... refuse with `why` ...
//   readCameras(documents, cameras);
class CalibrationDocuments {
 public:
  // One document that the configuration names.
  struct Document {
    std::string path;
    // Open once the document was read; closed when it could not be opened or read.
    cv::FileStorage fs;
    // What openDocument threw for it (a document too long, nested too deep or unparsable), and
    // its message; null and empty otherwise.
    std::exception_ptr error;
    std::string why;
  };
  // One entry of the "intrinsics" map, in document order.
  struct Entry {
    std::string name;
    // As written: the camera's intrinsics map, or the path of the document that holds it.
    cv::FileNode node;
    // The document that a string `node` names; empty for any other entry.
    Document document;
    // The camera's intrinsics: `node` when it is a map, the top level of its open document when
    // it is a string; none otherwise.
    cv::FileNode intrinsics() const;
  };

  // Opens, through openDocument, the document of every entry of config["intrinsics"] that is a
  // string and, when bExtrinsics and config["extrinsics"] is a string, the document it names.
  // Never throws for a document: one that cannot be opened stays closed, one whose reading
  // throws keeps the error. With bRegularFilesOnly a path that names no regular file stays closed
  // unread (a FIFO would block the caller until a writer comes).
  CalibrationDocuments(const cv::FileStorage& config, bool bExtrinsics,
                       bool bRegularFilesOnly = false);
  CalibrationDocuments(const CalibrationDocuments&) = delete;
  CalibrationDocuments& operator=(const CalibrationDocuments&) = delete;

  const cv::FileStorage& config() const { return *config_; }
  bool readsExtrinsics() const { return bExtrinsics_; }
  const std::vector<Entry>& entries() const { return entries_; }
  // The document that a string "extrinsics" names; null when the extrinsics are not read or
  // "extrinsics" is no string.
  const Document* extrinsicsDocument() const {
    return bExtrinsicsDocument_ ? &extrinsicsDocument_ : nullptr;
  }
  // The extrinsics map: "extrinsics" when it is a map, the "extrinsics" node of its open
  // document when it is a string; none when the extrinsics are not read or neither holds.
  cv::FileNode extrinsics() const;

  // Whether readCameras can read the list without a fatal check, and without a failing document:
  // else false with the reason in *why, the first of "no \"intrinsics\" map", "can't open
  // \"<path>\"" (a document not opened or not read), "\"<path>\" has no \"extrinsics\" map",
  // "no \"extrinsics\" map", "mismatch intrinsics & extrinsics num" and "no intrinsics for
  // camera \"<name>\"" that holds. The extrinsics count only when they are read.
  bool readable(std::string* why) const;

 private:
  const cv::FileStorage* config_;
  bool bExtrinsics_;
  std::vector<Entry> entries_;
  bool bExtrinsicsDocument_ = false;
  Document extrinsicsDocument_;
};

// Refuse calibration that no view can use, naming the camera's entry and the key: false with the
// reason in *why, such as
//   Key "T" in "extrinsics/back" must be 3 finite numbers of magnitude at most 1e+09, got [0, 1]
// The camera readers take such values as they stand (zeros for a missing or malformed "R" or
// "T"), and the camera would vanish from every view without a word.
// checkCalibrationNodes looks at what only the documents show: a camera named twice in one map,
// "frame_width" and "frame_height" of every intrinsics entry (inline or in a document of its
// own), whether its "K" and "D" are matrices that the reader takes, the form of "R" and "T" of
// every extrinsics entry, and a document that could be opened but not read (its error is the
// reason). A refused intrinsics entry that came from a document of its own gets "; read from
// \"<path>\"" after the reason. A document that cannot be opened, and nodes of the wrong kind,
// are the reader's to report. checkCamera looks at a camera as read: K and D as its model's
// projection takes them, the frame size scaled by `scale` (its frame source's) within
// the frame bound of streamer/frame_stream.h, and R a rotation (to the precision of a
// calibration written with four significant digits).
bool checkCalibrationNodes(const CalibrationDocuments& documents, std::string* why);
bool checkCamera(const Camera& camera, double scale, std::string* why);

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
// it, each such document opened once before the first camera is read); the poses come from
// ExtrinsicsNode unless that node is none.
bool readCameras(const cv::FileNode& IntrinsicsNode, const cv::FileNode& ExtrinsicsNode,
                 std::vector<Camera>& OutCameras);
// The storage form on documents already opened: the same fatal checks and errors, a document
// whose reading failed raising what its reading threw when its camera's turn comes.
bool readCameras(const CalibrationDocuments& documents, std::vector<Camera>& OutCameras);

// Writes the "extrinsics" map (camera name -> "R", "T") of all cameras in list order into fs,
// which the caller has opened for writing and closes.
void writeExtrinsics(cv::FileStorage& fs, const std::vector<Camera>& cameras);

// A camera's frame size scaled by a frame source's `scale`, each side rounded to nearest; a scale
// of exactly 1.0 leaves it as it is.
cv::Size scaledFrameSize(const cv::Size& size, double scale);

// Scales frame size (as scaledFrameSize does) and K of camera i by the scale of stream i (pairing
// by position). A scale of exactly 1.0 leaves the camera untouched; otherwise K becomes a new 3x3
// CV_32F matrix, all nine entries multiplied. The counts must match (fatal check).
void applyScaleToIntrinsics(std::vector<Camera>& cameras, const FrameStreams& streams);

// Copies every camera into OutCameras under its name; other entries stay.
void camerasVectoToMap(const std::vector<Camera>& InCameras,
                       std::map<std::string, Camera>& OutCameras);

}  // namespace tesmo
