#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs. Idempotent and non-interactive; when
# everything is present it only checks and returns.
#   bash scripts/install-deps.sh          what building and running need (the run command)
#   bash scripts/install-deps.sh --test   that plus what the tests and benchmarks need
set -euo pipefail

RUN_PACKAGES=(
  # build tools
  build-essential cmake ninja-build g++ pkg-config git
  # GUI
  qt6-base-dev qt6-base-dev-tools qt6-webengine-dev libgl-dev qt6-qpa-plugins libxcb1-dev
  # media
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev libavfilter-dev
  libsdl2-dev libmp3lame-dev libmp3lame0 libtag1-dev libtagc0-dev libtagc0
  libpcre2-dev libsqlite3-dev
  # the offline demo station (scripts/demo-station.sh)
  icecast2 ffmpeg curl
)

TEST_PACKAGES=(
  # unit tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev qt6-tools-dev
  # peers, servers and tools the tests run
  lame mpg123 sox time openssl python3
  # the desktop benchmark's peer player
  mpv
  # desktop under test: virtual display, window manager, input, screenshots, session bus
  xvfb xauth openbox xdotool imagemagick dbus systemd
  # checks of the installed files
  desktop-file-utils appstream poppler-utils
  # fuzzing
  clang libclang-rt-14-dev
)

packages=("${RUN_PACKAGES[@]}")
case "${1:-}" in
  --test) packages+=("${TEST_PACKAGES[@]}") ;;
  "") ;;
  *) echo "usage: $0 [--test]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
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
