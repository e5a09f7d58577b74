"""Stand-in for the intensity-correction script, for the demo's tests.

Command line: python3 I_calibrate.py CONFIG -с   (the option is a hyphen and a Cyrillic es)

Reads "temp_dir" and the "linear_regress" section's "tmp_file" from CONFIG (plain text search;
the defaults are /tmp/tesmo and linear_regress.yml), requires the PNG snapshots there, and writes
the result file: every camera's gain is 1 plus half the run number, its offset minus the run
number. Each run appends the snapshots' names as a line to I_calibrate.log beside the result
file. Environment: I_CALIBRATE_EXIT, when set, is the exit code instead and no result is written;
I_CALIBRATE_RUNS limits the runs that succeed (later ones exit with 3); I_CALIBRATE_RESULT, when
set, is written as the result file's text. The output holds a 0xFF byte on purpose.
"""
import os
import re
import sys


def config_value(text, key, default):
    match = re.search(r"^\s*" + key + r":\s*\"?([^\"\n]+?)\"?\s*$", text, re.M)
    return match.group(1) if match else default


def main():
    if len(sys.argv) != 3 or sys.argv[2] != "-\u0441":
        print("usage: I_calibrate.py CONFIG -\u0441, got %r" % sys.argv[1:])
        return 64
    with open(sys.argv[1], encoding="utf-8", errors="replace") as f:
        config = f.read()
    temp_dir = config_value(config, "temp_dir", "/tmp/tesmo")
    tmp_file = config_value(config, "tmp_file", "linear_regress.yml")
    shots = sorted(n[:-4] for n in os.listdir(temp_dir) if n.endswith(".png"))
    if not shots:
        print("no snapshots in " + temp_dir)
        return 65
    log_path = os.path.join(os.path.dirname(tmp_file), "I_calibrate.log")
    with open(log_path, "a") as log:
        log.write(" ".join(shots) + "\n")
    with open(log_path) as log:
        run = len(log.read().splitlines())
    sys.stdout.flush()
    sys.stdout.buffer.write(b"I_calibrate: run %d \xff\n" % run)
    sys.stdout.flush()
    code = int(os.environ.get("I_CALIBRATE_EXIT", "0"))
    if code == 0 and run > int(os.environ.get("I_CALIBRATE_RUNS", "1000000")):
        code = 3
    if code != 0:
        return code
    if "I_CALIBRATE_RESULT" in os.environ:
        lines = [os.environ["I_CALIBRATE_RESULT"]]
    else:
        lines = ["%YAML:1.0", "---", "linear_regress:"]
        for name in shots:
            lines.append("   %s: { alpha: %g, beta: %d }" % (name, 1 + 0.5 * run, -run))
    with open(tmp_file + ".part", "w") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(tmp_file + ".part", tmp_file)
    return 0


if __name__ == "__main__":
    sys.exit(main())
