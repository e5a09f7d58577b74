#pragma once

#include <exception>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "common/gpu/gpu.h"
#include "generator/camera.h"
#include "generator/masks_gen.h"
#include "generator/types.h"

namespace tesmo {

// Largest view accepted from any input (configuration, user settings, HTTP): the requested and the
// working size each at most kMaxViewSide pixels per side and kMaxViewPixels pixels in all.
constexpr int kMaxViewSide = 8192;
constexpr int kMaxViewPixels = 4096 * 4096;

// OpenCV interpolation flag (0..6) to its name: "NEAREST", "LINEAR", "CUBIC", "AREA", "LANCZOS4",
// "LINEAR_EXACT", "NEAREST_EXACT". Any other value is a fatal check.
std::string InterpolationToString(int flag);
// The flag of one of those names (exact match, case included), or -1.
int StringToInterpolation(const std::string& name);

// Composes one view (top-down view of the ground plane or the image of a virtual pinhole camera)
// from the frames of a calibrated camera set. Variants: TesmoViewGeneratorCpu (and the GPU ones).
//
// Life cycle: construct (not ok), prepare() after construction and after every change of
// parameters or cameras, then process() once per frame set; until the next successful prepare(),
// process() composes from what the last one built, whatever the parameters say meanwhile. While
// the generator is not ok, process() draws an error image with the last failure's text. One
// thread at a time.
class TesmoViewGenerator {
 public:
  enum GenerationMode { TopView = 0, VirtualCamera = 1 };

  struct GenerationParams {
    struct TopViewParams {
      // Ground-plane corners relative to the cameras' mean centre (world units).
      PlaneRoi roi = PlaneRoi(cv::Vec3f(-5.f, -5.f, 0.f), cv::Vec3f(-5.f, 5.f, 0.f),
                              cv::Vec3f(5.f, -5.f, 0.f), cv::Vec3f(5.f, 5.f, 0.f));
      // Rotation of the view about the world z axis, radians.
      float rotZ = 0.f;
    };
    struct VirtualCameraParams {
      // Kept and written only; no computation uses it.
      int defCameraInd = 0;
      // Horizontal field of view, radians (120 degrees).
      float fov = 2.0943952f;
      // Orientation (CalcRotation), radians.
      float rotX = 0.f;
      float rotY = 0.f;
      float rotZ = 0.f;
      // Distance to the plane the scene is assumed to lie on, world units.
      float focalDist = 10000.f;
    };

    GenerationMode mode = VirtualCamera;
    // Requested view size in pixels, before scaling and rounding.
    cv::Size viewSize = cv::Size(1024, 1024);
    // Soft seam width as a fraction of (width + height); blending is on from 0.1.
    float blendBorderWidth = 0.02f;
    // Pyramid levels below full size for multi-band blending; sizes are multiples of 2^this.
    int numBandsBlend = 0;
    Distortion distortion;
    // OpenCV interpolation flag of the frame remap.
    int interpolation = 1;  // cv::INTER_LINEAR
    float scaleFactor = 1.0f;
    TopViewParams topView;
    VirtualCameraParams virtualCamera;
    // Working size actually produced (computeViewSize); never read from or written to a file.
    cv::Size viewSizeCashed = cv::Size(1024, 1024);

    // viewSizeCashed = viewSize * scaleFactor rounded to multiples of 2^numBandsBlend. A side
    // beyond an int comes out as INT_MAX and a negative one as 0, never as a wrapped value; a step
    // 2^numBandsBlend below 1 or beyond an int gives 0 x 0.
    void computeViewSize();
  };

  // Copies the camera list, reads the parameters from node (a map; anything else is ignored).
  TesmoViewGenerator(const std::vector<Camera>& cameras, const cv::FileNode& node);
  // Cameras (with extrinsics) and the "tesmo_view_gen_params" node of one document. An unreadable
  // file is a fatal check.
  explicit TesmoViewGenerator(const std::string& path);
  virtual ~TesmoViewGenerator();

  TesmoViewGenerator(const TesmoViewGenerator&) = delete;
  TesmoViewGenerator& operator=(const TesmoViewGenerator&) = delete;

