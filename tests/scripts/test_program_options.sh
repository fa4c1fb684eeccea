#!/usr/bin/env bash
# A program answers --version and --help on standard output, with exit code 0 and nothing on
# standard error, on a machine without a display (no DISPLAY, WAYLAND_DISPLAY or
# QT_QPA_PLATFORM: a program that created its application object first would abort).
# Usage: test_program_options.sh PROGRAM NAME VERSION
set -uo pipefail
program=${1:?program} name=${2:?name} version=${3:?version}
fail() { echo "FAIL: $*"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

run() {
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$tmp" XDG_DATA_HOME="$tmp/data" \
    timeout 20 "$program" "$@" >"$tmp/out" 2>"$tmp/err"
}

run --version; rc=$?
[ "$rc" -eq 0 ] || fail "--version exited with $rc: $(cat "$tmp/err")"
[ "$(cat "$tmp/out")" = "$name $version" ] || fail "--version printed '$(cat "$tmp/out")'"
[ ! -s "$tmp/err" ] || fail "--version wrote to standard error: $(cat "$tmp/err")"

run --help; rc=$?
[ "$rc" -eq 0 ] || fail "--help exited with $rc: $(cat "$tmp/err")"
head -n 1 "$tmp/out" | grep -q "^Usage: $(basename "$program") " || fail "--help printed '$(head -n 1 "$tmp/out")'"
grep -q -- '--version' "$tmp/out" || fail "--help does not mention --version"
[ "$(wc -l <"$tmp/out")" -le 20 ] || fail "--help is longer than a short usage text"
[ ! -s "$tmp/err" ] || fail "--help wrote to standard error: $(cat "$tmp/err")"

# Answering must not touch the user's files.
[ ! -e "$tmp/data" ] || fail "created $(find "$tmp/data" | head -n 3)"
echo PASS
