#!/usr/bin/env bash
# Runs tesmo_demo on the bundled sample scene: composes its views, writes them as PNG sequences and
# a video under out/, and prints the frame rate at the end.
#   bash scripts/run-demo.sh <builddir> [frames]
# With a frame count the demo is stopped (SIGINT) once the first view has written that many
# frames; without one it runs until Ctrl-C.
set -euo pipefail

BUILD=${1:-build}
FRAMES=${2:-}
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac

DEMO="$BUILD/tools/tesmo_demo"
CONFIG=${TESMO_DEMO_CONFIG:-samples/synthetic/config.yml}
OUT=out

if [ ! -x "$DEMO" ]; then
  echo "run-demo: $DEMO not found; run 'make build' first" >&2
  exit 1
fi
if [ -n "$FRAMES" ] && ! [[ "$FRAMES" =~ ^[1-9][0-9]*$ ]]; then
  echo "run-demo: the frame count must be a positive integer, got '$FRAMES'" >&2
  exit 1
fi

mkdir -p "$OUT"
rm -f "$OUT"/*.png "$OUT"/*.mp4 "$OUT"/*.avi

# The PNG files of the view that comes first by name (the sequences count up together).
first_prefix() {
  local f
  f=$(ls "$OUT" 2>/dev/null | grep -E -- '-[0-9]{7}\.png$' | sort | head -n 1 || true)
  [ -n "$f" ] && echo "${f%-*}"
}
count_frames() {
  local p
  p=$(first_prefix) || { echo 0; return; }
  ls "$OUT" | grep -c -E -- "^${p}-[0-9]{7}\.png$" || true
}
now_ms() { date +%s%3N; }

echo "run-demo: $DEMO --config=$CONFIG"
"$DEMO" --config="$CONFIG" &
PID=$!
# Ctrl-C reaches the demo directly; pass on a SIGINT sent to this script alone too.
trap 'kill -INT "$PID" 2>/dev/null || true' INT TERM

# Frame-rate window: from the first written frame to the stop.
t0=""; n0=0
while kill -0 "$PID" 2>/dev/null; do
  n=$(count_frames)
  if [ -z "$t0" ] && [ "$n" -gt 0 ]; then t0=$(now_ms); n0=$n; fi
  if [ -n "$FRAMES" ] && [ "$n" -ge "$FRAMES" ]; then
    t1=$(now_ms); n1=$n
    kill -INT "$PID" 2>/dev/null || true
    break
  fi
  sleep 0.1
done
if [ -z "${t1:-}" ]; then t1=$(now_ms); n1=$(count_frames); fi

set +e
wait "$PID"
status=$?
while [ "$status" -gt 128 ] && kill -0 "$PID" 2>/dev/null; do
  wait "$PID"; status=$?
done
set -e
trap - INT TERM

echo
echo "run-demo: outputs in $OUT/:"
ls "$OUT" | sed -E 's/-[0-9]{7}\.png$/-*.png/' | sort | uniq -c | sed 's/^/  /'
if [ -n "$t0" ] && [ "$t1" -gt "$t0" ] && [ "$n1" -gt "$n0" ]; then
  awk -v n=$((n1 - n0)) -v ms=$((t1 - t0)) \
    'BEGIN { printf "run-demo: frame rate %.1f frames/s (%d frames in %.2f s)\n", n * 1000 / ms, n, ms / 1000 }'
fi
exit "$status"