  // Computes maps, seams and weights for the current cameras and parameters; fills dstMask
  // (CV_8U, working size) with the union of the cameras' visibility. Failures leave the generator
  // not ok (see the variants). A record set with setParams that readParams could not have produced
  // (see setParams) fails before anything is computed, with readParams' message for a value it
  // refuses, and gives way to the last record accepted.
  virtual void prepare(cv::Mat& dstMask) = 0;
  // Composes the view from one frame per camera (camera order) into out (CV_8UC3, the working
  // size of the last successful prepare).
  // A frame count different from the camera count is a fatal check. Cameras added or removed
  // since the last successful prepare are a failure of the call (see the variants).
  virtual void process(const std::vector<cv::_OutputArray>& frames,
                       const cv::_OutputArray& out) = 0;
  // Warps frame camIdx of the frame set alone, without weights, into out.
  virtual void processOneFrame(const cv::_InputArray& frames, const cv::_OutputArray& out,
                               int camIdx) = 0;

  // Updates the parameters from a parameter node; absent keys keep their values. An unknown
  // "mode" is a fatal check; an unknown "interpolation" is reported on standard output and
  // ignored, as is a "num_bands_blend" outside 0..30. Angles are read in degrees and held in
  // radians.
  // All or nothing: any other refused key throws std::runtime_error naming the key and the
  // value, and the parameters stay as they were. Refused are a key of the wrong form (a "mode"
  // or "interpolation" that is not a text, a "distortion", "top_view" or "virtual_camera" that
  // is not a map, a number key that is not a number, an int key that is not an integer within
  // an int), a float key that is not finite as a float, a "view_size" or a resulting working
  // size outside 1..kMaxViewSide per side or above kMaxViewPixels, a "scale_factor" or
  // "focal_dist" not above 0, a "roi" that is not 4 numbers whose rectangle has a finite
  // non-zero area (computed in float), a "fov" not above 0 and below 180 degrees, and a
  // rotation ("rot_x", "rot_y", "rot_z") outside -360..360 degrees. The degrees are checked in
  // float, so that everything writeParams writes reads again.
  void readParams(const cv::FileNode& node);
  // Whether readParams would take `node` whole into the parameters of a new generator (the
  // defaults): false, with *why (when not null) set to the text readParams would throw, for a
  // node that readParams refuses, and for an unknown "mode", which readParams ends the process
  // for, with the text "Camera mode \"<mode>\" don't support". An unknown "interpolation" and a
  // "num_bands_blend" out of range pass (readParams reports and ignores them; this prints
  // nothing), as does a node that is not a map. Changes nothing; any thread.
  static bool checkParams(const cv::FileNode& node, std::string* why);
  // Writes every parameter as keys of the map open in fs (angles in degrees); what it writes reads
  // back through readParams. A record set with setParams that prepare would refuse is not
  // written: a warning is logged and the last record accepted is written instead.
  void writeParams(cv::FileStorage& fs) const;

  const GenerationParams& getParams() const { return params; }
  // Replaces the whole record (viewSizeCashed included); recomputes and checks nothing. The next
  // prepare, readParams or writeParams checks it for what readParams could not produce: a value
  // readParams refuses or does not take, a roi whose corners are not a rectangle of the plane
  // z = 0 as readParams builds them (within 1e-5 of the largest coordinate), an angle whose
  // written degrees would read back refused, and a viewSizeCashed other than computeViewSize
  // derives.
  void setParams(const GenerationParams& newParams);

  // Changes take effect at the next prepare (gain and offset: at the next process where used).
  const std::vector<Camera>& getCameras() const { return cameras; }
  std::vector<Camera>& getCameras() { return cameras; }

  // Per camera, a CV_32FC2 warp map and a CV_8U visibility mask of the working size.
  void computeMaps(std::vector<cv::Mat>& outWarpMaps, std::vector<cv::Mat>& outMasks) const;
  // Visibility masks -> seam masks (CV_32F 0/255) or, with blending, soft weights in [0, 1], in
  // place; dstMask = union of the visibility masks.
  void stitchMasks(std::vector<cv::Mat>& inOutMasks, cv::Mat& dstMask) const;
  // Soft weights from seam masks (inOutMasks) and visibility masks (backMasks).
  void blendMasks(const std::vector<cv::Mat>& backMasks, std::vector<cv::Mat>& inOutMasks) const;
  // Per camera numBandsBlend + 1 CV_32FC3 weight levels, and their per-level sums.
  void preparePyramids(const std::vector<cv::Mat>& masks,
                       std::vector<std::vector<cv::Mat>>* weightPyrs,
                       std::vector<cv::Mat>* dstWeightPyr) const;
  // Per camera, the rectangle of its frame that the view samples (weights above 0.001).
  void computeCamerasROI(const std::vector<cv::Mat>& warpMaps, const std::vector<cv::Mat>& masks);
  // Records a caught failure: not ok, text printed and kept for the error image that process()
  // draws until the next successful prepare(). The generators record their own failures; a
  // caller records one that reaches it, such as the failure a CUDA prepare() throws. Exceptions
  // that are not std::exception propagate; an empty pointer throws std::bad_exception.
  void handleException(const std::exception_ptr& eptr);

