#!/usr/bin/env bash
# Installs every package the project needs to build, run and test on Debian 12.
# Idempotent and non-interactive; when everything is present it only checks and returns.
set -euo pipefail

PACKAGES=(
  # build tools
  build-essential cmake ninja-build g++ pkg-config git
  # GUI
  qt6-base-dev qt6-base-dev-tools qt6-webengine-dev qt6-tools-dev libgl-dev
  qt6-qpa-plugins
  # media
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev libavfilter-dev
  libsdl2-dev libmp3lame-dev libmp3lame0 libtag1-dev libtagc0-dev libtagc0
  libpcre2-dev libsqlite3-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  icecast2 ffmpeg lame mpg123 sox xvfb xauth curl time openssl
  # fuzzing harnesses
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# icecast2 asks debconf questions on install; answer them with the defaults.
echo "icecast2 icecast2/icecast-setup boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
