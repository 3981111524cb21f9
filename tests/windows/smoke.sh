#!/usr/bin/env bash
# Runs the Windows build, pelorim.exe, under Wine: the command line, the
# messages and exit codes of the console actions against Wine's own service
# control manager, and a copy under another file name naming its service. The
# usage text must be the Linux build's, byte for byte (line ends aside: the C
# runtime of Windows writes "\r\n" for "\n").
# Usage: smoke.sh WINE PELORIM_EXE LINUX_PELORIM
# Exits 77 (skipped) when there is no Wine or no exe to run, or Wine cannot run here.
set -u
wine=$1 exe=$2 linux=$3
[ -x "$wine" ] && [ -f "$exe" ] || { echo "no Wine or no pelorim.exe: skipped"; exit 77; }
. "$(dirname "$0")/wine.sh"

export WINEPREFIX=$(mktemp -d /tmp/pelorim-wine-XXXXXX) WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d /tmp/pelorim-wine-work-XXXXXX)
# The prefix's Wine server and services outlive the last command and keep
# writing into the prefix: end them before removing it.
end_prefix() {
  [ -n "$wineserver" ] && { "$wineserver" -k 2>/dev/null; timeout 30 "$wineserver" -w 2>/dev/null; }
  rm -rf "$WINEPREFIX" "$work"
}
trap end_prefix EXIT
cp "$exe" "$work/pelorim.exe"
cp "$exe" "$work/Billing.exe"
# A copy whose manifest asks for no code page of its own, as Windows before 10
# 1903 reads every manifest: the process keeps the system's (1252 here).
LC_ALL=C perl -0777 -pe 's/>UTF-8<\/activeCodePage>/>Ansi!<\/activeCodePage>/' "$exe" >"$work/legacy.exe"
# A directory with a blank, on a path longer than 259 characters.
deep="Program Files/$(printf 'p%.0s' $(seq 1 200))"
mkdir -p "$work/$deep"
cp "$exe" "$work/$deep/pelorim.exe"

passed=0 failed=0
banner="Pelorim 1.3c Java Wrapper for NT Service"
usage_body=$(PELORIM_ROOT=$work/linux-root "$linux" Foo /help 2>&1 >/dev/null | tail -n +2)
usage() { printf 'Usage: %s %s { <command> } <java command line>\n%s' "$1" "$2" "$usage_body"; }

# check NAME EXPECTED_EXIT EXPECTED_STDOUT EXPECTED_STDERR PROGRAM ARGS...
check() {
  local name=$1 code=$2 out=$3 err=$4 program=$5
  shift 5
  local got_out got_err got_code
  got_out=$(cd "$work" && timeout 120 "$wine" "$program" "$@" 2>"$work/err" | tr -d '\r'; echo "exit=${PIPESTATUS[0]}")
  got_code=${got_out##*exit=}
  got_out=$(printf '%s' "${got_out%exit=*}" | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}')
  got_err=$(tr -d '\r' <"$work/err" | grep -v '^wine: \|^[0-9a-f]*:\(err\|fixme\|warn\):')
  if [ "$got_code" = "$code" ] && [ "$got_out" = "$out" ] && [ "$got_err" = "$err" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED %s\n  exit %s (expected %s)\n  stdout %q\n  expected %q\n  stderr %q\n  expected %q\n' \
      "$name" "$got_code" "$code" "$got_out" "$out" "$got_err" "$err"
  fi
}

check "help" 0 "$banner" "$(usage pelorim '<ServiceName>')" pelorim.exe Foo /help
check "unknown switch" 8 "$banner" "$(printf 'Unknown command: /Install\n%s' "$(usage pelorim '<ServiceName>')")" \
  pelorim.exe Foo /Install
check "conflict" 8 "$banner" "Command conflict: /install vs. /uninstall" pelorim.exe Foo /install /uninstall
check "no name" 8 "$banner" "$(printf 'Service name not specified.\n%s' "$(usage pelorim '<ServiceName>')")" \
  pelorim.exe -cp x Main
check "start of a missing service" 9 "$banner" \
  $'Cannot start the service named Foo.\nService with this name does not exist.' pelorim.exe Foo /start
check "stop of a missing service" 0 "$banner" \
  $'Cannot stop the service named Foo.\nService with this name does not exist.' pelorim.exe Foo /stop
check "no Java runtime" 1 "$banner" \
  $'Cannot find any suitable Java VM software on your computer.\nPlease download and install a Java VM from https://adoptium.net/.' \
  pelorim.exe Foo /install -cp . Main
# Refused before anything else: the service process could never be given the name.
check "a name with a slash" 8 "$banner" \
  'Service name a/b cannot be installed: it must not contain "/", "\" or a quotation mark' \
  pelorim.exe a/b /install -cp . Main
# The file name names the service: on Windows the backslash separates directories.
check "a copy names its service" 9 "$banner" \
  $'Cannot start the service named Billing.\nService with this name does not exist.' Billing.exe /start
check "a copy's usage head" 0 "$banner" "$(usage Billing '[<ServiceName>]')" Billing.exe /help
# The whole path is taken, not its first 259 characters: the usage head still names pelorim.
check "a long path with a blank" 0 "$banner" "$(usage pelorim '<ServiceName>')" "$deep/pelorim.exe" Foo /help
check "empty /depend:" 8 "$banner" "Empty /depend: cannot be stored; remove it or give it a service name" \
  "$deep/pelorim.exe" Foo /install /depend:A /depend: /depend:B -cp . Main

# cmd.exe takes at most 8191 characters: a longer command that names no program could never run at a stop.
check "a shutdown command too long for cmd.exe" 8 "$banner" \
  "The value of /shutdownCommand: is longer than the 8191 characters a command run through CMD.EXE /C can hold; nothing is installed" \
  pelorim.exe Foo /install "/shutdownCommand:$(printf 'x%.0s' $(seq 1 8192))" -cp . Main

# The manifest makes the process's code page UTF-8, which Wine honours as Windows 10 1903 does: a word
# outside code page 1252 comes through whole (and the install goes on to look for Java).
LC_ALL=C.UTF-8 check "a word outside the system's code page" 1 "$banner" \
  $'Cannot find any suitable Java VM software on your computer.\nPlease download and install a Java VM from https://adoptium.net/.' \
  pelorim.exe Foo /install "/desc:Hello Привет" -cp . Main
LC_ALL=C.UTF-8 check "a name outside the system's code page, named back whole" 8 "$banner" \
  'Service name Привет/x cannot be installed: it must not contain "/", "\" or a quotation mark' \
  pelorim.exe Привет/x /install -cp . Main
# Without it the word would arrive with "?" in its place: refused, never stored so.
LC_ALL=C.UTF-8 check "a switch the code page cannot carry" 8 "$banner" \
  "The value of /desc: holds characters that code page 1252 of this system cannot carry; nothing is installed" \
  legacy.exe Foo /install "/desc:Hello Привет" -cp . Main
LC_ALL=C.UTF-8 check "a word the code page cannot carry" 8 "$banner" \
  "The argument C:\app\???? holds characters that code page 1252 of this system cannot carry; nothing is installed" \
  legacy.exe Foo /install -cp 'C:\app\клас' Main
LC_ALL=C.UTF-8 check "a word the code page carries" 1 "$banner" \
  $'Cannot find any suitable Java VM software on your computer.\nPlease download and install a Java VM from https://adoptium.net/.' \
  legacy.exe Foo /install "/desc:Café" -cp . Main

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