 protected:
  // What the host-side preparation builds, per camera in camera order: the CV_32FC2 warp map, the
  // seam mask or soft weight (CV_32F) and numBandsBlend + 1 CV_32FC3 weight levels; per level the
  // CV_32FC3 sum of the cameras' weight levels.
  struct HostWeights {
    std::vector<cv::Mat> warpMaps;
    std::vector<cv::Mat> masks;
    std::vector<std::vector<cv::Mat>> weightPyrs;
    std::vector<cv::Mat> weightSums;
  };

  // The frame of every variant's prepare(): not ok; a record set with setParams checked as
  // readParams checks what it reads (std::runtime_error); the host-side maps and weights
  // (prepareWeights) handed to `build`, which makes the variant's own data of them; then ok, with
  // the parameters it built from kept in `prepared`. A failure leaves the generator not ok: with
  // bCatch it is recorded with handleException (text kept for the error image), otherwise it
  // reaches the caller. Fatal checks end the process either way.
  template <class Build>
  void prepareWith(cv::Mat& dstMask, bool bCatch, Build&& build) {
    bIsOk = false;
    const auto steps = [&] {
      HostWeights host;
      prepareWeights(dstMask, &host);
      build(host);
      finishPrepare();
    };
    if (bCatch) {
      catchFailures(steps);
    } else {
      steps();
    }
  }
  // The guard of every variant's process(): checkFrameSet, then `step` as guarded() runs it.
  template <class Step>
  void guardedProcess(const std::vector<cv::_OutputArray>& frames, const cv::_OutputArray& out,
                      Step&& step) {
    checkFrameSet(frames);
    guarded(out, step);
  }
  // The guard of every variant's process() and processOneFrame(): while the generator is not ok,
  // the error image into out (drawDebugFrame) instead of `step`; otherwise `step`, a failure of
  // which is recorded with handleException (not ok, text kept) instead of leaving the call. It
  // allocates nothing itself. OpenCV's error macros inside `step` name the lambda
  // ("operator()"); a check whose text names the operation raises its error with that name.
  template <class Step>
  void guarded(const cv::_OutputArray& out, Step&& step) {
    if (!bIsOk) {
      drawDebugFrame(out);
      return;
    }
    catchFailures(step);
  }
  // The fatal check that a frame set has one frame per camera
  // ("(size_t)frames.size() == cameras.size()"), then reportFrameSizes.
  void checkFrameSet(const std::vector<cv::_OutputArray>& frames);
  // Runs `step`; a failure it throws goes to handleException instead of leaving the call.
  template <class Step>
  void catchFailures(Step&& step) {
    try {
      step();
    } catch (...) {
      handleException(std::current_exception());
    }
  }
  // The host-side preparation of every variant: per camera the warp map and the seam mask or soft
  // weight (dstMask = union of the visibility masks), the weight pyramids and their per-level
  // sums; sets camerasROI. A record set with setParams is checked first.
  void prepareWeights(cv::Mat& dstMask, HostWeights* host);
  // `params`, or checkedParams when `params` is an unchecked record that prepare would refuse.
  const GenerationParams& writableParams() const;
  // Ends a successful prepare(): keeps the parameters it built from in `prepared` and marks the
  // generator ok.
  void finishPrepare();
  // Throws cv::Exception ("The cameras changed since prepare: ...") when the camera list no longer
  // has the numPrepared cameras that the last successful prepare() built for.
  void checkPreparedCameras(size_t numPrepared) const;
  // Logs a warning, naming the camera and both sizes, for a frame (not empty) of another size than
  // its camera's calibrated frameSize: the maps assume that size, so the camera's part of the view
  // is misplaced. Once per camera until its frames have the calibrated size again or another size.
  void reportFrameSizes(const std::vector<cv::_OutputArray>& frames);
  // Draws errorMessage in 60-character lines on a CV_8UC3 image of the working size (of the
  // default working size when the current one is out of bounds, which only setParams can give):
  // an output of that size and type is drawn over as it is, one allocated for it is black first;
  // then sleeps 20 ms so that a failing generator does not spin. Never throws: an output that
  // cannot take the image (a plain cv::cuda::GpuMat of another size or type, a fixed-size host
  // image) is logged and left as it was.
  void drawDebugFrame(const cv::_OutputArray& out);

