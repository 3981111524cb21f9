#!/usr/bin/env bash
# The whole service life of the Windows build, pelorim.exe, under Wine: runtime
# discovery, the install probe, start, output into the log file, stop, detached
# mode, startup and shutdown methods, the shutdown command, forced stops, -jar,
# failures of the Java side, and names with blanks. The Java runtime is the
# stand-in jvm.dll (tests/windows/standin) in a fresh Wine prefix, laid out and
# registered as a JDK 17 installer does it: C:\Program Files\Java\jdk-17 with
# bin\server\jvm.dll, the C runtime DLLs it imports in bin\ only
# (vcruntime140.dll, msvcp140.dll, stand-ins of the test's own under the real
# names), lib\jvm.cfg, and HKLM\SOFTWARE\JavaSoft\JDK. Its "application" is
# scripted by -Dstandin.* options (see jvm.cpp). Older layouts and keys, a
# runtime found only through PATH, one of the other word size, one without its
# C runtime, one at the root of a drive, and Temurin's layout and key through
# an update are laid out beside it.
#
# Wine is not Windows. What the test leaves alone, and why:
# - Wine sends services no PRESHUTDOWN or SHUTDOWN (it has no system shutdown
#   to speak of): the test checks that the service accepts PRESHUTDOWN and has
#   its preshutdown time-out (servicequery.exe, built beside the stand-in), and
#   the Linux tests carry a shutdown through.
# - Wine's event-log API is a stub (records reach only its debug channel):
#   every service here logs to a file; the event log is the Linux tests' part.
# - Wine's controller never notices a service process that ends without
#   reporting STOPPED (Windows then reports 1067): where the program ends its
#   process that way, the test checks the log and that the process is gone,
#   never the state that Wine keeps reporting.
# - ControlService answers 1052 where Windows answers 1061 for a service that
#   is still start-pending: no stop is sent before a start has settled.
# - The Wine server must live for the whole run (wineserver -p), or every
#   service ends with the last client; a prefix being created may briefly run
#   two service managers, each with its own database, so the prefix is made
#   first and the run starts only once exactly one service manager is up.
# - Services write their log lines asynchronously: the test polls for them.
# - Wine has C runtime DLLs of its own under the real names and would bind
#   jvm.dll's imports to them: WINEDLLOVERRIDES "vcruntime140,msvcp140=n"
#   makes it take only a file of that name, as a Windows without the Visual
#   C++ runtime installed system-wide does. Wine then searches as Microsoft
#   documents for SetDllDirectory (the program's directory, the DLL directory,
#   the system directories, PATH).
# Every step runs under a timeout; at the end every process of the prefix is
# killed by its pid.
#
# Usage: lifecycle.sh WINE PELORIM_EXE STANDIN_DIR OTHER_BITS_STANDIN_DIR
# (the build directories of the stand-in runtime of this exe's word size and of
# the other one). LIFECYCLE_ONLY="scenario ..." runs only those scenarios.
# Exits 77 (skipped) when Wine, pelorim.exe or a stand-in is missing, or Wine cannot run here.
set -u
wine=$1 exe=$2 standin=$3 other_standin=$4
if ! [ -x "$wine" ] || ! [ -f "$exe" ] || ! [ -f "$standin/jvm.dll" ] || ! [ -f "$other_standin/jvm.dll" ]; then
  echo "no Wine, pelorim.exe or stand-in runtime: skipped"
  exit 77
fi
. "$(dirname "$0")/wine.sh"
[ -n "$wineserver" ] || { echo "no wineserver: skipped"; exit 77; }

started=$SECONDS
export WINEPREFIX=$(mktemp -d /tmp/pelorim-wine-life-XXXXXX) WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;vcruntime140,msvcp140=n"
unset JAVA_HOME CLASSPATH
scratch=$(mktemp -d /tmp/pelorim-wine-life-out-XXXXXX)
drive=$WINEPREFIX/drive_c
server_pid=""

# The processes of this prefix: Wine keeps WINEPREFIX in every process's environment.
prefix_pids() {
  local p
  for p in /proc/[0-9]*; do
    grep -qzx "WINEPREFIX=$WINEPREFIX" "$p/environ" 2>/dev/null && echo "${p#/proc/}"
  done
}

