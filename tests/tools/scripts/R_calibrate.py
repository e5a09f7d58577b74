"""Stand-in for the camera-calibration script, for the demo's tests.

Command line: python3 R_calibrate.py CONFIG (-r | -c) [--cams=NAME,NAME]

Appends its arguments (one per line, then a blank line) to R_calibrate.log beside CONFIG. Its
exit code is the number in R_calibrate.exit beside CONFIG, or 0 when there is no such file.
"""
import os
import sys


def main():
    args = sys.argv[1:]
    if not 2 <= len(args) <= 3 or args[1] not in ("-r", "-c") or not os.path.isfile(args[0]):
        print("usage: R_calibrate.py CONFIG (-r | -c) [--cams=A,B], got %r" % args)
        return 64
    if len(args) == 3 and not args[2].startswith("--cams="):
        return 64
    here = os.path.dirname(args[0])
    with open(os.path.join(here, "R_calibrate.log"), "a") as log:
        log.write("\n".join(args) + "\n\n")
    print("R_calibrate: done")
    exit_file = os.path.join(here, "R_calibrate.exit")
    if os.path.isfile(exit_file):
        with open(exit_file) as f:
            return int(f.read().strip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