  std::vector<Camera> cameras;
  std::vector<cv::Rect> camerasROI;
  GenerationParams params;
  // Whether `params` came from setParams and has not been checked since.
  bool bUncheckedParams = false;
  // While bUncheckedParams: the record setParams replaced, the last one accepted, to which a
  // refused record gives way and which writeParams writes in its place.
  GenerationParams checkedParams;
  // The parameters of the last successful prepare(). process() and processOneFrame() read the
  // working size, the band count and the interpolation from here, never from `params`: a change
  // of `params` reaches them only through the next successful prepare().
  GenerationParams prepared;
  std::shared_ptr<MasksGenerator> maskGen;
  bool bIsOk = false;
  std::string errorMessage;
  // Per camera the wrong frame size last reported by reportFrameSizes, or 0 x 0.
  std::vector<cv::Size> reportedFrameSizes;
};

// View generator on a GPU through the GPU layer (common/gpu). prepare() uploads the float warp
// maps, the weight pyramids, their per-level sums and the coverage mask; process() remaps every
// camera's frame, applies the camera's gain and offset (alpha, beta; read at every call) as
// sample * alpha / 255 + beta / 255, splits it into a Laplacian pyramid of numBandsBlend levels,
// merges the pyramids level by level with the weights, divides by the weight sums, restores the
// view, masks it with the coverage mask (numBandsBlend > 0), resizes it to viewSize when that
// differs from the working size, and converts it to 8 bits. The output has viewSize, not the
// working size. Samples that no camera sees are 0: the layer's division by a zero sum gives 0.
//
// Frames: GPU images (cv::cuda::GpuMat views of gpu::Image pixels, used in place) or host images
// (cv::Mat, cv::UMat; uploaded), 8-bit BGR in practice; 8-bit gray and BGRA frames are converted
// to BGR first, as the CPU variant converts them. Another kind of array is a fatal check; frames
// of mixed types after that conversion, or of a type the three-channel weights do not fit, are
// caught failures: the generator turns not ok and draws the error image until the next
// successful prepare(). A failure in prepare() itself reaches the caller (the generator stays not
// ok). The error image goes into a gpu::Image output, or into a plain cv::cuda::GpuMat that
// already has the working size and CV_8UC3 (the layer cannot allocate one); another output is
// logged and left as it was.
//
// Streams: computation on calcStream; host-to-GPU copies on uploadStream; the download of
// process() on downloadStream (processOneFrame() trades the two copy streams). Events order them:
// uploads before the computation that reads them, the computation before its download, and the
// previous frame set's computation before uploads overwrite what it reads; prepare() first waits
// for the work of earlier calls (a failure kept there is logged, not thrown). A host output returns
// with the view in host memory; a GPU output returns with its conversion still queued on
// calcStream (a download on the layer's default stream waits for it).
class TesmoViewGeneratorCuda : public TesmoViewGenerator {
 public:
  TesmoViewGeneratorCuda(const std::vector<Camera>& cameras, const cv::FileNode& node)
      : TesmoViewGenerator(cameras, node) {}
  // Waits for the three streams, then releases the GPU images.
  ~TesmoViewGeneratorCuda() override;

  // Throws whatever fails (OpenCV errors included); the generator then stays not ok. A caller
  // that catches the failure records it for the error image with handleException().
  void prepare(cv::Mat& dstMask) override;
  void process(const std::vector<cv::_OutputArray>& frames, const cv::_OutputArray& out) override;
  // frames: a vector of cv::cuda::GpuMat, cv::Mat or cv::UMat; the result keeps the frame's type
  // and has the working size (no gain, offset, weights or resize). An invalid camIdx is a caught
  // failure.
  void processOneFrame(const cv::_InputArray& frames, const cv::_OutputArray& out,
                       int camIdx) override;

