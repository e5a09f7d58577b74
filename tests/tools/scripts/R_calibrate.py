"""Stand-in for the camera-calibration script, for the demo's tests.

Command line: python3 R_calibrate.py CONFIG (-r | -c) [--cams=NAME,NAME]

Appends its arguments (one per line, then a blank line) to R_calibrate.log in the working
directory. The environment variable R_CALIBRATE_EXIT, when set, is its exit code.
"""
import os
import sys


def main():
    args = sys.argv[1:]
    if len(args) < 2 or args[1] not in ("-r", "-c") or not os.path.isfile(args[0]):
        print("usage: R_calibrate.py CONFIG (-r | -c) [--cams=A,B], got %r" % args)
        return 64
    if len(args) == 3 and not args[2].startswith("--cams="):
        return 64
    with open("R_calibrate.log", "a") as log:
        log.write("\n".join(args) + "\n\n")
    print("R_calibrate: done")
    return int(os.environ.get("R_CALIBRATE_EXIT", "0"))


if __name__ == "__main__":
    sys.exit(main())
