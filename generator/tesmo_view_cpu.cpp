#include "generator/tesmo_view_cpu.h"

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cstdint>

#include <glog/logging.h>
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include "common/perf.h"
#include "streamer/util.h"

namespace tesmo {

namespace {

// Bounding rectangle of the non-zero pixels of a CV_32FC1 or CV_8UC1 mask, widened by border and
// limited to the mask. An all-zero mask gives an empty rectangle.
void computeMaskROI(const cv::Mat& mask, cv::Rect* roi, int border) {
  CV_Assert(mask.type() == CV_32FC1 || mask.type() == CV_8UC1);
  cv::Point minPt(mask.cols, mask.rows);
  cv::Point maxPt(0, 0);
  for (int y = 0; y < mask.rows; ++y) {
    for (int x = 0; x < mask.cols; ++x) {
      const bool set = mask.type() == CV_8UC1 ? mask.at<uchar>(y, x) != 0
                                              : mask.at<float>(y, x) > FLT_MIN;
      if (set) {
        minPt.x = std::min(minPt.x, x);
        minPt.y = std::min(minPt.y, y);
        maxPt.x = std::max(maxPt.x, x);
        maxPt.y = std::max(maxPt.y, y);
      }
    }
  }
  minPt -= cv::Point(border, border);
  maxPt += cv::Point(border, border);
  minPt.x = std::max(minPt.x, 0);
  minPt.y = std::max(minPt.y, 0);
  maxPt.x = std::min(maxPt.x, mask.cols);
  maxPt.y = std::min(maxPt.y, mask.rows);
  *roi = cv::Rect(minPt.x, minPt.y, std::max(maxPt.x - minPt.x, 0), std::max(maxPt.y - minPt.y, 0));
}

// acc[k] += src[k] * w[k] for n samples, saturating at 65535. A covered pixel's weights add up to
// at most 257 (255 plus rounding), so with up to four cameras the sum never saturates; with more
// a bright pixel stays white instead of wrapping to black.
inline void addMulRow(const uchar* src, const uchar* w, uint16_t* acc, int n) {
  int k = 0;
#if CV_SIMD128
  for (; k <= n - 16; k += 16) {
    cv::v_uint16x8 s0, s1, w0, w1;
    cv::v_expand(cv::v_load(src + k), s0, s1);
    cv::v_expand(cv::v_load(w + k), w0, w1);
    // Saturating 16-bit addition.
    cv::v_store(acc + k, cv::v_load(acc + k) + cv::v_mul_wrap(s0, w0));
    cv::v_store(acc + k + 8, cv::v_load(acc + k + 8) + cv::v_mul_wrap(s1, w1));
  }
#endif
  for (; k < n; ++k) {
    const unsigned sum = acc[k] + static_cast<unsigned>(src[k]) * w[k];
    acc[k] = static_cast<uint16_t>(std::min(sum, 65535u));
  }
}

// dst[k] = min(255, acc[k] / 255) with the division done as ((v * 32897) >> 16) >> 7, which
// equals v / 255 rounded down for every 16-bit v.
inline void div255Row(const uint16_t* acc, uchar* dst, int n) {
  int k = 0;
#if CV_SIMD128
  const cv::v_uint16x8 magic = cv::v_setall_u16(32897);
  for (; k <= n - 16; k += 16) {
    const cv::v_uint16x8 q0 = cv::v_mul_hi(cv::v_load(acc + k), magic) >> 7;
    const cv::v_uint16x8 q1 = cv::v_mul_hi(cv::v_load(acc + k + 8), magic) >> 7;
    cv::v_store(dst + k, cv::v_pack(q0, q1));
  }
#endif
  for (; k < n; ++k) {
    const uint32_t q = ((static_cast<uint32_t>(acc[k]) * 32897u) >> 16) >> 7;
    dst[k] = static_cast<uchar>(std::min(q, 255u));
  }
}

// Scratch of one worker thread for one block of view rows: the remapped part of every camera
// and one accumulator row. Reused from block to block and from call to call.
struct BlockScratch {
  std::vector<cv::Mat> warped;
  std::vector<uint16_t> acc;

