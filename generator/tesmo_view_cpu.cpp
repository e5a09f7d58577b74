#include "generator/tesmo_view_cpu.h"

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "common/perf.h"

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
      const bool set =
          mask.type() == CV_8UC1 ? mask.at<uchar>(y, x) != 0 : mask.at<float>(y, x) > FLT_MIN;
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

// Bilinear weights of OpenCV's fixed-point remap for 8-bit images, entry ty * 32 + tx (the
// fraction in 1/32 pixel that cv::convertMaps keeps in its second map): the weights of the pixels
// (x, y), (x + 1, y), (x, y + 1), (x + 1, y + 1), scaled to 1 << 15. Every product of (32 - t) / 32
// and t / 32 is exact, so these are the weights of cv::remap. The whole weight of an integer
// position is written as 32767 + 1 on the diagonal neighbour so that it fits 16 bits; with 8-bit
// samples a and d the result (a * 32767 + d + 16384) >> 15 is still a.
struct BilinearTable {
  int w[1024][4];
  BilinearTable() {
    for (int ty = 0; ty < 32; ++ty) {
      for (int tx = 0; tx < 32; ++tx) {
        int* e = w[ty * 32 + tx];
        e[0] = 32 * (32 - tx) * (32 - ty);
        e[1] = 32 * tx * (32 - ty);
        e[2] = 32 * (32 - tx) * ty;
        e[3] = 32 * tx * ty;
      }
    }
    w[0][0] = 32767;
    w[0][3] = 1;
  }
};

const BilinearTable& bilinearTable() {
  static const BilinearTable table;
  return table;
}

