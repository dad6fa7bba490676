#!/usr/bin/env bash
# Installs every Debian package that building, running and testing sonvale needs.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev \
  libssl-dev nlohmann-json3-dev libfmt-dev libavcodec-dev libavutil-dev librtaudio-dev \
  libgtest-dev libgmock-dev libbenchmark-dev pybind11-dev python3-dev \
  python3-pytest python3-cryptography python3-zeroconf python3-numpy \
  ffmpeg pulseaudio pulseaudio-utils iproute2 util-linux