# Pids of this prefix whose command line holds TEXT.
prefix_pids_running() {
  local pid
  for pid in $(prefix_pids); do
    { tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null | grep -qF -- "$1" && echo "$pid"
  done
}

end_prefix() {
  local pid
  for pid in $(prefix_pids); do kill -9 "$pid" 2>/dev/null; done
  [ -n "$server_pid" ] && kill -9 "$server_pid" 2>/dev/null
  [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null
  [ -n "${LIFECYCLE_KEEP:-}" ] && cp -r "$drive/app" "$LIFECYCLE_KEEP"
  rm -rf "$WINEPREFIX" "$scratch"
}
trap end_prefix EXIT

passed=0 failed=0
pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  printf 'FAILED %s: %s\n' "$scenario" "$1"
}

# ---- the prefix -----------------------------------------------------------

make_prefix() {
  timeout 180 "$wine" wineboot -i >"$scratch/boot.log" 2>&1 || { echo "wineboot failed"; cat "$scratch/boot.log"; return 1; }
  # Let the creating session end, then run one persistent server.
  timeout 60 "$wineserver" -w
  "$wineserver" -p >"$scratch/server.log" 2>&1 &
  server_pid=$!
  echo "prefix made in $((SECONDS - started)) s"
  # On a loaded machine the first program of the new server can take a while
  # to bring up the service manager; the wait is generous, the check exact.
  local i
  for i in $(seq 1 3); do
    timeout 60 "$wine" cmd /c exit >/dev/null 2>&1 && break
  done
  for i in $(seq 1 300); do
    [ "$(prefix_pids_running 'services.exe' | wc -l)" -eq 1 ] && return 0
    sleep 0.2
  done
  echo "not exactly one service manager in the prefix after $((SECONDS - started)) s:"
  prefix_pids_running 'services.exe'
  return 1
}

reg_add() { timeout 30 "$wine" reg add "$1" /v "$2" /d "$3" /f >/dev/null 2>&1; }

reg_delete() { timeout 30 "$wine" reg delete "$1" /f >/dev/null 2>&1; }

# The word size of a PE image: its machine field.
image_bits() {
  local header
  header=$(od -An -t u4 -j 60 -N 4 "$1" | tr -d ' ')
  [ "$(od -An -t x2 -j $((header + 4)) -N 2 "$1" | tr -d ' ')" = 8664 ] && echo 64 || echo 32
}
bits=$(image_bits "$exe")
if [ "$bits" = 64 ]; then other_bits=32 other_exe='x86\pelorim.exe'; else other_bits=64 other_exe='x64\pelorim.exe'; fi

jdk17='C:\Program Files\Java\jdk-17'
jdk17_dir="$drive/Program Files/Java/jdk-17"

# lay_out_runtime HOME STANDIN_DIR TYPE... : the stand-in at bin\<type>\jvm.dll
# for each type, its C runtime in bin\.
lay_out_runtime() {
  local home=$1 from=$2 type
  shift 2
  mkdir -p "$home/lib"
  for type in "$@"; do
    mkdir -p "$home/bin/$type"
    cp "$from/jvm.dll" "$home/bin/$type/jvm.dll"
  done
  cp "$from/vcruntime140.dll" "$home/bin/"
}

register_jdk17() {
  reg_add 'HKLM\SOFTWARE\JavaSoft\JDK' CurrentVersion 17 &&
    reg_add 'HKLM\SOFTWARE\JavaSoft\JDK\17' JavaHome "$jdk17" &&
    reg_add 'HKLM\SOFTWARE\JavaSoft\JDK\17' RuntimeLib "$jdk17\bin\server\jvm.dll"
}

# The key that installers before Java 9 wrote, for C:\jdk.
register_old_jdk() {
  reg_add 'HKLM\SOFTWARE\JavaSoft\Java Development Kit' CurrentVersion 1.8 &&
    reg_add 'HKLM\SOFTWARE\JavaSoft\Java Development Kit\1.8' JavaHome 'C:\jdk' &&
    reg_add 'HKLM\SOFTWARE\JavaSoft\Java Development Kit\1.8' RuntimeLib 'C:\jdk\bin\server\jvm.dll'
}

# The JDK 17 home (registered); C:\jdk (types server, then client) and
# C:\jdk2 (client only) in older layouts; C:\jdk-other of the other word size;
# C:\jdk-nocrt without its C runtime; a folder of launcher copies on PATH.
lay_out_files() {
  mkdir -p "$drive/app/classes" "$drive/pel" "$drive/Program Files/Pelorim Test" \
    "$drive/ProgramData/Oracle/Java/javapath"
  lay_out_runtime "$jdk17_dir" "$standin" server
  cp "$standin/msvcp140.dll" "$standin/net.dll" "$jdk17_dir/bin/"
  printf -- '-server KNOWN\r\n-client IGNORE\r\n' >"$jdk17_dir/lib/jvm.cfg"
  echo "stand-in launcher" >"$jdk17_dir/bin/java.exe"
  echo "stand-in launcher" >"$drive/ProgramData/Oracle/Java/javapath/java.exe"
  lay_out_runtime "$drive/jdk" "$standin" server client
  printf -- '-server KNOWN\r\n-client KNOWN\r\n' >"$drive/jdk/lib/jvm.cfg"
  lay_out_runtime "$drive/jdk2" "$standin" client
  printf -- '-client KNOWN\r\n' >"$drive/jdk2/lib/jvm.cfg"
  lay_out_runtime "$drive/jdk-other" "$other_standin" server
  printf -- '-server KNOWN\r\n' >"$drive/jdk-other/lib/jvm.cfg"
  lay_out_runtime "$drive/jdk-nocrt" "$standin" server
  rm "$drive/jdk-nocrt/bin/vcruntime140.dll"
  printf -- '-server KNOWN\r\n' >"$drive/jdk-nocrt/lib/jvm.cfg"
  # A runtime at the root of drive J:, found through PATH.
  lay_out_runtime "$drive/jroot" "$standin" server
  printf -- '-server KNOWN\r\n' >"$drive/jroot/lib/jvm.cfg"
  echo "stand-in launcher" >"$drive/jroot/bin/java.exe"
  ln -s ../drive_c/jroot "$WINEPREFIX/dosdevices/j:"
  cp "$standin/dllprobe.exe" "$drive/app/"
  cp "$exe" "$drive/pel/pelorim.exe"
  cp "$exe" "$drive/Program Files/Pelorim Test/pelorim.exe"
  # What an unquoted "C:\Program Files\Pelorim Test\pelorim.exe ..." runs first.
  cp "$exe" "$drive/Program Files/Pelorim.exe"
  echo "stand-in class" >"$drive/app/classes/Hello.class"
  echo "stand-in class" >"$drive/app/classes/Doomed.class"
  # The stand-in reads an archive's manifest line and entry names as the bytes
  # they are when stored uncompressed.
  printf 'PK\003\004META-INF/MANIFEST.MF\r\nManifest-Version: 1.0\r\nMain-Class: Hello\r\n\r\nPK\003\004Hello.class\r\n' \
    >"$drive/app/hello.jar"
  register_jdk17
}

# ---- running the program ---------------------------------------------------

program='C:\pel\pelorim.exe'

# Every line the program ends on the console ends in CR LF, never CR CR LF
# (a last line without its end, like "Starting X.." before a failure on the
# other stream, is not a line yet).
check_line_ends() {
  local first
  first=$(perl -ne 'next if /^wine: |^[0-9a-f]*:(err|fixme|warn):/ || !/\n$/;
                    if (/\r\r\n$/ || !/\r\n$/) { printf "line %d: %s", $., $_; exit }' "$2")
  [ -z "$first" ] || fail "a $1 line without CR LF: $(printf '%q' "$first")"
}

# run ARGS...: pelorim.exe in C:\app; sets $code, $out (bytes, CR kept) and $err (CR dropped).
run() {
  (cd "$drive/app" && timeout 90 "$wine" "$program" "$@" >"$scratch/out" 2>"$scratch/err")
  code=$?
  out=$(cat "$scratch/out")
  err=$(grep -av '^wine: \|^[0-9a-f]*:\(err\|fixme\|warn\):' "$scratch/err" | tr -d '\r')
  check_line_ends stdout "$scratch/out"
  check_line_ends stderr "$scratch/err"
}

expect_code() {
  if [ "$code" = "$1" ]; then pass; else fail "exit $code, expected $1 ($2)
  stdout: $(printf '%q' "$out")
  stderr: $(printf '%q' "$err")"; fi
}

expect_out() { if [[ "$out" == *"$1"* ]]; then pass; else fail "stdout lacks $(printf '%q' "$1"): $(printf '%q' "$out")"; fi; }
expect_err() { if [[ "$err" == *"$1"* ]]; then pass; else fail "stderr lacks $(printf '%q' "$1"): $(printf '%q' "$err")"; fi; }

# expect_log FILE TEXT: polls up to 20 s for a line of the Windows file C:\app\FILE.
expect_log() {
  local i
  for i in $(seq 1 100); do
    grep -qaF -- "$2" "$drive/app/$1" 2>/dev/null && { pass; return; }
    sleep 0.2
  done
  fail "log $1 lacks '$2': $(cat "$drive/app/$1" 2>/dev/null | tr -d '\r' | tail -n 15)"
}

# The state number that Wine's controller reports for a service ("" when none).
service_state() {
  timeout 30 "$wine" sc query "$1" 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: *\([0-9]\).*/\1/p'
}

# What servicequery.exe (built beside the stand-in) reports of a service: its
# accepted controls and its preshutdown time-out, which "sc query" does not show.
service_query() {
  timeout 30 "$wine" "$standin/servicequery.exe" "$1" 2>/dev/null | tr -d '\r'
}

# The service's exit codes as "sc query" shows them: "WIN32 SERVICE".
service_exit_codes() {
  timeout 30 "$wine" sc query "$1" 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *\(WIN32\|SERVICE\)_EXIT_CODE *: *\([0-9]*\).*/\2/p' | tr '\n' ' ' | sed 's/ $//'
}

# A start that failed before the application ran: /start passes on the code,
# and the service is stopped with 1066 and that code.
expect_failed_start() {
  expect_code "$2" "/start $1"
  expect_state_soon "$1" 1
  local codes
  codes=$(service_exit_codes "$1")
  [ "$codes" = "1066 $2" ] && pass || fail "service $1 stopped with exit codes '$codes', expected '1066 $2'"
}

expect_state() {
  local state
  state=$(service_state "$1")
  if [ "$state" = "$2" ]; then pass; else fail "service $1 in state '$state', expected $2"; fi
}

# Polls up to 20 s for the state.
expect_state_soon() {
  local i
  for i in $(seq 1 40); do
    [ "$(service_state "$1")" = "$2" ] && { pass; return; }
    sleep 0.5
  done
  fail "service $1 in state '$(service_state "$1")', expected $2"
}

# Polls up to 30 s until no process of the prefix runs "pelorim.exe ... TEXT".
expect_process_gone() {
  local i
  for i in $(seq 1 150); do
    [ -z "$(prefix_pids_running "$1")" ] && { pass; return; }
    sleep 0.2
  done
  fail "a process with '$1' still runs"
}

# install_start NAME [SWITCHES...] -- JAVA...: /install and /start together, logging to C:\app\NAME.log.
install_start() {
  local name=$1
  shift
  run "$name" /install /start /debug:2 "/logfile:C:\\app\\$name.log" "$@"
  expect_code 0 "/install /start $name"
  expect_out "$name installed."
  expect_out "$name started."
  expect_state "$name" 4
}

stop_service() {
  run "$1" /stop
  expect_code "${2:-0}" "/stop $1"
  expect_out "$1 stopped."
  expect_state "$1" 1
}

uninstall_service() {
  run "$1" /uninstall
  expect_out "$1 removed."
  [ -z "$(service_state "$1")" ] && pass || fail "$1 still listed after /uninstall"
}

app_cp=(-cp 'C:\app\classes')

# ---- scenarios ----------------------------------------------------------------

console_line_ends() {
  scenario="console line ends"
  run Foo /help
  expect_code 0 "/help"
  if [ "$out" = $'Pelorim 1.3c Java Wrapper for NT Service\r\n\r' ]; then pass; else
    fail "banner bytes $(printf '%q' "$out")"; fi
  # A message with a line break inside (the registry warning's "\r\n\t"):
  # run checks that each line of both streams ends in CR LF.
  run Foo /install /debug:1 -cp . Hello
  expect_err $'RegOpenKeyEx: File not found. (2)\n\tSystem\\CurrentControlSet\\Services\\Foo'
}

discovery() {
  scenario="discovery: the JavaSoft\\JDK key of a JDK 17 installer"
  run Disc /install /debug:2 "${app_cp[@]}" Missing
  expect_code 4 "main class missing"
  expect_err "Loading JNI: RuntimeLib (JavaSoft\\JDK reg) used: $jdk17\\bin\\server\\jvm.dll"
  expect_err 'Main class not found: Missing'

  scenario="discovery: the older JavaSoft key comes first"
  register_old_jdk
  run Disc /install /debug:2 "${app_cp[@]}" Missing
  expect_code 4 "main class missing"
  expect_err 'Loading JNI: RuntimeLib (JavaSoft JDK reg) used: C:\jdk\bin\server\jvm.dll'
  [[ "$err" != *'JavaSoft\JDK'* ]] && pass || fail "the newer key was read as well"
  reg_delete 'HKLM\SOFTWARE\JavaSoft\Java Development Kit'

  scenario="discovery: JAVA_HOME"
  JAVA_HOME='C:\jdk2' run Disc /install /debug:2 "${app_cp[@]}" Missing
  expect_err 'Loading JNI: JAVA_HOME env var used: C:\jdk2'
  expect_err 'LoadJNILibrary C:\jdk2\bin\client\jvm.dll'
  scenario="discovery: JAVA_HOME in quotes"
  JAVA_HOME='"C:\jdk2"' run Disc /install /debug:2 "${app_cp[@]}" Missing
  expect_err 'LoadJNILibrary C:\jdk2\bin\client\jvm.dll'

  scenario="discovery: /javahome:"
  JAVA_HOME='C:\nowhere' run Disc /install /debug:2 '/javahome:C:\jdk2' "${app_cp[@]}" Missing
  expect_err 'Loading JNI: javahome param used: C:\jdk2'
  expect_err 'LoadJNILibrary C:\jdk2\bin\client\jvm.dll'

  scenario="discovery: /runtimelib:"
  run Disc /install /debug:2 '/runtimelib:C:\jdk\bin\client\jvm.dll' "${app_cp[@]}" Missing
  expect_err 'Loading JNI: runtimelib param used: C:\jdk\bin\client\jvm.dll'
  expect_code 4 "main class missing"

  scenario="discovery: jvm.cfg type"
  run Typed /install '/javahome:C:\jdk' -client "${app_cp[@]}" Hello
  expect_code 0 "/install -client"
  local stored
  stored=$(timeout 30 "$wine" reg query 'HKLM\System\CurrentControlSet\Services\Typed' /v JVMType 2>/dev/null | tr -d '\r')
  grep -q 'JVMType.*REG_SZ.*-client' <<<"$stored" && pass || fail "JVMType not stored: $stored"
  uninstall_service Typed
}

# A runtime registered nowhere, its bin\ on PATH behind a folder of launcher
# copies (which is no Java home and is passed over); the service gets PATH
# from the environment that /install stored.
path_only() {
  scenario="found only through PATH"
  reg_delete 'HKLM\SOFTWARE\JavaSoft\JDK'
  WINEPATH="C:\\ProgramData\\Oracle\\Java\\javapath;$jdk17\\bin" install_start OnPath \
    '-Dstandin.out=hello through PATH' "${app_cp[@]}" Hello
  expect_err "Loading JNI: java on PATH used: $jdk17"
  [[ "$err" != *'LoadJNILibrary C:\ProgramData'* ]] && pass || fail "the javapath folder was searched"
  expect_log OnPath.log 'INFO: hello through PATH'
  stop_service OnPath
  uninstall_service OnPath
  register_jdk17
}

# jvm.dll imports vcruntime140.dll, which lies only in bin\, and the
# application then loads bin\net.dll as the JVM loads its own libraries
# (LoadLibraryA, full path, no flags). net.dll imports vcruntime140.dll too,
# and also msvcp140.dll, which jvm.dll does not import: a mechanism that served
# only jvm.dll's load (preloading its imports, a DLL directory set only around
# it, LoadLibraryEx flags for that one load) leaves net.dll without
# msvcp140.dll (126). Its report says that the system bound it to bin\'s copies,
# vcruntime140.dll being the one jvm.dll uses. Through /javahome:, which every
# build knows.
runtime_dlls() {
  scenario="a runtime whose DLLs are in its bin\\ only, and a library of its own loaded later"
  install_start Later "/javahome:$jdk17" "-Dstandin.load=$jdk17\\bin\\net.dll" "${app_cp[@]}" Hello
  expect_log Later.log \
    "INFO: loaded $jdk17\\bin\\net.dll: vcruntime140 $jdk17\\bin\\vcruntime140.dll, msvcp140 $jdk17\\bin\\msvcp140.dll"
  stop_service Later
  uninstall_service Later
}

# Why a runtime that is there cannot be loaded: at /install (exit 1, no service)
# and at service start (in the service's log).
load_failures() {
  local other_line="The Java runtime library C:\\jdk-other\\bin\\server\\jvm.dll is $other_bits-bit and cannot be loaded by this $bits-bit program: use $other_exe of the Pelorim zip for it."
  scenario="a runtime of the other word size, at /install"
  run Other /install '/javahome:C:\jdk-other' "${app_cp[@]}" Hello
  expect_code 1 "runtime of the other word size"
  expect_err "$other_line"
  [ -z "$(service_state Other)" ] && pass || fail "Other installed"

  scenario="a runtime without its C runtime, at /install"
  run NoCrt /install '/javahome:C:\jdk-nocrt' "${app_cp[@]}" Hello
  expect_code 1 "runtime without its C runtime"
  expect_err 'The library vcruntime140.dll that the Java runtime library C:\jdk-nocrt\bin\server\jvm.dll needs was not found (126); looked in the directory of pelorim.exe, C:\jdk-nocrt\bin, the system directories and the directories of PATH.'
  [ -z "$(service_state NoCrt)" ] && pass || fail "NoCrt installed"

  scenario="a runtime of the other word size, at service start"
  run Swapped /install '/logfile:C:\app\Swapped.log' "${app_cp[@]}" Hello
  expect_code 0 "/install Swapped"
  reg_add 'HKLM\System\CurrentControlSet\Services\Swapped' JNILibrary 'C:\jdk-other\bin\server\jvm.dll'
  run Swapped /start
  expect_log Swapped.log "ERROR: $other_line"
  expect_process_gone 'Swapped /service'
  uninstall_service Swapped
}

temurin='C:\Program Files\Eclipse Adoptium'
temurin_dir="$drive/Program Files/Eclipse Adoptium"

# install_temurin VERSION: its folder as the MSI lays it out (C runtime in bin\
# only), and its own key with Path, the folder with a trailing backslash.
install_temurin() {
  local home="$temurin_dir/jdk-$1-hotspot"
  lay_out_runtime "$home" "$standin" server
  printf -- '-server KNOWN\r\n-client IGNORE\r\n' >"$home/lib/jvm.cfg"
  echo "stand-in launcher" >"$home/bin/java.exe"
  reg_add "HKLM\\SOFTWARE\\Eclipse Adoptium\\JDK\\$1\\hotspot\\MSI" Path "$temurin\\jdk-$1-hotspot\\"
}

uninstall_temurin() {
  rm -rf "$temurin_dir/jdk-$1-hotspot"
  reg_delete "HKLM\\SOFTWARE\\Eclipse Adoptium\\JDK\\$1"
}

# expect_single_backslashes TEXT WHAT: no doubled backslash in a line about
# the runtimes (named pipes begin with two by right).
expect_single_backslashes() {
  local doubled
  doubled=$(grep -aE 'Adoptium|J:' <<<"$1" | grep -aF '\\')
  [ -z "$doubled" ] && pass || fail "a doubled backslash in $2: $doubled"
}

# Temurin as its MSI installs it by default: its own key and PATH, no JavaSoft
# key. A service whose runtime came through PATH and one through JAVA_HOME
# start after an update has replaced the JDK's folder, on the update, and
# name the stale source; one pinned with /javahome: fails and says why. A
# newer JDK 21 is registered too: the same feature version is preferred.
jdk_update() {
  local old="$temurin\\jdk-17.0.5.8-hotspot" new="$temurin\\jdk-17.0.6.7-hotspot" name
  reg_delete 'HKLM\SOFTWARE\JavaSoft\JDK'
  install_temurin 17.0.5.8

  scenario="JDK update: installed through PATH"
  WINEPATH="$old\\bin" install_start TemPath "${app_cp[@]}" Hello
  expect_err "Loading JNI: java on PATH used: $old"
  expect_err "The Java runtime came through PATH: should a JDK update move it to another folder, the service follows it through the JDK installers' registry keys; to keep to this one, install with \"/javahome:$old\""
  expect_single_backslashes "$err" "/install's output"
  stop_service TemPath
  scenario="JDK update: installed through JAVA_HOME"
  JAVA_HOME="$old\\" install_start TemHome "${app_cp[@]}" Hello
  expect_err "Loading JNI: JAVA_HOME env var used: $old\\"
  expect_err "The Java runtime came through JAVA_HOME:"
  expect_single_backslashes "$err" "/install's output"
  stop_service TemHome
  scenario="JDK update: pinned with /javahome:"
  install_start TemPinned "/javahome:$old\\" "${app_cp[@]}" Hello
  [[ "$err" != *"The Java runtime came through"* ]] && pass || fail "a pinned runtime is said to be followed"
  stop_service TemPinned

  uninstall_temurin 17.0.5.8
  install_temurin 17.0.6.7
  install_temurin 21.0.1.12
  for name in TemPath TemHome; do
    scenario="JDK update: $name starts on the update"
    run $name /start
    expect_code 0 "/start $name after the update"
    expect_state $name 4
    expect_log $name.log "LoadJNILibrary $new\\bin\\server\\jvm.dll"
    expect_log $name.log "WARNING: Java 17 runtime found through Path (Eclipse Adoptium\\JDK\\17.0.6.7\\hotspot\\MSI reg) used instead: $new\\"
    expect_single_backslashes "$(cat "$drive/app/$name.log")" "$name.log"
    stop_service $name
    uninstall_service $name
  done
  expect_log TemPath.log "WARNING: PATH $old\\bin no longer exists"
  expect_log TemHome.log "WARNING: JAVA_HOME $old\\ no longer exists"

  scenario="JDK update: the pinned service fails and says why"
  run TemPinned /start
  expect_log TemPinned.log "ERROR: JavaHome $old\\ no longer exists, and this service uses only that Java runtime: change its JavaHome value, or install again, to use another."
  expect_process_gone 'TemPinned /service'
  uninstall_service TemPinned

  # The folder of J:\bin\java.exe is J:\, not J:, which names J:'s current
  # directory.
  scenario="a runtime at the root of a drive, through PATH"
  WINEPATH='J:\bin' run Root /install /debug:2 "${app_cp[@]}" Hello
  expect_code 0 "/install Root"
  expect_err 'Loading JNI: java on PATH used: J:\'$'\n'
  expect_err 'LoadJNILibrary J:\bin\server\jvm.dll'
  expect_single_backslashes "$err" "/install's output"
  uninstall_service Root

  uninstall_temurin 17.0.6.7
  uninstall_temurin 21.0.1.12
  register_jdk17
}

# The programs that the service starts search as they would anywhere else:
# the shutdown command does not find the runtime's msvcp140.dll, which the
# JVM's own libraries find in its bin\. Windows hands a process's
# SetDllDirectory on to the programs it starts (Microsoft documents that);
# Wine does not, so here this shows only that hiding it around the command
# costs the JVM nothing.
shutdown_command_dll_search() {
  scenario="the shutdown command's DLL search"
  install_start Probe "/javahome:$jdk17" '/shutdownCommand:C:\app\dllprobe.exe msvcp140.dll C:\app\probe.flag' \
    "-Dstandin.load=$jdk17\\bin\\net.dll" '-Dstandin.main=file:C:\app\probe.flag' "${app_cp[@]}" Hello
  expect_log Probe.log "msvcp140 $jdk17\\bin\\msvcp140.dll"
  stop_service Probe
  expect_log Probe.log 'dllprobe: msvcp140.dll not found'
  uninstall_service Probe
}

# What the runtime library prints itself reaches the log through the process's
# standard handles, which are the service's pipes before jvm.dll is loaded: a
# warning whose prefix and text take two ways (as HotSpot's do), a line on
# descriptor 1 of its C runtime, and one through the universal C runtime,
# which a current jvm.dll uses and which starts only once the handles are set.
vm_output=('-Dstandin.vmwarning=deprecated as scripted' '-Dstandin.vmout=flags as scripted'
  '-Dstandin.ucrt=through the universal C runtime')
expect_vm_output() {
  expect_log "$1" 'ERROR: Stand-in VM warning: deprecated as scripted'
  expect_log "$1" 'INFO: flags as scripted'
  expect_log "$1" 'ERROR: through the universal C runtime'
}

in_process() {
  scenario="in process"
  install_start InProc '-Dstandin.out=hello from main' '-Dstandin.err=complaint from main' \
    '-Dstandin.trace=C:\app\trace-inproc.txt' "${vm_output[@]}" "${app_cp[@]}" Hello
  expect_log InProc.log 'INFO: hello from main'
  expect_log InProc.log 'ERROR: complaint from main'
  # A system shutdown is a stop: PRESHUTDOWN (0x100) is accepted beside STOP,
  # within the stop's whole limit (Timeout's 30000 ms and 20000 more).
  local query
  query=$(service_query InProc)
  [[ "$query" == *'controls accepted: 0x101'* ]] && pass || fail "accepted controls: $query"
  [[ "$query" == *'preshutdown timeout: 50000'* ]] && pass || fail "preshutdown time-out: $query"
  # The README's recovery recipe, as sc takes it.
  timeout 30 "$wine" sc failure InProc reset= 86400 actions= restart/60000/restart/60000/restart/60000 \
    >/dev/null 2>&1 && pass || fail "sc failure refused the README's recipe"
  expect_vm_output InProc.log
  stop_service InProc
  expect_log InProc.log 'Invoking System.exit(0)'
  expect_log InProc.log 'JVM Exit Hook called'
  uninstall_service InProc
}

# The child opens no log file: its runtime's own output and the
# application's lines all reach the service process's file through the pipes.
detached() {
  scenario="detached"
  install_start Detached /detach '-Dstandin.out=hello from the child' '-Dstandin.out=and once more' \
    "${vm_output[@]}" "${app_cp[@]}" Hello
  expect_log Detached.log 'INFO: hello from the child'
  expect_log Detached.log 'INFO: and once more'
  expect_vm_output Detached.log
  [ -n "$(prefix_pids_running 'Detached /subprocess')" ] && pass || fail "no detached child runs"
  stop_service Detached
  expect_process_gone 'Detached /subprocess'
  # Killed outright, the service process takes its child along: the child is
  # in a job that the system closes, and kills, with the process.
  scenario="killed service process, detached"
  run Detached /start
  expect_code 0 "second /start Detached"
  [ -n "$(prefix_pids_running 'Detached /subprocess')" ] && pass || fail "no detached child runs"
  local pid
  for pid in $(prefix_pids_running 'Detached /service'); do kill -9 "$pid"; done
  expect_process_gone 'Detached /service'
  expect_process_gone 'Detached /subprocess'
  uninstall_service Detached
}

startup_method() {
  scenario="startup method"
  local began=$SECONDS
  install_start Startup /startup:ready -Dstandin.startup=2 '-Dstandin.trace=C:\app\trace-startup.txt' \
    "${app_cp[@]}" Hello
  [ $((SECONDS - began)) -ge 2 ] && pass || fail "running before the startup method said false"
  [ "$(grep -c 'CallStaticBooleanMethodV' "$drive/app/trace-startup.txt")" -eq 3 ] && pass ||
    fail "startup method not polled three times"
  stop_service Startup
  uninstall_service Startup
}

shutdown_method() {
  scenario="shutdown method"
  install_start Shutdown /shutdown:halt -Dstandin.shutdown=release "${app_cp[@]}" Hello
  stop_service Shutdown
  expect_log Shutdown.log 'Invoking shutdown method: halt'
  uninstall_service Shutdown
}

# A shutdown method that fails is followed by System.exit(0); one that calls
# System.exit itself ends the VM through the exit hook.
shutdown_method_fails_or_exits() {
  scenario="shutdown method throwing"
  install_start Fallback /shutdown:halt -Dstandin.shutdown=throw "${app_cp[@]}" Hello
  stop_service Fallback
  expect_log Fallback.log 'ERROR: java.lang.IllegalStateException: shutdown failed as scripted'
  expect_log Fallback.log 'Invoking System.exit(0)'
  uninstall_service Fallback
  scenario="shutdown method calling System.exit"
  install_start Exiting /shutdown:halt -Dstandin.shutdown=exit "${app_cp[@]}" Hello
  stop_service Exiting
  expect_log Exiting.log 'JVM Exit Hook called'
  uninstall_service Exiting
}

# main returns by itself: the service reports STOPPED on its own.
main_ending() {
  scenario="main ending by itself"
  install_start Ending '-Dstandin.main=file:C:\app\end.flag' "${app_cp[@]}" Hello
  echo end >"$drive/app/end.flag"
  expect_state_soon Ending 1
  expect_process_gone 'Ending /service'
  uninstall_service Ending
}

shutdown_command() {
  scenario="shutdown command"
  install_start Command '/shutdownCommand:echo stopping by command& echo done> C:\app\stop.flag' \
    '-Dstandin.main=file:C:\app\stop.flag' "${app_cp[@]}" Hello
  stop_service Command
  expect_log Command.log 'stopping by command'
  uninstall_service Command
}

# A stop that the application ignores is forced at Timeout: a failure that
# the log and /stop's exit code (the service's own, 10) tell. The service must
# then start again.
forced_stop() {
  local name=$1
  shift
  scenario="forced stop, $name"
  install_start "$name" "$@" /timeout:3000 /shutdown:halt -Dstandin.shutdown=hang "${app_cp[@]}" Hello
  run "$name" /stop
  [ -n "${LIFECYCLE_VERBOSE:-}" ] && printf 'forced /stop of %s: exit %s\n%s\n%s\n' "$name" "$code" "$out" "$err"
  expect_code 10 "forced /stop $name"
  expect_out "$name stopped."
  expect_state "$name" 1
  expect_log "$name.log" 'ERROR: The application did not end within 3000 ms of the stop request'
  scenario="second start after a forced stop, $name"
  run "$name" /start
  expect_code 0 "second /start"
  expect_out "$name started."
  expect_state "$name" 4
  run "$name" /stop
  uninstall_service "$name"
}

archive_arguments() {
  scenario="-jar with arguments holding blanks"
  install_start Archive -jar 'C:\app\hello.jar' 'first argument' 'second  one'
  expect_log Archive.log 'INFO: argument: first argument'
  expect_log Archive.log 'INFO: argument: second  one'
  stop_service Archive
  uninstall_service Archive
}

main_throwing() {
  scenario="main throwing"
  install_start Thrower -Dstandin.main=throw "${app_cp[@]}" Hello
  expect_log Thrower.log 'ERROR: java.lang.IllegalStateException: main failed as scripted'
  # The service process ends without reporting STOPPED (Windows: 1067).
  expect_process_gone 'Thrower /service'
  uninstall_service Thrower
}

unknown_option() {
  scenario="unknown JVM option"
  run Bogus /install -Xbogus "${app_cp[@]}" Hello
  expect_code 3 "unknown option"
  expect_err 'Could not create the Java virtual machine'
  [ -z "$(service_state Bogus)" ] && pass || fail "Bogus installed"
  # A runtime that gives up while it is created ends the process itself: its abort hook makes that 3, not
  # the 1 of a runtime not found.
  run Aborted /install -Dstandin.create=abort "${app_cp[@]}" Hello
  expect_code 3 "a runtime giving up"
  expect_err 'Could not create the Java virtual machine'
  [ -z "$(service_state Aborted)" ] && pass || fail "Aborted installed"
}

main_class_removed() {
  scenario="main class removed after install"
  run Removed /install /debug:2 '/logfile:C:\app\Removed.log' "${app_cp[@]}" Doomed
  expect_code 0 "/install Doomed"
  rm -f "$drive/app/classes/Doomed.class"
  run Removed /start
  expect_log Removed.log 'Main class not found: Doomed'
  expect_failed_start Removed 4
  expect_process_gone 'Removed /service'
  uninstall_service Removed
}

blank_service_name() {
  scenario="service name with a blank"
  install_start 'Blank Name' '-Dstandin.out=hello with a blank' "${app_cp[@]}" Hello
  expect_log 'Blank Name.log' 'INFO: hello with a blank'
  stop_service 'Blank Name'
  uninstall_service 'Blank Name'
}

blank_directory() {
  scenario="pelorim.exe under a directory with a blank"
  program='C:\Program Files\Pelorim Test\pelorim.exe'
  install_start Spaced /detach '-Dstandin.out=hello from Program Files' "${app_cp[@]}" Hello
  expect_log Spaced.log 'INFO: hello from Program Files'
  stop_service Spaced
  uninstall_service Spaced
  program='C:\pel\pelorim.exe'
}

# The runtime's own message about an option it rejects reaches the log
# through its C runtime's standard error (the console would have shown it at /install).
vm_message() {
  scenario="the runtime's own message in the log"
  run Chatty /install /debug:2 '/logfile:C:\app\Chatty.log' "${app_cp[@]}" Hello
  expect_code 0 "/install Chatty"
  timeout 30 "$wine" reg add 'HKLM\System\CurrentControlSet\Services\Chatty' /v JavaOptions /t REG_MULTI_SZ \
    /d '-Xbogus' /f >/dev/null 2>&1
  run Chatty /start
  expect_log Chatty.log 'ERROR: Unrecognized option: -Xbogus'
  expect_log Chatty.log 'ERROR: Could not create the Java virtual machine'
  expect_failed_start Chatty 3
  expect_process_gone 'Chatty /service'
  # A runtime that gives up during its creation and ends the process itself,
  # after its abort hook, as HotSpot does for a heap it cannot set up.
  scenario="the runtime giving up during its creation"
  timeout 30 "$wine" reg add 'HKLM\System\CurrentControlSet\Services\Chatty' /v JavaOptions /t REG_MULTI_SZ \
    /d '-Dstandin.create=abort' /f >/dev/null 2>&1
  run Chatty /start
  expect_log Chatty.log 'ERROR: scripted to give up'
  expect_failed_start Chatty 3
  expect_process_gone 'Chatty /service'
  uninstall_service Chatty
}

# A rotation tool (here cmd's ren) may rename the live log file, which the
# service shares for deletion; the next line starts a new file under the name.
live_rename() {
  scenario="the live log file renamed"
  install_start Renamed '-Dstandin.out=before the rename' '-Dstandin.main=echo:C:\app\echo.txt' "${app_cp[@]}" Hello
  expect_log Renamed.log 'INFO: before the rename'
  local result
  result=$(cd "$drive/app" && timeout 30 "$wine" cmd /c 'ren C:\app\Renamed.log Renamed.old.log' 2>&1 | tr -d '\r')
  [ -f "$drive/app/Renamed.old.log" ] && [ ! -f "$drive/app/Renamed.log" ] && pass ||
    fail "ren of the live log file: $(printf '%q' "$result")"
  printf 'after the rename\r\n' >"$drive/app/echo.tmp" && mv "$drive/app/echo.tmp" "$drive/app/echo.txt"
  expect_log Renamed.log 'INFO: after the rename'
  grep -qa 'after the rename' "$drive/app/Renamed.old.log" && fail "a line after the rename went to the old file" || pass
  grep -qa 'before the rename' "$drive/app/Renamed.log" 2>/dev/null && fail "the new file holds an old line" || pass
  stop_service Renamed
  uninstall_service Renamed
}

# A process that the shutdown command leaves running must hold none of the
# service's events, or the next start finds them in being. The command's
# cmd.exe starts a second one, which writes the flag that ends main and then
# waits on ping; the service ends the first at QUIT, the second lives on. The
# flag comes from a process that is already running, so main cannot end
# before there is something to leave behind.
shutdown_command_leftover() {
  scenario="shutdown command that leaves a process running"
  install_start Leftover '/shutdownCommand:cmd /c "echo done> C:\app\leftover.flag& ping -n 120 127.0.0.1"' \
    '-Dstandin.main=file:C:\app\leftover.flag' "${app_cp[@]}" Hello
  stop_service Leftover
  local leftover=""
  for _ in $(seq 150); do
    leftover=$(prefix_pids_running 'ping')
    [ -n "$leftover" ] && break
    sleep 0.2
  done
  [ -n "$leftover" ] && pass || fail "the shutdown command left no process running"
  scenario="start after a shutdown command left a process running"
  rm -f "$drive/app/leftover.flag"
  run Leftover /start
  expect_code 0 "/start beside the left process"
  expect_out "Leftover started."
  expect_state Leftover 4
  stop_service Leftover
  for pid in $(prefix_pids_running 'ping') $(prefix_pids_running 'leftover.flag'); do kill -9 "$pid" 2>/dev/null; done
  uninstall_service Leftover
}

# /install closes the service's key before it writes a value: SYSTEM and
# Administrators have full control, the service itself (its service SID, from
# the SHA-1 of "GUARDED" in UTF-16LE) reads, nobody else has an entry, and the
# Services key's entries are not inherited. The tool that reads it back is the
# system's own conversion to the string form. The stored values, the service
# manager's view and the service's own reading of its key are as before.
# Wine keeps a key's descriptor only while its server runs, gives no service
# SID to LookupAccountName (which is why the program derives the SID itself),
# has no sc qc, and refuses the service SID type (ChangeServiceConfig2 with
# SERVICE_CONFIG_SERVICE_SID_INFO fails with 87; Windows stores it as
# ServiceSidType, as the Linux tests check): the install says so in a warning
# and goes on.
key_security() {
  scenario="the service's key closed to others"
  install_start Guarded '-Dstandin.out=hello from a closed key' "${app_cp[@]}" Hello
  expect_err 'ChangeServiceConfig2: '
  local dacl stored
  dacl=$(timeout 30 "$wine" "$standin/keysecurity.exe" 'System\CurrentControlSet\Services\Guarded' 2>&1 | tr -d '\r')
  [ "$dacl" = 'D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;S-1-5-80-929378621-3470561137-561546324-1009305544-3910404811)' ] &&
    pass || fail "the key's DACL: $dacl"
  stored=$(timeout 30 "$wine" reg query 'HKLM\System\CurrentControlSet\Services\Guarded' /v JavaMainClass 2>/dev/null | tr -d '\r')
  grep -q 'JavaMainClass.*REG_SZ.*Hello' <<<"$stored" && pass || fail "JavaMainClass not readable: $stored"
  expect_log Guarded.log 'INFO: hello from a closed key'
  stop_service Guarded
  uninstall_service Guarded
}

# No JNI call of the program may have reached a slot the stand-in lacks, and
# the prefix still has its one service manager.
final_checks() {
  scenario="JNI calls the stand-in implements"
  local failures
  failures=$(cat "$drive"/jdk*/bin/*/standin-failures.log "$jdk17_dir"/bin/*/standin-failures.log 2>/dev/null)
  [ -z "$failures" ] && pass || fail "$failures"
  scenario="one service manager"
  [ "$(prefix_pids_running 'services.exe' | wc -l)" -eq 1 ] && pass || fail "$(prefix_pids_running 'services.exe')"
}

make_prefix || exit 1
lay_out_files || { echo "cannot lay out the prefix"; exit 1; }
echo "prefix ready after $((SECONDS - started)) s"
timed() {
  [ -z "${LIFECYCLE_ONLY:-}" ] || [[ " $LIFECYCLE_ONLY " == *" $1 "* ]] || return 0
  local began=$SECONDS
  "$@"
  echo "$* took $((SECONDS - began)) s"
}

timed console_line_ends
timed discovery
timed path_only
timed runtime_dlls
timed load_failures
timed jdk_update
timed shutdown_command_dll_search
timed in_process
timed detached
timed startup_method
timed shutdown_method
timed shutdown_method_fails_or_exits
timed main_ending
timed shutdown_command
timed forced_stop ForcedInProc
timed forced_stop ForcedDetached /detach
timed archive_arguments
timed main_throwing
timed unknown_option
timed main_class_removed
timed blank_service_name
timed blank_directory
timed vm_message
timed live_rename
timed shutdown_command_leftover
timed key_security
timed final_checks

echo "$passed passed, $failed failed in $((SECONDS - started)) s"
[ "$failed" -eq 0 ]
