#!/usr/bin/env bash
# End-to-end benchmark on A4 pages at 300 dpi (2480 x 3508), grey and colour,
# uncompressed, LZW, Deflate and JPEG (quality 75), and 16-bit colour
# uncompressed and LZW,
# made by make_scan (shaded paper, text, a dark margin joined to the edge,
# an enclosed grey box; a red stamp on colour pages).
#
# Times, alternating and each on a fresh copy of the page, the median of
# ROUNDS runs of:
#   valdrane     the tool on a folder holding the page (fsync and rename
#                included), on every CPU it may use
#   valdrane-1   the same with VALDRANE_THREADS=1
#   paper        the tool with -p (the correction against the paper), on
#                every CPU
#   floor        passthrough: the same reader and writer, no processing, in
#                one thread
#   floor(out)   passthrough on the tool's own output (Deflate costs more on
#                flattened paper than on the scan): the one-thread floor
#   tiffcp       tiffcp with the same compression (no fsync)
#   leptonica    the Leptonica peer, where it was built (no fsync)
# then a batch of twelve pages (the kinds in turn) run by default, with
# VALDRANE_THREADS=1, pinned to one CPU, and as two one-thread processes
# side by side each on half the pages (the machine's limit for a batch),
# and prints a line per target, met or missed, with the figures, and the
# tool's stage report.
#
# Usage: bench/run.sh [BUILD_DIR] [ROUNDS]     (defaults: build, 5)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
rounds=${2:-5}
for program in valdrane make_scan bench/passthrough; do
  [[ -x $build/$program ]] || { echo "no $build/$program: build first" >&2; exit 1; }
done
have_tiffcp=$(command -v tiffcp || true)
have_peer=$([[ -x $build/bench/leptonica_peer ]] && echo yes || true)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/pages" "$work/flat" "$work/run"

