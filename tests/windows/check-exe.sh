#!/usr/bin/env bash
# Checks a Windows build of pelorim.exe as it will be shipped: its PE format
# (pei-x86-64 or pei-i386), that it imports only DLLs that every Windows
# has, so that nothing of the mingw runtime needs to lie beside it, and that
# its application manifest asks for UTF-8 as its code page and for long paths.
# Usage: check-exe.sh OBJDUMP EXE FORMAT
# Exits 77 (skipped) when the exe has not been built.
set -u
objdump=$1 exe=$2 format=$3
[ -f "$exe" ] || { echo "no $exe: skipped"; exit 77; }

status=0
got_format=$("$objdump" -f "$exe" | sed -n 's/.*file format //p')
if [ "$got_format" != "$format" ]; then
  echo "FAILED $exe: file format $got_format, expected $format"
  status=1
fi
imports=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$imports" ] || { echo "FAILED $exe: no imports found"; status=1; }
for dll in $imports; do
  case ${dll,,} in
    kernel32.dll | advapi32.dll | msvcrt.dll) ;;
    *) echo "FAILED $exe imports $dll, which is not part of Windows"; status=1 ;;
  esac
done
# The manifest is resource 1 of type 24 (RT_MANIFEST), as windres lists it.
windres=${objdump%objdump}windres
manifest=$("$windres" -i "$exe" -O rc 2>/dev/null | sed -n '/^1 24 /,/^END/p')
for setting in '>UTF-8</activeCodePage>' '>true</longPathAware>'; do
  grep -qF "$setting" <<<"$manifest" || { echo "FAILED $exe: no manifest with $setting"; status=1; }
done
[ "$status" -eq 0 ] && echo "$exe: $got_format, imports" $imports", manifest"
exit "$status"
