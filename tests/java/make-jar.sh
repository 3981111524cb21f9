#!/bin/sh
# make-jar.sh JAR CLASSES JARDIR OUTPUT: packs the classes listed in
# JARDIR/classes.txt (paths relative to CLASSES) with JARDIR/MANIFEST.MF.
set -e
jar=$1 classes=$2 dir=$3 out=$4
list=""
if [ -f "$dir/classes.txt" ]; then
  list=$(grep -v '^#' "$dir/classes.txt" | grep -v '^$' | sed 's/^/-C '"$(printf '%s' "$classes" | sed 's/[\/&]/\\&/g')"' /' | tr '\n' ' ')
fi
if [ -f "$dir/MANIFEST.MF" ]; then
  eval "\"$jar\" cfm \"$out\" \"$dir/MANIFEST.MF\" $list"
else
  eval "\"$jar\" cfM \"$out\" $list"
fi
