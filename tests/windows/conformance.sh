#!/usr/bin/env bash
# Runs the conformance tests of the Win32 subset, built with mingw-w64, under
# Wine: the same tests that hold the POSIX layer against Microsoft's
# documentation on Linux, so that where the layer and another Win32
# implementation differ, one of them fails. All tests run in one process and
# one fresh prefix.
# Usage: conformance.sh WINE CONFORMANCE_TESTS_EXE [gtest arguments...]
# Exits 77 (skipped) when there is no Wine or no exe, or Wine cannot run here.
set -u
wine=$1 exe=$2
shift 2
[ -x "$wine" ] && [ -f "$exe" ] || { echo "no Wine or no conformance_tests.exe: skipped"; exit 77; }
. "$(dirname "$0")/wine.sh"

export WINEPREFIX=$(mktemp -d /tmp/pelorim-wine-conf-XXXXXX) WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d /tmp/pelorim-wine-conf-work-XXXXXX)
end_prefix() {
  [ -n "$wineserver" ] && { "$wineserver" -k 2>/dev/null; timeout 30 "$wineserver" -w 2>/dev/null; }
  rm -rf "$WINEPREFIX" "$work"
}
trap end_prefix EXIT
cp "$exe" "$work/conformance_tests.exe"
cd "$work" || exit 1
timeout 60 "$wine" cmd /c exit 0 >/dev/null 2>&1
timeout 500 "$wine" conformance_tests.exe "$@" 2>&1 | tr -d '\r'
exit "${PIPESTATUS[0]}"