// One view pixel: the camera's pixel at (sx, sy) + fraction, sampled bilinearly with zero outside
// the frame, exactly as cv::remap (INTER_LINEAR, BORDER_CONSTANT 0), times weight w, added to the
// three channel accumulators (saturating at 65535).
inline void addBilinearPixel(const cv::Mat& src, int sx, int sy, int fxy, uint32_t w,
                             uint16_t* accB, uint16_t* accG, uint16_t* accR) {
  const int* t = bilinearTable().w[fxy & 1023];
  const int width = src.cols;
  const int height = src.rows;
  const bool x0 = sx >= 0 && sx < width;
  const bool x1 = sx + 1 >= 0 && sx + 1 < width;
  const bool y0 = sy >= 0 && sy < height;
  const bool y1 = sy + 1 >= 0 && sy + 1 < height;
  const size_t step = src.step;
  uint16_t* acc[3] = {accB, accG, accR};
  for (int c = 0; c < 3; ++c) {
    const int s00 = x0 && y0 ? src.data[sy * step + sx * 3 + c] : 0;
    const int s01 = x1 && y0 ? src.data[sy * step + (sx + 1) * 3 + c] : 0;
    const int s10 = x0 && y1 ? src.data[(sy + 1) * step + sx * 3 + c] : 0;
    const int s11 = x1 && y1 ? src.data[(sy + 1) * step + (sx + 1) * 3 + c] : 0;
    const int v = (s00 * t[0] + s01 * t[1] + s10 * t[2] + s11 * t[3] + (1 << 14)) >> 15;
    *acc[c] = static_cast<uint16_t>(std::min(*acc[c] + static_cast<uint32_t>(v) * w, 65535u));
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define TESMO_HAVE_FUSED_BILINEAR 1

bool cpuHasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

// (upper * w01 + lower * w23 + half) >> 15 per 32-bit lane, 16-bit pairs multiplied and added,
// then times the view weight.
__attribute__((target("avx2"))) inline __m256i weightedSample(__m256i upper, __m256i lower,
                                                              __m256i w01, __m256i w23,
                                                              __m256i half, __m256i weight) {
  const __m256i sum =
      _mm256_add_epi32(_mm256_madd_epi16(upper, w01), _mm256_madd_epi16(lower, w23));
  return _mm256_madd_epi16(_mm256_srli_epi32(_mm256_add_epi32(sum, half), 15), weight);
}

// acc[0..8) += sum, saturating at 65535.
__attribute__((target("avx2"))) inline void accumulate(uint16_t* acc, __m256i sum) {
  __m128i* p = reinterpret_cast<__m128i*>(acc);
  const __m256i total = _mm256_add_epi32(_mm256_cvtepu16_epi32(_mm_loadu_si128(p)), sum);
  _mm_storeu_si128(
      p, _mm_packus_epi32(_mm256_castsi256_si128(total), _mm256_extracti128_si256(total, 1)));
}

// For n view pixels of one row of one camera (xy and fxy: its fixed-point map; w: its 8-bit
// weights): the bilinear sample of the frame times the weight, added to the channel
// accumulators. Eight pixels at a time with AVX2 gathers where all four neighbours lie inside
// the frame; pixels of weight 0 add nothing and are skipped.
__attribute__((target("avx2"))) void addBilinearRowAvx2(const cv::Mat& src, const short* xy,
                                                        const ushort* fxy, const uchar* w,
                                                        uint16_t* accB, uint16_t* accG,
                                                        uint16_t* accR, int n) {
  const uchar* data = src.data;
  const int step = static_cast<int>(src.step);
  const __m256i innerWidth = _mm256_set1_epi32(std::max(src.cols - 1, 0));
  const __m256i innerHeight = _mm256_set1_epi32(std::max(src.rows - 1, 0));
  const __m256i minusOne = _mm256_set1_epi32(-1);
  const __m256i stepV = _mm256_set1_epi32(step);
  const __m256i low8 = _mm256_set1_epi32(0xff);
  const __m256i third8 = _mm256_set1_epi32(0xff0000);
  const __m256i fraction = _mm256_set1_epi32(1023);
  const __m256i half = _mm256_set1_epi32(1 << 14);
  const __m256i thirtyOne = _mm256_set1_epi32(31);
  const __m256i thirtyTwo = _mm256_set1_epi32(32);
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i highOne = _mm256_set1_epi32(1 << 16);
  int x = 0;
  for (; x + 8 <= n; x += 8) {
    const __m128i w8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(w + x));
    if (_mm_cvtsi128_si64(w8) == 0) {
      continue;
    }
    const __m256i pos = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(xy + 2 * x));
    const __m256i sx = _mm256_srai_epi32(_mm256_slli_epi32(pos, 16), 16);
    const __m256i sy = _mm256_srai_epi32(pos, 16);
    const __m256i inside = _mm256_and_si256(
        _mm256_and_si256(_mm256_cmpgt_epi32(innerWidth, sx), _mm256_cmpgt_epi32(sx, minusOne)),
        _mm256_and_si256(_mm256_cmpgt_epi32(innerHeight, sy), _mm256_cmpgt_epi32(sy, minusOne)));
    if (_mm256_movemask_epi8(inside) != -1) {
      for (int k = x; k < x + 8; ++k) {
        if (w[k] != 0) {
          addBilinearPixel(src, xy[2 * k], xy[2 * k + 1], fxy[k], w[k], accB + k, accG + k,
                           accR + k);
        }
      }
      continue;
    }
    const __m256i off = _mm256_add_epi32(_mm256_mullo_epi32(sy, stepV),
                                         _mm256_add_epi32(sx, _mm256_add_epi32(sx, sx)));
    // Bytes 0..3 and 2..5 of the pixel pair in the upper (a, b) and lower (c, d) source row:
    // a = B0 G0 R0 B1, b = R0 B1 G1 R1.
    const __m256i a = _mm256_i32gather_epi32(reinterpret_cast<const int*>(data), off, 1);
    const __m256i b = _mm256_i32gather_epi32(reinterpret_cast<const int*>(data + 2), off, 1);
    const __m256i c = _mm256_i32gather_epi32(reinterpret_cast<const int*>(data + step), off, 1);
    const __m256i d = _mm256_i32gather_epi32(reinterpret_cast<const int*>(data + step + 2), off, 1);
    const __m256i f = _mm256_and_si256(
        _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(fxy + x))),
        fraction);
    // The table's weights from the fraction: (32 - tx, tx) scaled by 32 (32 - ty) and by 32 ty,
    // with 32767 + 1 for an integer position.
    const __m256i tx = _mm256_and_si256(f, thirtyOne);
    const __m256i ty = _mm256_srli_epi32(f, 5);
    const __m256i across =
        _mm256_or_si256(_mm256_sub_epi32(thirtyTwo, tx), _mm256_slli_epi32(tx, 16));
    const __m256i upperScale = _mm256_slli_epi32(_mm256_sub_epi32(thirtyTwo, ty), 5);
    const __m256i lowerScale = _mm256_slli_epi32(ty, 5);
    const __m256i whole = _mm256_cmpeq_epi32(f, _mm256_setzero_si256());
    const __m256i w01 = _mm256_sub_epi32(
        _mm256_mullo_epi16(across, _mm256_or_si256(upperScale, _mm256_slli_epi32(upperScale, 16))),
        _mm256_and_si256(whole, one));
    const __m256i w23 = _mm256_add_epi32(
        _mm256_mullo_epi16(across, _mm256_or_si256(lowerScale, _mm256_slli_epi32(lowerScale, 16))),
        _mm256_and_si256(whole, highOne));
    const __m256i weight = _mm256_cvtepu8_epi32(w8);

    // Per channel the left/right neighbours as 16-bit pairs, weighted with one multiply-add each.
    const __m256i blue =
        weightedSample(_mm256_or_si256(_mm256_and_si256(a, low8),
                                       _mm256_and_si256(_mm256_srli_epi32(a, 8), third8)),
                       _mm256_or_si256(_mm256_and_si256(c, low8),
                                       _mm256_and_si256(_mm256_srli_epi32(c, 8), third8)),
                       w01, w23, half, weight);
    const __m256i green =
        weightedSample(_mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(a, 8), low8),
                                       _mm256_and_si256(b, third8)),
                       _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(c, 8), low8),
                                       _mm256_and_si256(d, third8)),
                       w01, w23, half, weight);
    const __m256i red =
        weightedSample(_mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(a, 16), low8),
                                       _mm256_and_si256(_mm256_srli_epi32(b, 8), third8)),
                       _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(c, 16), low8),
                                       _mm256_and_si256(_mm256_srli_epi32(d, 8), third8)),
                       w01, w23, half, weight);
    accumulate(accB + x, blue);
    accumulate(accG + x, green);
    accumulate(accR + x, red);
  }
  for (; x < n; ++x) {
    if (w[x] != 0) {
      addBilinearPixel(src, xy[2 * x], xy[2 * x + 1], fxy[x], w[x], accB + x, accG + x, accR + x);
    }
  }
}