 protected:
  // pyr = img's Laplacian pyramid of numLevels levels below it (pyr[0] shares img's pixels and
  // is overwritten), on calcStream.
  void createLaplacePyrGpu(cv::cuda::GpuMat img, int numLevels, std::vector<gpu::Image>& pyr);
  // pyr[0] = the image restored from the Laplacian pyramid pyr, on calcStream.
  void restoreImageFromLaplacePyrGpu(std::vector<gpu::Image>& pyr);
  // Blocks until the three streams have run their work; a kept failure is logged with
  // failureText before its text.
  void waitForStreams(const char* failureText);
  // The steps of prepare(): every GPU image released; the coverage mask of dstMask, the warp
  // maps' planes, the weight levels and their sums uploaded on uploadStream (calcStream waits
  // for them).
  void releaseImages();
  void uploadWeights(const cv::Mat& dstMask, const HostWeights& host);
  // The steps of process(), each timed: the frames as GPU images in BGR (tvg_get_frames); each
  // remapped with its camera's gain and offset into tmpWarpedFrames (tvg_remap); the merged
  // pyramid tmpDstFramePyr from the frames' pyramids and the weights (tvg_create_merge); the view
  // restored into its level 0 and masked with the coverage mask (tvg_restore); the view resized
  // to viewSize where that differs (tvg_resize); the view converted to 8 bits into out,
  // downloaded for a host output (tvg_download_frame).
  std::vector<cv::cuda::GpuMat> gatherFrames(const std::vector<cv::_OutputArray>& frames);
  void warpFrames(const std::vector<cv::cuda::GpuMat>& src);
  void blendPyramids();
  void restoreView();
  cv::cuda::GpuMat resizedView();
  void deliverView(const cv::cuda::GpuMat& view, const cv::_OutputArray& out);
  // Frame camIdx of processOneFrame()'s frames as a GPU image, uploaded for a host one
  // (tvg_load_frames).
  cv::cuda::GpuMat loadOneFrame(const cv::_InputArray& frames, int camIdx);

  // Prepared: per camera the x and y planes (CV_32FC1) of its warp map and numBandsBlend + 1
  // CV_32FC3 weight levels; per level the CV_32FC3 sum of the cameras' weights.
  std::vector<gpu::Image> gpuWarpMapsX;
  std::vector<gpu::Image> gpuWarpMapsY;
  std::vector<std::vector<gpu::Image>> gpuWeightPyrs;
  std::vector<gpu::Image> gpuDstWeightPyr;
  gpu::Stream calcStream;
  gpu::Stream uploadStream;
  gpu::Stream downloadStream;
  // Scratch reused from frame set to frame set: the remap output in the frame type; per camera
  // its warped frame as float and its Laplacian pyramid; the merged pyramid (CV_32FC3); per
  // camera the uploaded host frame and its gray or BGRA frame converted to BGR; the two pyramid
  // functions' scratch; per level one camera's weighted level; the view resized to viewSize; the
  // 8-bit view before its download.
  gpu::Image tmpWarpedFrame;
  std::vector<gpu::Image> tmpWarpedFrames;
  std::vector<std::vector<gpu::Image>> tmpFramePyrs;
  std::vector<gpu::Image> tmpDstFramePyr;
  std::vector<gpu::Image> tmpFrames;
  std::vector<gpu::Image> tmpBgrFrames;
  std::vector<gpu::Image> tmpCreateLaplacePyrGpu;
  std::vector<gpu::Image> tmpRestoreImageFromLaplacePyrGpu;
  std::vector<gpu::Image> tmpCreateMerge;
  gpu::Image tmpDstScaled;
  gpu::Image tmpDst32f;
  // Prepared: the union of the cameras' visibility as CV_32FC3 of 0.0 or 1.0.
  gpu::Image gpuFullMask;
  // uploadedEvent: the latest uploads for calcStream; computedEvent: the latest computation, for
  // the download and for the next uploads into images it reads.
  gpu::Event uploadedEvent;
  gpu::Event computedEvent;
};

}  // namespace tesmo
