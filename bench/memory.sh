#!/usr/bin/env bash
# Memory benchmark: for each page, the tool's peak resident size over an
# empty run's (the program itself) against what the tool counts the page
# for in its memory budget (bench/memory_count), on 1, 2 and 16 threads,
# by default and with -p. A ratio above 1 is a page that holds more than it
# was counted for: under a memory limit, a run that could be killed.
#
# Pages: noise in colour (no codec makes it smaller: its encoded strips are
# as large as its planes) as Deflate, ZSTD and LZMA, 3000 x 3000; an A4
# colour scan in LZW; a grey page of 20,000,000 x 2 and one of 2 x
# 20,000,000 (the correction against the paper works along lines).
#
# Usage: bench/memory.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
for program in valdrane make_scan bench/memory_count; do
  [[ -x $build/$program ]] || { echo "no $build/$program: build first" >&2; exit 1; }
done
[[ -x /usr/bin/time ]] || { echo "no /usr/bin/time (Debian: time)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/pages" "$work/run" "$work/empty"
make() { "$build/make_scan" "${@:2}" "$work/pages/$1.tif"; }
make noise-deflate -n -c -z deflate -s 3000x3000 -r 16
make noise-zstd -n -c -z zstd -s 3000x3000 -r 16
make noise-lzma -n -c -z lzma -s 3000x3000 -r 16
make a4-colour-lzw -c -z lzw
make wide-grey -z lzw -s 20000000x2 -r 2
make tall-grey -z lzw -s 2x20000000 -r 64
(cd "$work/empty" && /usr/bin/time -o "$work/peak" -f %M "$build/valdrane" >/dev/null 2>&1)
base=$(<"$work/peak")
printf '%-15s %7s %4s %12s %12s %7s\n' page threads -p 'peak-base MB' 'counted MB' ratio
for page in noise-deflate noise-zstd noise-lzma a4-colour-lzw wide-grey tall-grey; do
  for threads in 1 2 16; do
    for paper in "" -p; do
      rm -rf "$work/run"/* && cp "$work/pages/$page.tif" "$work/run/"
      (cd "$work/run" && /usr/bin/time -o "$work/peak" -f %M \
        "$build/valdrane" -j "$threads" $paper >/dev/null 2>&1)
      counted=$("$build/bench/memory_count" "$work/pages/$page.tif" "$threads" $paper)
      awk -v p="$(<"$work/peak")" -v b="$base" -v c="$counted" -v name="$page" -v t="$threads" \
        -v q="${paper:-no}" 'BEGIN {printf "%-15s %7s %4s %12.1f %12.1f %7.2f\n",
          name, t, q, (p - b) / 1024, c / 1048576, (p - b) * 1024 / c}'
    done
  done
done
