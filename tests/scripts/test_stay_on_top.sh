#!/usr/bin/env bash
# Under a real X server with a window manager: Fonolux started with "Stay On Top" set keeps its
# window above others, its folder chooser comes up in front of it (topmost, owned by it), and
# Ctrl+Q closes the program.
# Usage: test_stay_on_top.sh FONOLUX SOURCE_DIR     (runs itself under xvfb-run)
set -uo pipefail
fonolux=${1:?fonolux} src=${2:?source folder}
if [ -z "${FONOLUX_IN_XVFB:-}" ]; then
  FONOLUX_IN_XVFB=1 exec timeout 120 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi
fail() { echo "FAIL: $*"; exit 1; }
tmp=$(mktemp -d /tmp/fonolux-ontop-test-XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$tmp"' EXIT

data=$tmp/home/.local/share/Zorbel/Fonolux
mkdir -p "$data" "$tmp/runtime" && chmod 700 "$tmp/runtime"
cp "$src/data/stations.ini.bu" "$data/stations.INI"
printf '[state]\nOnTop=1\n' >"$data/Fonolux.INI"

openbox >"$tmp/openbox.log" 2>&1 & pids+=($!)
sleep 1
env -u QT_QPA_PLATFORM HOME="$tmp/home" XDG_DATA_HOME="$tmp/home/.local/share" XDG_CONFIG_HOME="$tmp/home/.config" \
  XDG_RUNTIME_DIR="$tmp/runtime" QTWEBENGINE_DISABLE_SANDBOX=1 SDL_AUDIODRIVER=dummy \
  "$fonolux" >"$tmp/fonolux.log" 2>&1 &
fonolux_pid=$!
pids+=("$fonolux_pid")

window=""
for _ in $(seq 100); do window=$(xdotool search --name '^Radio Zorbel$' 2>/dev/null | head -n 1); [ -n "$window" ] && break; sleep 0.2; done
[ -n "$window" ] || { cat "$tmp/fonolux.log"; fail "no window"; }
sleep 1
xprop -id "$window" _NET_WM_STATE | grep -q _NET_WM_STATE_ABOVE || fail "the window does not stay on top"

# Set Up page, then "Set Data Directory..." (positions of the window's design at its default font).
xdotool windowactivate --sync "$window" >/dev/null 2>&1
xdotool mousemove --window "$window" 100 12 click 1
sleep 0.5
xdotool mousemove --window "$window" 60 45 click 1
dialog=""
for _ in $(seq 50); do dialog=$(xdotool search --name '^Select a folder$' 2>/dev/null | head -n 1); [ -n "$dialog" ] && break; sleep 0.2; done
[ -n "$dialog" ] || fail "the folder chooser did not open"
sleep 0.5
top=$(xprop -root _NET_CLIENT_LIST_STACKING | sed 's/.*# //; s/, /\n/g' | tail -n 1)
[ "$((top))" = "$((dialog))" ] || fail "the folder chooser is not the topmost window (stacking: $(xprop -root _NET_CLIENT_LIST_STACKING))"
xprop -id "$dialog" WM_TRANSIENT_FOR | grep -q "$(printf '0x%x' "$window")" || fail "the folder chooser does not belong to the window"

xdotool key --window "$dialog" Escape
for _ in $(seq 25); do xdotool search --name '^Select a folder$' >/dev/null 2>&1 || break; sleep 0.2; done
xdotool windowactivate --sync "$window" >/dev/null 2>&1
xdotool key --window "$window" ctrl+q
for _ in $(seq 100); do kill -0 "$fonolux_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$fonolux_pid" 2>/dev/null && fail "Ctrl+Q did not close Fonolux"
echo PASS
