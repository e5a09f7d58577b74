"""Independent subscriber: reads raw frame messages from a "zmq" sink and checks every byte.

usage: zmq_peer_sub.py ADDR COUNT TIMEOUT_S
Frame i must carry index i, timestamp 1000 + i and pattern_image(rows, cols, i % 256).
Exit 0 after COUNT good frames, 1 on a wrong frame, 2 on time-out.
"""
import struct
import sys
import time

import numpy as np
import zmq

from frame_patterns import RAW_HEADER, pattern_image


def main():
    addr, count, timeout = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    sock = zmq.Context.instance().socket(zmq.SUB)
    sock.setsockopt(zmq.SUBSCRIBE, b"")
    sock.setsockopt(zmq.LINGER, 0)
    sock.connect(addr)
    deadline = time.time() + timeout
    good = 0
    while good < count:
        if time.time() > deadline or not sock.poll(int(max(0.0, deadline - time.time()) * 1000)):
            print("time-out after %d frames" % good)
            return 2
        parts = sock.recv_multipart()
        if len(parts) != 1:
            print("message of %d parts" % len(parts))
            return 1
        msg = parts[0]
        n, rows, cols, channels, dtype, _reserved, ts, index = struct.unpack_from(RAW_HEADER, msg)
        if (n, channels, dtype) != (1, 3, 0) or ts != 1000 + index:
            print("bad header", n, rows, cols, channels, dtype, ts, index)
            return 1
        if len(msg) != 40 + rows * cols * channels:
            print("size %d for %dx%d" % (len(msg), cols, rows))
            return 1
        pixels = np.frombuffer(msg, dtype=np.uint8, offset=40).reshape(rows, cols, channels)
        if not np.array_equal(pixels, pattern_image(rows, cols, index % 256)):
            print("pixels of frame %d differ" % index)
            return 1
        good += 1
    print("ok %d frames" % good)
    return 0


if __name__ == "__main__":
    sys.exit(main())