// Byte shuffles that interleave three planes of 16 bytes into 48 bytes B G R B G R ...: mask
// [k][c] places plane c's bytes into output vector k.
struct InterleaveMasks {
  alignas(16) uchar m[3][3][16];
  InterleaveMasks() {
    for (int i = 0; i < 48; ++i) {
      for (int c = 0; c < 3; ++c) {
        m[i / 16][c][i % 16] = i % 3 == c ? static_cast<uchar>(i / 3) : 0x80;
      }
    }
  }
};

// One view row from the three channel accumulators: each sum divided by 255 as
// ((v * 32897) >> 16) >> 7, limited to 255, stored as BGR.
__attribute__((target("avx2"))) void storePlanarRowAvx2(const uint16_t* accB, const uint16_t* accG,
                                                        const uint16_t* accR, uchar* dst, int n) {
  static const InterleaveMasks masks;
  const __m128i magic = _mm_set1_epi16(static_cast<short>(32897));
  auto channel = [magic](const uint16_t* acc) __attribute__((target("avx2"))) {
    const __m128i lo = _mm_srli_epi16(
        _mm_mulhi_epu16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(acc)), magic), 7);
    const __m128i hi = _mm_srli_epi16(
        _mm_mulhi_epu16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + 8)), magic), 7);
    return _mm_packus_epi16(lo, hi);
  };
  int x = 0;
  for (; x + 16 <= n; x += 16) {
    const __m128i planes[3] = {channel(accB + x), channel(accG + x), channel(accR + x)};
    for (int k = 0; k < 3; ++k) {
      __m128i v = _mm_setzero_si128();
      for (int c = 0; c < 3; ++c) {
        v = _mm_or_si128(
            v, _mm_shuffle_epi8(planes[c],
                                _mm_load_si128(reinterpret_cast<const __m128i*>(masks.m[k][c]))));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * x + 16 * k), v);
    }
  }
  for (; x < n; ++x) {
    const uint16_t* acc[3] = {accB, accG, accR};
    for (int c = 0; c < 3; ++c) {
      dst[3 * x + c] = static_cast<uchar>(std::min(((acc[c][x] * 32897u) >> 16) >> 7, 255u));
    }
  }
}
#else
#define TESMO_HAVE_FUSED_BILINEAR 0
#endif

