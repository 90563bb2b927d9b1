#!/bin/sh
# A default run of the program on the shipped sample climbs past the starting score and writes its
# three pictures. Arguments: the program, the sample.
set -eu
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$2" "$dir/ant.bmp"
out=$(cd "$dir" && "$1" 2>/dev/null)
printf '%s\n' "$out"
printf '%s\n' "$out" | awk -F'dwHiScore = ' '/dwHiScore/ { split($2, s, ";"); if (s[1] + 0 > 3860) found = 1 } END { exit !found }'
for picture in output0.bmp output1.bmp diff.bmp; do
  test -s "$dir/$picture"
done