pages=()
for kind in grey colour colour16; do
  for compression in none lzw deflate jpeg; do
    [[ $kind == colour16 && $compression == @(deflate|jpeg) ]] && continue
    page=$kind-$compression
    pages+=("$page")
    "$build/make_scan" $([[ $kind == colour* ]] && echo -c) $([[ $kind == *16 ]] && echo -b 16) \
      -z "$compression" $([[ $compression == jpeg ]] && echo -q 75) "$work/pages/$page.tif"
    # The tool's own output, for the second floor, and its stage report.
    rm -rf "$work/run"/* && cp "$work/pages/$page.tif" "$work/run/"
    (cd "$work/run" && "$build/valdrane" 2>/dev/null | tr -d '\r' > "$work/$page.report")
    cp "$work/run/$page.tif" "$work/flat/$page.tif"
  done
done

now_ms() { echo $(($(date +%s%N) / 1000000)); }
declare -A samples
# Runs one contender on one page once and records its time in ms.
run_once() {  # contender page
  local contender=$1 page=$2 compression=${2#*-} start end
  rm -rf "$work/run"/*
  case $contender in
    floor-out) cp "$work/flat/$page.tif" "$work/run/" ;;
    tiffcp) ;;
    *) cp "$work/pages/$page.tif" "$work/run/" ;;
  esac
  start=$(now_ms)
  case $contender in
    valdrane) (cd "$work/run" && "$build/valdrane" >/dev/null 2>&1) ;;
    valdrane-1) (cd "$work/run" && VALDRANE_THREADS=1 "$build/valdrane" >/dev/null 2>&1) ;;
    paper) (cd "$work/run" && "$build/valdrane" -p >/dev/null 2>&1) ;;
    floor | floor-out) "$build/bench/passthrough" "$work/run/$page.tif" ;;
    tiffcp) tiffcp -c "$(sed 's/deflate/zip/; s/jpeg/jpeg:75/' <<<"$compression")" -r 64 \
      "$work/pages/$page.tif" "$work/run/out.tif" ;;
    leptonica) "$build/bench/leptonica_peer" "$work/run/$page.tif" ;;
  esac
  end=$(now_ms)
  samples[$contender,$page]+="$((end - start)) "
}

contenders=(valdrane valdrane-1 paper floor floor-out)
[[ -n $have_tiffcp ]] && contenders+=(tiffcp)
[[ -n $have_peer ]] && contenders+=(leptonica)
for ((round = 1; round <= rounds; round++)); do
  for page in "${pages[@]}"; do
    for contender in "${contenders[@]}"; do run_once "$contender" "$page"; done
  done
done

median() { tr ' ' '\n' | { grep . || true; } | sort -n | awk '{v[NR] = $1} END {if (NR) print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf (b > 0 ? "%.2f" : "-"), a / b}'; }

echo "Medians of $rounds runs in ms, A4 300 dpi, $(date -u +%F), $(nproc) cores"
printf '%-15s %9s %11s %6s %7s %10s %7s %10s   %13s %9s %5s\n' page valdrane valdrane-1 paper \
  floor 'floor(out)' tiffcp leptonica 'v/floor(out)' 'v/lept' 'p/v'
targets=()
target() {  # what, figure, limit, how ("max" or "min")
  local verdict
  verdict=$(awk -v f="$2" -v l="$3" -v how="$4" 'BEGIN {print ((how == "max" ? f <= l : f >= l) ? "met" : "MISSED")}')
  targets+=("$(printf '%-7s %-52s %6s (%s %s)' "$verdict" "$1" "$2" "$4" "$3")")
}
for page in "${pages[@]}"; do
  declare -A m=()
  for contender in valdrane valdrane-1 paper floor floor-out tiffcp leptonica; do
    m[$contender]=$(echo "${samples[$contender,$page]:-}" | median)
  done
  printf '%-15s %9s %11s %6s %7s %10s %7s %10s   %13s %9s %5s\n' "$page" "${m[valdrane]}" \
    "${m[valdrane-1]}" "${m[paper]}" "${m[floor]}" "${m[floor-out]}" "${m[tiffcp]:--}" \
    "${m[leptonica]:--}" "$(ratio "${m[valdrane]}" "${m[floor-out]}")" \
    "$(ratio "${m[valdrane]}" "${m[leptonica]:-0}")" "$(ratio "${m[paper]}" "${m[valdrane]}")"
  target "$page: -p / default" "$(ratio "${m[paper]}" "${m[valdrane]}")" 1.2 max
  # Compressed pages: the correction and the codec's work spread over
  # every core, under the codec's own time on one; uncompressed ones, whose
  # floor is little more than copying bytes, near it.
  target "$page: valdrane / one-thread floor" "$(ratio "${m[valdrane]}" "${m[floor-out]}")" \
    "$([[ $page == *-none ]] && echo 1.2 || echo 0.8)" max
  if [[ $page == colour16-* ]]; then
    target "$page: time / the same page at 8 bits" \
      "$(ratio "${m[valdrane]}" "$(echo "${samples[valdrane,colour-${page#*-}]}" | median)")" 2.2 max
  elif [[ -n $have_peer ]]; then
    target "$page: valdrane / Leptonica peer" "$(ratio "${m[valdrane]}" "${m[leptonica]}")" \
      "$([[ $page == *-none ]] && echo 0.5 || echo 0.33)" max
  fi
done

# The batch: twelve pages, the kinds in turn, in one folder, run as a whole;
# and the same pages as two halves, each in a folder of its own run by a
# one-thread process, both at once.
batch=()
while ((${#batch[@]} < 12)); do batch+=("${pages[@]}"); done
batch=("${batch[@]:0:12}")
batch_once() {  # how
  rm -rf "$work/run"/* && mkdir "$work/run/a" "$work/run/b"
  local k folder
  for ((k = 0; k < ${#batch[@]}; k++)); do
    folder=$work/run
    [[ $1 == pair ]] && folder=$work/run/$([[ $((k % 2)) == 0 ]] && echo a || echo b)
    cp "$work/pages/${batch[k]}.tif" "$folder/${batch[k]}-$k.tif"
  done
  local start end
  start=$(now_ms)
  case $1 in
    default) (cd "$work/run" && "$build/valdrane" >/dev/null 2>&1) ;;
    one) (cd "$work/run" && VALDRANE_THREADS=1 "$build/valdrane" >/dev/null 2>&1) ;;
    pinned) (cd "$work/run" && taskset -c 0 "$build/valdrane" >/dev/null 2>&1) ;;
    pair)
      (cd "$work/run/a" && VALDRANE_THREADS=1 "$build/valdrane" >/dev/null 2>&1) &
      (cd "$work/run/b" && VALDRANE_THREADS=1 "$build/valdrane" >/dev/null 2>&1)
      wait
      ;;
  esac
  end=$(now_ms)
  samples[batch,$1]+="$((end - start)) "
}
hows=(default one pinned)
(($(nproc) >= 2)) && hows+=(pair)
for ((round = 1; round <= rounds; round++)); do
  for how in "${hows[@]}"; do batch_once "$how"; done
done
for how in "${hows[@]}"; do m[$how]=$(echo "${samples[batch,$how]}" | median); done
echo
echo "Batch of 12 pages (ms): default ${m[default]}, VALDRANE_THREADS=1 ${m[one]}," \
  "taskset -c 0 ${m[pinned]}, two one-thread processes side by side ${m[pair]:--}"
target "batch: VALDRANE_THREADS=1 / default" "$(ratio "${m[one]}" "${m[default]}")" 1.8 min
target "batch: pinned to one CPU / VALDRANE_THREADS=1" "$(ratio "${m[pinned]}" "${m[one]}")" 1.05 max
if [[ -n ${m[pair]:-} ]]; then
  target "batch: default / two one-thread processes" "$(ratio "${m[default]}" "${m[pair]}")" 1.05 max
fi

# Peak memory: the tool's peak resident size over an empty run's (the
# program itself), against the full-size planes a page needs: page,
# background and saved copy (grey), plus the colour plane (colour).
if [[ -x /usr/bin/time ]]; then
  mkdir -p "$work/empty"
  (cd "$work/empty" && /usr/bin/time -o "$work/peak" -f %M "$build/valdrane" >/dev/null 2>&1)
  base=$(<"$work/peak")
  echo
  printf '%-15s %12s %12s %7s\n' page 'peak-base MB' 'planes MB' ratio
  declare -A peaks=()
  for page in "${pages[@]}"; do
    rm -rf "$work/run"/* && cp "$work/pages/$page.tif" "$work/run/"
    (cd "$work/run" && /usr/bin/time -o "$work/peak" -f %M "$build/valdrane" >/dev/null 2>&1)
    peak=$(<"$work/peak")
    peaks[$page]=$peak
    planes=$((2480 * 3508 * ($([[ $page == colour* ]] && echo 6 || echo 3)) * \
      ($([[ $page == *16-* ]] && echo 2 || echo 1))))
    awk -v p="$peak" -v b="$base" -v n="$planes" -v name="$page" \
      'BEGIN {printf "%-15s %12.1f %12.1f %7.2f\n", name, (p - b) / 1024, n / 1048576, (p - b) * 1024 / n}'
    target "$page: peak memory / planes in flight" \
      "$(awk -v p="$peak" -v b="$base" -v n="$planes" 'BEGIN {printf "%.2f", (p - b) * 1024 / n}')" 1.2 max
    if [[ $page == colour16-* ]]; then
      target "$page: peak memory / the same page at 8 bits" \
        "$(ratio "$peak" "${peaks[colour-${page#*-}]}")" 2.2 max
    fi
  done
fi
echo
echo "Targets:"
printf '  %s\n' "${targets[@]}"
echo
echo "The tool's stage report (s), one run per page:"
labels=(read down border bg up copy div substract write total)
printf '%-15s' page && printf ' %9s' "${labels[@]}" && echo
for page in "${pages[@]}"; do
  printf '%-15s' "$page"
  for label in "${labels[@]}"; do
    printf ' %9s' "$(awk -v l="$label" '$1 == l {print $2}' "$work/$page.report" | head -1)"
  done
  echo
done