  void reserve(size_t numCams, size_t warpedBytes, size_t accSamples) {
    if (warped.size() < numCams) {
      warped.resize(numCams);
    }
    for (size_t i = 0; i < numCams; ++i) {
      if (warped[i].total() < warpedBytes) {
        warped[i].create(1, static_cast<int>(warpedBytes), CV_8U);
      }
    }
    if (acc.size() < accSamples) {
      acc.resize(accSamples);
    }
  }
};

// The frame as 8-bit BGR: used as it is, or converted into buffer from gray or BGRA.
cv::Mat toBgr(const cv::Mat& frame, cv::Mat& buffer, size_t camIdx) {
  if (frame.empty()) {
    CV_Error_(cv::Error::StsBadArg, ("Empty frame of camera %d", static_cast<int>(camIdx)));
  }
  switch (frame.type()) {
    case CV_8UC3:
      return frame;
    case CV_8UC1:
      cv::cvtColor(frame, buffer, cv::COLOR_GRAY2BGR);
      return buffer;
    case CV_8UC4:
      cv::cvtColor(frame, buffer, cv::COLOR_BGRA2BGR);
      return buffer;
    default:
      CV_Error_(cv::Error::StsUnsupportedFormat,
                ("Frame of camera %d has type %s; 8-bit frames with 1, 3 or 4 channels expected",
                 static_cast<int>(camIdx), cv::typeToString(frame.type()).c_str()));
  }
}

}  // namespace

TesmoViewGeneratorCpu::TesmoViewGeneratorCpu(const std::vector<Camera>& cameras,
                                             const cv::FileNode& node)
    : TesmoViewGenerator(cameras, node) {}

TesmoViewGeneratorCpu::~TesmoViewGeneratorCpu() = default;

void TesmoViewGeneratorCpu::prepare(cv::Mat& dstMask) {
  bIsOk = false;
  try {
    std::vector<cv::Mat> warpMaps, masks;
    computeMaps(warpMaps, masks);
    stitchMasks(masks, dstMask);
    std::vector<std::vector<cv::Mat>> weightPyrs;
    std::vector<cv::Mat> weightSums;
    preparePyramids(masks, &weightPyrs, &weightSums);
    computeCamerasROI(warpMaps, masks);

    const size_t numCams = cameras.size();
    const int numLevels = params.numBandsBlend + 1;
    warpMapsX16u.assign(numCams, cv::Mat());
    warpMapsY16u.assign(numCams, cv::Mat());
    weightPyrs16u.assign(numCams, std::vector<cv::Mat>(numLevels));
    warpMapsROI.assign(numCams, cv::Rect());

    for (size_t i = 0; i < numCams; ++i) {
      computeMaskROI(masks[i], &warpMapsROI[i], 1);
    }
    for (size_t i = 0; i < numCams; ++i) {
      cv::convertMaps(warpMaps[i], cv::noArray(), warpMapsX16u[i], warpMapsY16u[i], CV_16SC2,
                      /*nninterpolation=*/false);
    }
    for (size_t i = 0; i < numCams; ++i) {
      for (int l = 0; l < numLevels; ++l) {
        weightPyrs[i][l].convertTo(weightPyrs16u[i][l], CV_16U, 255.0);
      }
    }

    // Divide every weight by the weights' sum where that sum is above 1, so that a covered pixel's
    // weights add up to 255 and process() needs no division by the sum.
    for (int l = 0; l < numLevels; ++l) {
      const cv::Mat& sum = weightSums[l];
      cv::parallel_for_(cv::Range(0, sum.rows), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
          const float* s = sum.ptr<float>(y);
          const int n = sum.cols * 3;
          for (size_t i = 0; i < numCams; ++i) {
            uint16_t* w = weightPyrs16u[i][l].ptr<uint16_t>(y);
            for (int k = 0; k < n; ++k) {
              if (s[k] > 1.0f) {
                w[k] = static_cast<uint16_t>(
                    static_cast<int>(0.5 + static_cast<double>(static_cast<float>(w[k]) / s[k])));
              }
            }
          }
        }
      });
    }

    // The data of the per-frame path: 8-bit level-0 weights and each camera's columns per block.
    const cv::Size size = params.viewSizeCashed;
    weights8u.assign(numCams, cv::Mat());
    for (size_t i = 0; i < numCams; ++i) {
      double maxWeight = 0;
      cv::minMaxLoc(weightPyrs16u[i][0].reshape(1), nullptr, &maxWeight);
      CV_Assert(maxWeight <= 255.0);
      weightPyrs16u[i][0].convertTo(weights8u[i], CV_8U);
    }
    const int numBlocks = (size.height + kBlockRows - 1) / kBlockRows;
    blockSpans.assign(numBlocks, std::vector<cv::Range>(numCams, cv::Range(0, 0)));
    cv::parallel_for_(cv::Range(0, numBlocks), [&](const cv::Range& blocks) {
      for (int b = blocks.start; b < blocks.end; ++b) {
        const int y0 = b * kBlockRows;
        const int y1 = std::min(size.height, y0 + kBlockRows);
        for (size_t i = 0; i < numCams; ++i) {
          int x0 = size.width;
          int x1 = 0;
          for (int y = y0; y < y1; ++y) {
            const uchar* w = weights8u[i].ptr<uchar>(y);
            for (int x = 0; x < size.width; ++x) {
              if (w[3 * x] | w[3 * x + 1] | w[3 * x + 2]) {
                x0 = std::min(x0, x);
                x1 = std::max(x1, x + 1);
              }
            }
          }
          blockSpans[b][i] = x0 < x1 ? cv::Range(x0, x1) : cv::Range(0, 0);
        }
      }
    });
    tmpFrames.resize(numCams);

