#!/bin/sh
# make-jar.sh JAR CLASSES JARDIR OUTPUT: packs the classes listed in
# JARDIR/classes.txt (paths relative to CLASSES; blank lines and lines
# beginning with "#" skipped) with JARDIR/MANIFEST.MF, or without any manifest
# when the folder has none. Names are passed as they are (inner classes with
# "$" included), never through the shell again.
set -e
jar=$1 classes=$2 dir=$3 out=$4
set --
if [ -f "$dir/classes.txt" ]; then
  while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in '' | '#'*) continue ;; esac
    set -- "$@" -C "$classes" "$line"
  done < "$dir/classes.txt"
fi
rm -f "$out"
if [ -f "$dir/MANIFEST.MF" ]; then
  "$jar" cfm "$out" "$dir/MANIFEST.MF" "$@"
else
  "$jar" cfM "$out" "$@"
fi
