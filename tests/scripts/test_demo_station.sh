#!/usr/bin/env bash
# The offline demo station: it goes on the air within a bounded time with an MP3 programme
# that is not silence and carries a title, its address is the seeded "Local" genre's first
# station, its passwords are random and private, it refuses a port that is taken, and on TERM it
# leaves no process, listener or file.
# Runs on a free port so that it never clashes with a demo station the user is running.
# Usage: test_demo_station.sh SOURCE_DIR
set -uo pipefail
src=${1:?source folder}
fail() { echo "FAIL: $*"; exit 1; }

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
tmp=$(mktemp -d /tmp/fonolux-demo-test-XXXXXX)
chmod 755 "$tmp"
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$tmp"; }
trap cleanup EXIT
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# The seed's first "Local" station is the demo station at its default port.
seeded=$(awk '/^\[Local\]/{on=1; next} /^\[/{on=0} on && /=/{sub(/^[^=]*=/, ""); print; exit}' "$src/data/stations.ini.bu")
[ "$seeded" = "http://127.0.0.1:8000/demo.mp3" ] || fail "first Local station is '$seeded'"

mkdir "$tmp/run"
chmod 755 "$tmp/run"
TMPDIR=$tmp/run FONOLUX_DEMO_PORT=$port FONOLUX_DEMO_TITLE_SECONDS=2 \
  bash "$src/scripts/demo-station.sh" >"$tmp/out" 2>&1 &
pid=$!
for _ in $(seq 300); do grep -q '^Demo station:' "$tmp/out" && break; kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
url="http://127.0.0.1:$port/demo.mp3"
grep -qx "Demo station: $url" "$tmp/out" || { cat "$tmp/out"; fail "no address printed within 30 s"; }

probe=$(timeout 20 ffprobe -v error -show_entries stream=codec_name,sample_rate,channels \
  -show_entries format_tags=StreamTitle,icy-name -of default=noprint_wrappers=1 "$url") || fail "ffprobe could not read $url"
echo "$probe"
grep -qx 'codec_name=mp3' <<<"$probe" || fail "not an MP3 stream"
grep -qx 'sample_rate=44100' <<<"$probe" || fail "unexpected sample rate"
grep -qx 'channels=2' <<<"$probe" || fail "not stereo"
grep -q '^TAG:StreamTitle=.*(part [0-9]*)$' <<<"$probe" || fail "no title"

# The passwords are made afresh for the run, and only the owner can read the configuration.
config=$(ls "$tmp"/run/fonolux-demo-*/icecast.xml 2>/dev/null | head -n 1)
[ -n "$config" ] || fail "no Icecast configuration found"
[ "$(stat -c %a "$config")" = 600 ] || fail "the configuration is readable by others ($(stat -c %a "$config"))"
for tag in source-password admin-password; do
  pw=$(sed -n "s/.*<$tag>\([^<]*\)<\/$tag>.*/\1/p" "$config")
  [[ "$pw" =~ ^[0-9a-f]{32}$ ]] || fail "$tag is not a fresh random password: '$pw'"
done

# The title moves on (every 2 s here) and the programme is audible.
first=$(curl -s "http://127.0.0.1:$port/status-json.xsl" | grep -o '"title":"[^"]*"')
level=$(timeout 20 ffmpeg -nostdin -t 3 -i "$url" -af volumedetect -f null - 2>&1 | sed -n 's/.*mean_volume: \(-*[0-9.]*\) dB.*/\1/p')
[ -n "$level" ] || fail "could not decode the stream"
awk -v l="$level" 'BEGIN{exit !(l > -35)}' || fail "the programme is silent (mean $level dB)"
sleep 2.5
second=$(curl -s "http://127.0.0.1:$port/status-json.xsl" | grep -o '"title":"[^"]*"')
[ -n "$first" ] && [ "$first" != "$second" ] || fail "title did not change ($first, $second)"

# A second station on the same port is refused and leaves the first one alone.
if FONOLUX_DEMO_PORT=$port bash "$src/scripts/demo-station.sh" >"$tmp/out2" 2>&1; then fail "second start succeeded"; fi
grep -q 'already listens' "$tmp/out2" || fail "second start: $(cat "$tmp/out2")"
kill -0 "$pid" 2>/dev/null || fail "the first station died"

kill -TERM "$pid"
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "still running 10 s after TERM"
pid=""
listening "$port" && fail "port $port still listens"
pgrep -f "127.0.0.1:$port/demo.mp3" >/dev/null && fail "the source is still running"
[ -z "$(ls -A "$tmp/run")" ] || fail "left files behind: $(ls "$tmp/run")"
echo "PASS"