    bIsOk = true;
  } catch (...) {
    handleException(std::current_exception());
  }
}

void TesmoViewGeneratorCpu::process(const std::vector<cv::_OutputArray>& frames,
                                    const cv::_OutputArray& out) {
  CHECK((size_t)frames.size() == cameras.size());
  if (!bIsOk) {
    drawDebugFrame(out);
    return;
  }
  try {
    const int64_t t0 = now<std::chrono::steady_clock>();
    const size_t numCams = cameras.size();
    const cv::Size size = params.viewSizeCashed;
    const int interpolation = params.interpolation;

    std::vector<cv::Mat> src(numCams);
    for (size_t i = 0; i < numCams; ++i) {
      src[i] = toBgr(frames[i].getMat(), tmpFrames[i], i);
    }

    out.create(size, CV_8UC3);
    cv::Mat dst = out.getMat();

    // Remap, merge, divide and convert in one pass over blocks of rows, so that the remapped
    // pixels and the accumulator stay in cache. Only the columns where a camera's weight is
    // non-zero are remapped; everywhere else its contribution would be 0.
    const int numBlocks = static_cast<int>(blockSpans.size());
    const int rowSamples = size.width * 3;
    cv::parallel_for_(cv::Range(0, numBlocks), [&](const cv::Range& blocks) {
      thread_local BlockScratch scratch;
      scratch.reserve(numCams, static_cast<size_t>(kBlockRows) * rowSamples, rowSamples);
      std::vector<cv::Mat> warped(numCams);
      for (int b = blocks.start; b < blocks.end; ++b) {
        const int y0 = b * kBlockRows;
        const int y1 = std::min(size.height, y0 + kBlockRows);
        const std::vector<cv::Range>& spans = blockSpans[b];
        for (size_t i = 0; i < numCams; ++i) {
          if (spans[i].empty()) {
            continue;
          }
          const cv::Rect rect(spans[i].start, y0, spans[i].size(), y1 - y0);
          warped[i] = cv::Mat(rect.height, rect.width, CV_8UC3, scratch.warped[i].data);
          cv::remap(src[i], warped[i], warpMapsX16u[i](rect), warpMapsY16u[i](rect),
                    interpolation, cv::BORDER_CONSTANT, cv::Scalar());
        }
        uint16_t* acc = scratch.acc.data();
        for (int y = y0; y < y1; ++y) {
          std::fill(acc, acc + rowSamples, 0);
          for (size_t i = 0; i < numCams; ++i) {
            if (spans[i].empty()) {
              continue;
            }
            const int x0 = spans[i].start * 3;
            addMulRow(warped[i].ptr<uchar>(y - y0), weights8u[i].ptr<uchar>(y) + x0, acc + x0,
                      spans[i].size() * 3);
          }
          div255Row(acc, dst.ptr<uchar>(y), rowSamples);
        }
      }
    });
    perf::UpdateRecord("tvg_create_merge", now<std::chrono::steady_clock>() - t0);
  } catch (...) {
    handleException(std::current_exception());
  }
}

void TesmoViewGeneratorCpu::processOneFrame(const cv::_InputArray& frames,
                                            const cv::_OutputArray& out, int camIdx) {
  if (!bIsOk) {
    drawDebugFrame(out);
    return;
  }
  try {
    CV_Assert(camIdx >= 0 && camIdx < static_cast<int>(warpMapsX16u.size()));
    const cv::Mat frame = frames.getMat(camIdx);
    cv::remap(frame, out, warpMapsX16u[camIdx], warpMapsY16u[camIdx], params.interpolation,
              cv::BORDER_CONSTANT, cv::Scalar());
  } catch (...) {
    handleException(std::current_exception());
  }
}

}  // namespace tesmo
