#!/usr/bin/env bash
# "cmake --install" into a temporary prefix: the programs under bin/, the files they ship with
# under share/fonolux/, launchers that desktop-file-validate accepts, icons in the hicolor
# theme and metainfo that appstreamcli accepts together with them; and the installed Fonolux,
# started with no data folder, seeds it from share/fonolux/ (nothing lies beside it in bin/);
# the installed programs hold no test driver: FONOLUX_TEST_DRIVER opens no socket in them; and
# outside sanitizer builds they are hardened: position-independent, relocations read-only and
# bound at start, stack protector and checked libc calls.
# Usage: test_install.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=${1:?build folder} src=${2:?source folder}
fail() { echo "FAIL: $*"; exit 1; }
tmp=$(mktemp -d /tmp/fonolux-install-test-XXXXXX)
pid=""
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; fail "install failed"; }

[ -x "$prefix/bin/fonolux" ] || fail "bin/fonolux missing"
apps=(org.zorbel.Fonolux)
if [ -e "$build/trimmer/snipolux" ]; then
  [ -x "$prefix/bin/snipolux" ] || fail "bin/snipolux missing"
  apps+=(org.zorbel.Snipolux)
fi
for f in stations.ini.bu Fonolux.INI.bu senden.html trimsenden.html; do
  if [ -e "$src/data/$f" ]; then cmp -s "$src/data/$f" "$prefix/share/fonolux/$f" || fail "share/fonolux/$f missing or different"; fi
done
if [ -e "$src/data/Fonolux Doc.pdf" ] || [ -e "$build/recorder/Fonolux Doc.pdf" ]; then
  [ -s "$prefix/share/fonolux/Fonolux Doc.pdf" ] || fail "the help document is not installed"
fi
for app in "${apps[@]}"; do
  desktop=$prefix/share/applications/$app.desktop
  [ -f "$desktop" ] || fail "$app.desktop missing"
  desktop-file-validate "$desktop" || fail "desktop-file-validate rejects $app.desktop"
  [ -f "$prefix/share/icons/hicolor/scalable/apps/$app.svg" ] || fail "$app.svg missing"
  [ -f "$prefix/share/metainfo/$app.metainfo.xml" ] || fail "$app.metainfo.xml missing"
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  [ "$icon" = "$app" ] || fail "$app.desktop names icon '$icon'"
  exe=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
  [ -x "$prefix/bin/$exe" ] || fail "$app.desktop starts '$exe', which is not installed"
done
if [ -e "$prefix/share/applications/org.zorbel.Snipolux.desktop" ]; then
  grep -qx 'Exec=snipolux %f' "$prefix/share/applications/org.zorbel.Snipolux.desktop" || fail "Snipolux does not take a file"
  grep -qx 'MimeType=audio/mpeg;' "$prefix/share/applications/org.zorbel.Snipolux.desktop" || fail "Snipolux does not open MP3 files"
fi
appstreamcli validate-tree --no-net "$prefix" >"$tmp/appstream.log" 2>&1 || { cat "$tmp/appstream.log"; fail "appstreamcli rejects the install"; }
cat "$tmp/appstream.log"

# The installed program finds its seeds in share/fonolux/.
[ ! -e "$prefix/bin/stations.ini.bu" ] || fail "seed files were installed beside the program"
mkdir -p "$tmp/runtime" && chmod 700 "$tmp/runtime"
start_installed() { # [VAR=value ...]: the installed recorder on a fresh home, asked for a driver
  rm -rf "$tmp/home" "$tmp/data" "$tmp/config" "$tmp/drive".*
  env HOME="$tmp/home" XDG_DATA_HOME="$tmp/data" XDG_CONFIG_HOME="$tmp/config" XDG_RUNTIME_DIR="$tmp/runtime" \
    QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1 SDL_AUDIODRIVER=dummy FONOLUX_TEST_DRIVER="$tmp/drive" \
    "$@" "$prefix/bin/fonolux" >"$tmp/run.log" 2>&1 &
  pid=$!
}
# Waits up to 20 s for the socket the driver would open; true when it appeared.
driver_socket_appears() {
  for _ in $(seq 200); do [ -S "$tmp/drive.fonolux" ] && return 0; kill -0 "$pid" 2>/dev/null || return 1; sleep 0.1; done
  return 1
}
start_installed
seeded=$tmp/data/Zorbel/Fonolux/stations.INI
for _ in $(seq 200); do [ -s "$seeded" ] && break; kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
cmp -s "$seeded" "$src/data/stations.ini.bu" || { cat "$tmp/run.log"; fail "the installed program did not seed its station list"; }
# The window is up and its event loop runs; a driver would have listened by now.
sleep 2
kill -0 "$pid" 2>/dev/null || { cat "$tmp/run.log"; fail "the installed program ended by itself"; }
[ ! -e "$tmp/drive.fonolux" ] || fail "the installed program opened the test driver's socket"
kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; pid=""
for exe in "$prefix"/bin/*; do
  ! grep -q FONOLUX_TEST_DRIVER "$exe" || fail "$exe holds the test driver"
done
! find "$prefix" -name '*test_driver*' | grep -q . || fail "the test driver was installed"
# The same program with the test build's driver loaded does listen: the check above can see it.
if [ -e "$build/tests/libfonolux_test_driver.so" ]; then
  start_installed LD_PRELOAD="$build/tests/libfonolux_test_driver.so"
  driver_socket_appears || { cat "$tmp/run.log"; fail "the driver loaded into the installed program does not listen"; }
  kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; pid=""
fi

# Hardening (a sanitizer build brings its own instrumentation instead).
if ! grep -qE '^FONOLUX_SANITIZE:STRING=.+' "$build/CMakeCache.txt" && ! grep -q '^FONOLUX_FUZZ:BOOL=ON' "$build/CMakeCache.txt"; then
  for exe in "$prefix"/bin/*; do
    name=$(basename "$exe")
    # Read once: grep -q on a pipe would end readelf early, which pipefail counts as failure.
    header=$(readelf -hW "$exe") segments=$(readelf -lW "$exe") dynamic=$(readelf -dW "$exe")
    symbols=$(readelf --dyn-syms -W "$exe")
    grep -qE 'Type:[[:space:]]+DYN' <<<"$header" || fail "$name is not a position-independent executable"
    grep -q 'GNU_RELRO' <<<"$segments" || fail "$name has no read-only relocations (GNU_RELRO)"
    grep -qE 'BIND_NOW|FLAGS_1.*NOW' <<<"$dynamic" || fail "$name does not bind its symbols at start (BIND_NOW)"
    grep -q '__stack_chk_fail' <<<"$symbols" || fail "$name is built without the stack protector"
    if ! grep -q '^CMAKE_BUILD_TYPE:STRING=Debug' "$build/CMakeCache.txt"; then
      checked=$(grep -E '__[a-z0-9_]+_chk' <<<"$symbols" | grep -v '__stack_chk_fail' || true)
      [ -n "$checked" ] || fail "$name is built without _FORTIFY_SOURCE (no checked libc calls)"
    fi
  done
fi
echo PASS