// Scratch of one worker thread for one block of view rows: the remapped part of every camera,
// one 16-bit accumulator row and one row of three-channel weights, or the block's accumulator
// planes of the fused path. Reused from block to block and from call to call.
struct BlockScratch {
  std::vector<cv::Mat> warped;
  std::vector<uint16_t> acc;
  std::vector<uchar> weights;
  std::vector<uint16_t> accPlanes;

  void reserve(size_t numCams, size_t warpedBytes, size_t accSamples) {
    if (weights.size() < accSamples) {
      weights.resize(accSamples);
    }
    if (accPlanes.size() < warpedBytes) {
      accPlanes.resize(warpedBytes);
    }
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

#if TESMO_HAVE_FUSED_BILINEAR
// Whether this processor runs the fused bilinear path.
bool fusedBilinearAvailable() {
  static const bool available = cpuHasAvx2();
  return available;
}
#endif

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

// Divides every 16-bit weight by the weights' sum where that sum is above 1, so that a covered
// pixel's weights add up to 255 and process() needs no division by the sum. weightSums: per
// level the CV_32FC3 sums; weightPyrs16u: per camera its CV_16UC3 levels.
void normaliseWeights(const std::vector<cv::Mat>& weightSums,
                      std::vector<std::vector<cv::Mat>>& weightPyrs16u) {
  for (size_t l = 0; l < weightSums.size(); ++l) {
    const cv::Mat& sum = weightSums[l];
    cv::parallel_for_(cv::Range(0, sum.rows), [&](const cv::Range& rows) {
      for (int y = rows.start; y < rows.end; ++y) {
        const float* s = sum.ptr<float>(y);
        const int n = sum.cols * 3;
        for (std::vector<cv::Mat>& levels : weightPyrs16u) {
          uint16_t* w = levels[l].ptr<uint16_t>(y);
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
}

// A normalised CV_16UC3 weight as the CV_8UC1 weight process() reads: its three channels are
// equal and every value is at most 255.
cv::Mat singleChannel8u(const cv::Mat& weight16u) {
  double maxWeight = 0;
  cv::minMaxLoc(weight16u.reshape(1), nullptr, &maxWeight);
  CV_Assert(maxWeight <= 255.0);
  cv::Mat channels[3];
  cv::split(weight16u, channels);
  CV_Assert(cv::norm(channels[0], channels[1], cv::NORM_INF) == 0 &&
            cv::norm(channels[0], channels[2], cv::NORM_INF) == 0);
  cv::Mat weight8u;
  channels[0].convertTo(weight8u, CV_8U);
  return weight8u;
}

// Per block of blockRows view rows and per camera, the columns where the camera's 8-bit weight is
// non-zero in any row of the block; an empty range where it adds nothing.
std::vector<std::vector<cv::Range>> findBlockSpans(const std::vector<cv::Mat>& weights8u,
                                                   cv::Size size, int blockRows) {
  const int numBlocks = (size.height + blockRows - 1) / blockRows;
  std::vector<std::vector<cv::Range>> spans(
      numBlocks, std::vector<cv::Range>(weights8u.size(), cv::Range(0, 0)));
  cv::parallel_for_(cv::Range(0, numBlocks), [&](const cv::Range& blocks) {
    for (int b = blocks.start; b < blocks.end; ++b) {
      const int y0 = b * blockRows;
      const int y1 = std::min(size.height, y0 + blockRows);
      for (size_t i = 0; i < weights8u.size(); ++i) {
        int x0 = size.width;
        int x1 = 0;
        for (int y = y0; y < y1; ++y) {
          const uchar* w = weights8u[i].ptr<uchar>(y);
          for (int x = 0; x < size.width; ++x) {
            if (w[x] != 0) {
              x0 = std::min(x0, x);
              x1 = std::max(x1, x + 1);
            }
          }
        }
        spans[b][i] = x0 < x1 ? cv::Range(x0, x1) : cv::Range(0, 0);
      }
    }
  });
  return spans;
}

// What the block loop of one process() call reads: per camera its BGR frame, its fixed-point map
// (integer part and fraction), its 8-bit weights and its columns per block; the working size, the
// rows per block and the interpolation.
struct BlockPass {
  const std::vector<cv::Mat>& src;
  const std::vector<cv::Mat>& mapsXY;
  const std::vector<cv::Mat>& mapsFraction;
  const std::vector<cv::Mat>& weights;
  const std::vector<std::vector<cv::Range>>& blockSpans;
  cv::Size size;
  int blockRows;
  int interpolation;
};

#if TESMO_HAVE_FUSED_BILINEAR
// View rows y0..y1 (block b), bilinear sampling and merging fused per pixel; three accumulator
// planes per row in scratch, used only over the columns that some camera covers in this block.
void composeFusedBlock(const BlockPass& pass, int b, int y0, int y1, BlockScratch& scratch,
                       cv::Mat& dst) {
  const std::vector<cv::Range>& spans = pass.blockSpans[b];
  const int width = pass.size.width;
  const int rowSamples = width * 3;
  int u0 = width;
  int u1 = 0;
  for (const cv::Range& span : spans) {
    if (!span.empty()) {
      u0 = std::min(u0, span.start);
      u1 = std::max(u1, span.end);
    }
  }
  uint16_t* acc = scratch.accPlanes.data();
  for (int y = y0; y < y1; ++y) {
    uint16_t* row = acc + static_cast<size_t>(y - y0) * rowSamples;
    for (int c = 0; c < 3; ++c) {
      std::fill(row + c * width + u0, row + c * width + std::max(u0, u1), 0);
    }
  }
  for (size_t i = 0; i < spans.size(); ++i) {
    if (spans[i].empty()) {
      continue;
    }
    const int x0 = spans[i].start;
    for (int y = y0; y < y1; ++y) {
      uint16_t* row = acc + static_cast<size_t>(y - y0) * rowSamples + x0;
      addBilinearRowAvx2(pass.src[i], pass.mapsXY[i].ptr<short>(y) + 2 * x0,
                         pass.mapsFraction[i].ptr<ushort>(y) + x0,
                         pass.weights[i].ptr<uchar>(y) + x0, row, row + width, row + 2 * width,
                         spans[i].size());
    }
  }
  for (int y = y0; y < y1; ++y) {
    uchar* out = dst.ptr<uchar>(y);
    if (u0 >= u1) {
      std::memset(out, 0, rowSamples);
      continue;
    }
    const uint16_t* row = acc + static_cast<size_t>(y - y0) * rowSamples + u0;
    std::memset(out, 0, 3 * u0);
    storePlanarRowAvx2(row, row + width, row + 2 * width, out + 3 * u0, u1 - u0);
    std::memset(out + 3 * u1, 0, 3 * (width - u1));
  }
}
#endif

// View rows y0..y1 (block b): each camera's part of the block remapped by cv::remap into scratch
// (`warped` holds the headers), then merged and divided row by row.
void composeRemappedBlock(const BlockPass& pass, int b, int y0, int y1, BlockScratch& scratch,
                          std::vector<cv::Mat>& warped, cv::Mat& dst) {
  const std::vector<cv::Range>& spans = pass.blockSpans[b];
  for (size_t i = 0; i < spans.size(); ++i) {
    if (spans[i].empty()) {
      continue;
    }
    const cv::Rect rect(spans[i].start, y0, spans[i].size(), y1 - y0);
    warped[i] = cv::Mat(rect.height, rect.width, CV_8UC3, scratch.warped[i].data);
    cv::remap(pass.src[i], warped[i], pass.mapsXY[i](rect), pass.mapsFraction[i](rect),
              pass.interpolation, cv::BORDER_CONSTANT, cv::Scalar());
  }
  const int rowSamples = pass.size.width * 3;
  uint16_t* acc = scratch.acc.data();
  uchar* weights = scratch.weights.data();
  for (int y = y0; y < y1; ++y) {
    std::fill(acc, acc + rowSamples, 0);
    for (size_t i = 0; i < spans.size(); ++i) {
      if (spans[i].empty()) {
        continue;
      }
      const int x0 = spans[i].start;
      const uchar* w = pass.weights[i].ptr<uchar>(y);
      for (int x = x0; x < spans[i].end; ++x) {
        weights[3 * x] = weights[3 * x + 1] = weights[3 * x + 2] = w[x];
      }
      addMulRow(warped[i].ptr<uchar>(y - y0), weights + 3 * x0, acc + 3 * x0, spans[i].size() * 3);
    }
    div255Row(acc, dst.ptr<uchar>(y), rowSamples);
  }
}

// Remap, merge, divide and convert in one pass over blocks of rows, so that the remapped pixels
// and the accumulator stay in cache. Only the columns where a camera's weight is non-zero are
// sampled; everywhere else its contribution would be 0. Bilinear sampling is fused with the
// merge where the processor has AVX2; otherwise (and for the other interpolations) each camera's
// part of the block is remapped first. dst: CV_8UC3 of the working size.
void composeBlocks(const BlockPass& pass, cv::Mat dst) {
  const size_t numCams = pass.src.size();
  const int numBlocks = static_cast<int>(pass.blockSpans.size());
  const int rowSamples = pass.size.width * 3;
#if TESMO_HAVE_FUSED_BILINEAR
  const bool bFused = pass.interpolation == cv::INTER_LINEAR && fusedBilinearAvailable();
#endif
  cv::parallel_for_(cv::Range(0, numBlocks), [&](const cv::Range& blocks) {
    thread_local BlockScratch scratch;
    scratch.reserve(numCams, static_cast<size_t>(pass.blockRows) * rowSamples, rowSamples);
    std::vector<cv::Mat> warped(numCams);
    for (int b = blocks.start; b < blocks.end; ++b) {
      const int y0 = b * pass.blockRows;
      const int y1 = std::min(pass.size.height, y0 + pass.blockRows);
#if TESMO_HAVE_FUSED_BILINEAR
      if (bFused) {
        composeFusedBlock(pass, b, y0, y1, scratch, dst);
        continue;
      }
#endif
      composeRemappedBlock(pass, b, y0, y1, scratch, warped, dst);
    }
  });
}

}  // namespace

TesmoViewGeneratorCpu::TesmoViewGeneratorCpu(const std::vector<Camera>& cameras,
                                             const cv::FileNode& node)
    : TesmoViewGenerator(cameras, node) {}

TesmoViewGeneratorCpu::~TesmoViewGeneratorCpu() = default;

void TesmoViewGeneratorCpu::prepare(cv::Mat& dstMask) {
  prepareWith(dstMask, /*bCatch=*/true, [this](HostWeights& host) { buildFixedPoint(host); });
}

void TesmoViewGeneratorCpu::buildFixedPoint(HostWeights& host) {
  const size_t numCams = cameras.size();
  const int numLevels = params.numBandsBlend + 1;
  warpMapsX16u.assign(numCams, cv::Mat());
  warpMapsY16u.assign(numCams, cv::Mat());
  weightPyrs16u.assign(numCams, std::vector<cv::Mat>(numLevels));
  warpMapsROI.assign(numCams, cv::Rect());

  for (size_t i = 0; i < numCams; ++i) {
    computeMaskROI(host.masks[i], &warpMapsROI[i], 1);
  }
  for (size_t i = 0; i < numCams; ++i) {
    cv::convertMaps(host.warpMaps[i], cv::noArray(), warpMapsX16u[i], warpMapsY16u[i], CV_16SC2,
                    /*nninterpolation=*/false);
  }
  for (size_t i = 0; i < numCams; ++i) {
    for (int l = 0; l < numLevels; ++l) {
      host.weightPyrs[i][l].convertTo(weightPyrs16u[i][l], CV_16U, 255.0);
    }
  }
  normaliseWeights(host.weightSums, weightPyrs16u);

  // The data of the per-frame path: 8-bit level-0 weights and each camera's columns per block.
  weights8u.assign(numCams, cv::Mat());
  for (size_t i = 0; i < numCams; ++i) {
    weights8u[i] = singleChannel8u(weightPyrs16u[i][0]);
  }
  blockSpans = findBlockSpans(weights8u, params.viewSizeCashed, kBlockRows);
  tmpFrames.resize(numCams);
}

void TesmoViewGeneratorCpu::process(const std::vector<cv::_OutputArray>& frames,
                                    const cv::_OutputArray& out) {
  guardedProcess(frames, out, [&] {
    // Remap, merge, division and conversion run as one pass, timed together.
    perf::ScopedTimer timer("tvg_create_merge");
    // What prepare built: blocks, spans, maps and weights of the prepared working size, for as
    // many cameras as there were then.
    checkPreparedCameras(warpMapsX16u.size());
    std::vector<cv::Mat> src(cameras.size());
    for (size_t i = 0; i < src.size(); ++i) {
      src[i] = toBgr(frames[i].getMat(), tmpFrames[i], i);
    }
    const cv::Size size = prepared.viewSizeCashed;
    out.create(size, CV_8UC3);
    composeBlocks({src, warpMapsX16u, warpMapsY16u, weights8u, blockSpans, size, kBlockRows,
                   prepared.interpolation},
                  out.getMat());
  });
}

void TesmoViewGeneratorCpu::processOneFrame(const cv::_InputArray& frames,
                                            const cv::_OutputArray& out, int camIdx) {
  guarded(out, [&] {
    checkPreparedCameras(warpMapsX16u.size());
    if (!(camIdx >= 0 && camIdx < static_cast<int>(warpMapsX16u.size()))) {
      // Raised as this function's assertion, not the lambda's.
      cv::error(cv::Error::StsAssert,
                "camIdx >= 0 && camIdx < static_cast<int>(warpMapsX16u.size())", "processOneFrame",
                __FILE__, __LINE__);
    }
    const cv::Mat frame = frames.getMat(camIdx);
    cv::remap(frame, out, warpMapsX16u[camIdx], warpMapsY16u[camIdx], prepared.interpolation,
              cv::BORDER_CONSTANT, cv::Scalar());
  });
}

}  // namespace tesmo
