"""Independent publisher: sends frames to a "zmq" or "zmq_encoded" source.

usage: zmq_peer_pub.py ADDR MODE SECONDS
MODE raw:  one-part raw frame messages, pattern_image(240, 320, i % 256), dtype 0.
MODE jpeg: two-part encoded messages, smooth_image(240, 320, i % 256) compressed by Pillow.
MODE multipart: before each raw frame message of MODE raw, two messages of several parts that no
           raw reader takes: a valid header with 48 bytes of pixels, then 100 KB, then 1 byte;
           and the raw frame message with one more byte as a second part.
Message i carries index i and timestamp 5000 + i; one message every 10 ms until SECONDS pass.
"""
import io
import struct
import sys
import time

import zmq
from PIL import Image

from frame_patterns import ENCODED_HEADER, RAW_HEADER, pattern_image, smooth_image

ROWS, COLS = 240, 320


def main():
    addr, mode, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    sock = zmq.Context.instance().socket(zmq.PUB)
    sock.setsockopt(zmq.LINGER, 0)
    sock.bind(addr)
    end = time.time() + seconds
    i = 0
    while time.time() < end:
        seed = i % 256
        if mode in ("raw", "multipart"):
            img = pattern_image(ROWS, COLS, seed)
            header = struct.pack(RAW_HEADER, 1, ROWS, COLS, 3, 0, 0, 5000 + i, i)
            if mode == "multipart":
                small = struct.pack(RAW_HEADER, 1, 4, 4, 3, 0, 0, 5000 + i, i)
                sock.send_multipart([small + bytes(48), bytes(100 * 1024), b"\x01"])
                sock.send_multipart([header + img.tobytes(), b"\x01"])
            sock.send(header + img.tobytes())
        else:
            img = smooth_image(ROWS, COLS, seed)
            out = io.BytesIO()
            Image.fromarray(img[:, :, ::-1].copy(), "RGB").save(out, format="JPEG", quality=95)
            jpeg = out.getvalue()
            header = struct.pack(ENCODED_HEADER, 1, ROWS, COLS, 3, 0, 0, 5000 + i, i, 1, len(jpeg))
            sock.send_multipart([header, jpeg])
        i += 1
        time.sleep(0.01)
    return 0


if __name__ == "__main__":
    sys.exit(main())
