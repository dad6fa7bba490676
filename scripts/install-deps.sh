#!/usr/bin/env bash
# Installs every Debian package that building, running and testing sonvale needs. When all of them
# are installed already (as dpkg-query reports), apt-get is not run at all, so a second start is
# quick and needs no network.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libssl-dev nlohmann-json3-dev libfmt-dev libavcodec-dev libavutil-dev librtaudio-dev
  libgtest-dev libgmock-dev libbenchmark-dev pybind11-dev python3-dev
  python3-pytest python3-cryptography python3-zeroconf python3-numpy
  ffmpeg pulseaudio pulseaudio-utils iproute2 util-linux
)

# Packages that dpkg lists as installed; a package it does not know is simply not listed.
installed=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${packages[@]}" 2>/dev/null |
  awk '$1 == "ii" { print $2 }' | sort -u) || true
missing=()
for p in "${packages[@]}"; do
  grep -qxF -- "$p" <<<"$installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#packages[@]} packages are installed; apt-get skipped" >&2
  exit 0
fi
echo "install-deps: installing; not yet installed: ${missing[*]}" >&2
apt-get update
apt-get install -y --no-install-recommends "${packages[@]}"
