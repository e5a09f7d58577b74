#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running tesmo need.
# Packages already present are left alone; nothing is fetched when all are there.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libopencv-dev libgoogle-glog-dev
  libboost-dev libboost-filesystem-dev libboost-date-time-dev
  libzmq3-dev cppzmq-dev libturbojpeg0-dev libcpp-httplib-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  pocl-opencl-icd ocl-icd-libopencl1 ocl-icd-opencl-dev
  ffmpeg xvfb xauth xdotool
  libxcb1-dev
  python3 python3-zmq python3-numpy python3-pil
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "deps: all packages present"
  exit 0
fi

echo "deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
