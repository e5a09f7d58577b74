"""Test images shared with tests/streamer/transport_test_util.h (PatternImage, SmoothImage)."""
import numpy as np

# Header layouts of the raw (40 bytes) and encoded (48 bytes) frame messages.
RAW_HEADER = "<4i2i2q"
ENCODED_HEADER = "<4i2i2qiI"


def pattern_image(rows, cols, seed):
    """BGR image, byte (y, k) = (7y + 3k + 11 seed) & 0xFF with k = 3x + channel."""
    y = np.arange(rows, dtype=np.int64).reshape(-1, 1)
    k = np.arange(cols * 3, dtype=np.int64).reshape(1, -1)
    return ((y * 7 + k * 3 + seed * 11) & 0xFF).astype(np.uint8).reshape(rows, cols, 3)


def smooth_image(rows, cols, seed):
    """BGR gradients with a filled block."""
    img = np.empty((rows, cols, 3), dtype=np.uint8)
    img[:, :, 0] = (np.arange(cols) * 200 // cols + seed % 50).reshape(1, -1)
    img[:, :, 1] = (np.arange(rows) * 200 // rows + 20).reshape(-1, 1)
    img[:, :, 2] = (seed * 37) % 200 + 30
    x0, y0, w, h = cols // 4, rows // 4, cols // 3, rows // 3
    img[y0:y0 + h, x0:x0 + w] = (20, 220, 40)
    return img
