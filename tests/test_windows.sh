#!/usr/bin/env bash
# Runs the unit tests, the end-to-end and the console cases on the Windows
# programs under Wine, with the C runtime that ships with them: the
# 64-bit program always, the 32-bit one where this machine runs 32-bit programs.
# Each runs in a Wine prefix of its own, with a Russian system locale (ANSI code
# page 1251, OEM 866).
# Usage: test_windows.sh NATIVE_BUILD WIN32_BUILD WIN64_BUILD UNIT_TESTS_FOLDER
set -euo pipefail
native=$1 win32=$2 win64=$3 unit_tests=$4
# A 32-bit program of Wine's own: it starts wherever 32-bit programs do.
wine32_probe=${WINE32_PROBE:-/usr/lib/wine/wineserver32 --version}

# Runs a command, for ten minutes at most, on a pseudo-terminal of script(1)'s,
# which Wine makes a console of (the console's own unit cases need one), its
# output into a file rather than through the console, which would draw it a
# character at a time. Standard input is a pipe that never ends: at the end
# of its input script types the terminal's end-of-file character, which the
# console would take for keys (Ctrl-@) in the middle of a case.
in_console() {  # log command...
  local log=$1 command folder quiet status=0
  shift
  command=$(printf '%q ' "$@")
  folder=$(mktemp -d)
  mkfifo "$folder/input"
  exec {quiet}<>"$folder/input"
  rm -r "$folder"
  SHELL=/bin/sh timeout 600 script -qec "$command >$(printf %q "$log") 2>&1" /dev/null \
    <&"$quiet" >/dev/null || status=$?
  exec {quiet}>&-
  return "$status"
}

run_cases() {  # build-folder WINEARCH loader
  local prefix
  prefix=$(realpath "$1")/wine
  mkdir -p "$prefix"
  export WINEPREFIX=$prefix WINEARCH=$2 WINELOADER=$3 WINEDEBUG=-all \
    WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=ru_RU.UTF-8
  # A persistent wineserver saves a second of start-up on every run.
  wineserver --kill 2>/dev/null || true
  trap 'wineserver --kill' EXIT
  setsid wineserver --persistent </dev/null
  setsid "$3" wineboot --init </dev/null
  export POLYMUL_WINDOWS=1 POLYMUL_LAUNCHER=$3 POLYMUL_PROGRAM=$1/polymul.exe
  # A run that hangs fails, within a time that a loaded machine still keeps.
  local log=$1/$unit_tests/wine.log
  if ! in_console "$log" "$3" "$1/$unit_tests/tests/polymul_unit_tests.exe" --gtest_brief=1; then
    cat "$log"
    echo "test-windows: the unit tests failed under Wine ($2)"
    exit 1
  fi
  cat "$log"
  timeout 900 "$native/tests/polymul_end_to_end_tests" --gtest_filter=-Locales/*
  timeout 600 "$native/tests/polymul_terminal_tests" --gtest_filter='Cases/WindowsConsole.*'
  wineserver --kill
  trap - EXIT
}

for tool in wineserver /usr/lib/wine/wine64; do
  command -v "$tool" >/dev/null || { echo "test-windows: $tool is missing (apt-get install wine wine64)"; exit 1; }
done
[ -x /usr/lib/wine/wineserver32 ] || { echo "test-windows: wine32 is missing (apt-get install wine32)"; exit 1; }

run_cases "$win64" win64 /usr/lib/wine/wine64
if $wine32_probe >/dev/null 2>&1; then
  run_cases "$win32" win32 /usr/lib/wine/wine
  echo "test-windows: tested the 64-bit and the 32-bit Windows programs"
else
  echo "test-windows: tested the 64-bit Windows program only; this machine runs no 32-bit programs ($wine32_probe fails)"
fi
