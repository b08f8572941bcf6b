#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages that building, testing, fuzzing and benchmarking need.
# Idempotent: when everything is present it says so and does nothing.
set -euo pipefail

PKGS=(
  # build
  cmake ninja-build g++ make pkg-config clang-format-14
  libcjson-dev libcurl4-openssl-dev libx11-dev
  liballegro5-dev liballegro-audio5-dev liballegro-acodec5-dev
  liballegro-ttf5-dev liballegro-image5-dev
  # capture files of other tools (pcap, pcapng)
  libpcap-dev
  # sensors reporting to an MQTT broker and the central fleet view (the client library; the
  # broker itself runs in the tests)
  libmosquitto-dev mosquitto
  # the fonts the interface ships (assets/fonts; see tools/fetch_fonts.sh)
  fonts-dejavu-core
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev python3
  # fuzzing (clang-14 with libFuzzer, ASan and UBSan)
  clang-14 libclang-rt-14-dev
  # data the vendor tables are built from
  ieee-data
  # real peers and consumers used by the integration tests
  gpsd gpsd-clients python3-gps gdal-bin gpsbabel libxml2-utils
  # certificates made at test time for a TLS broker
  openssl
  # the window tests: a private X server, real input, the clipboard, screenshots
  xvfb xclip xdotool imagemagick x11-utils
  # make setcap
  libcap2-bin
  # make install / make package and their tests: the desktop entry's checker, the manual
  # pages' renderers and checker, dpkg-shlibdeps (and the file(1) it relies on); rsvg-convert
  # draws the PNG icons (tools/make_icons.sh)
  desktop-file-utils man-db groff-base mandoc dpkg-dev file librsvg2-bin
  # the package's checker (tests/test_install.cpp)
  lintian
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "deps: all ${#PKGS[@]} packages are installed, nothing to do"
  bash "$(dirname "$0")/fetch_fonts.sh"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "deps: missing packages: ${missing[*]}" >&2
  echo "deps: as root, run: apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
# gpsd's package enables a system service on port 2947; the tests run their own instance.
if command -v systemctl >/dev/null 2>&1; then
  systemctl disable --now gpsd.socket gpsd.service >/dev/null 2>&1 || true
fi
echo "deps: done"
bash "$(dirname "$0")/fetch_fonts.sh"
