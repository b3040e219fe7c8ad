#!/usr/bin/env bash
# End-to-end benchmark on A4 pages at 300 dpi (2480 x 3508), grey and colour,
# uncompressed, LZW and Deflate, made by make_scan (shaded paper, text, a
# dark margin joined to the edge, an enclosed grey box; a red stamp on
# colour pages).
#
# Times, alternating and each on a fresh copy of the page, the median of
# ROUNDS runs of:
#   valdrane     the tool on a folder holding the page (fsync and rename included)
#   floor        passthrough: the same reader and writer, no processing
#   floor(out)   passthrough on the tool's own output (Deflate costs more on
#                flattened paper than on the scan)
#   tiffcp       tiffcp with the same compression (no fsync)
#   leptonica    the Leptonica peer, where it was built (no fsync)
# then prints the ratios against the targets, and the tool's stage report.
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
for kind in grey colour; do
  for compression in none lzw deflate; do
    page=$kind-$compression
    pages+=("$page")
    "$build/make_scan" $([[ $kind == colour ]] && echo -c) -z "$compression" "$work/pages/$page.tif"
    # The tool's own output, for the second floor, and its stage report.
    rm -rf "$work/run"/* && cp "$work/pages/$page.tif" "$work/run/"
    (cd "$work/run" && "$build/valdrane" | tr -d '\r' > "$work/$page.report")
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
    valdrane) (cd "$work/run" && "$build/valdrane" >/dev/null) ;;
    floor | floor-out) "$build/bench/passthrough" "$work/run/$page.tif" ;;
    tiffcp) tiffcp -c "${compression/deflate/zip}" -r 64 "$work/pages/$page.tif" "$work/run/out.tif" ;;
    leptonica) "$build/bench/leptonica_peer" "$work/run/$page.tif" ;;
  esac
  end=$(now_ms)
  samples[$contender,$page]+="$((end - start)) "
}

contenders=(valdrane floor floor-out)
[[ -n $have_tiffcp ]] && contenders+=(tiffcp)
[[ -n $have_peer ]] && contenders+=(leptonica)
for ((round = 1; round <= rounds; round++)); do
  for page in "${pages[@]}"; do
    for contender in "${contenders[@]}"; do run_once "$contender" "$page"; done
  done
done

median() { tr ' ' '\n' | grep . | sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf (b > 0 ? "%.2f" : "-"), a / b}'; }

echo "Medians of $rounds runs in ms, A4 300 dpi, $(date -u +%F), $(nproc) cores"
printf '%-15s %9s %7s %10s %7s %10s   %9s %13s %9s\n' page valdrane floor 'floor(out)' tiffcp leptonica \
  'v/floor' 'v/floor(out)' 'v/lept'
for page in "${pages[@]}"; do
  declare -A m=()
  for contender in valdrane floor floor-out tiffcp leptonica; do
    m[$contender]=$(echo "${samples[$contender,$page]:-}" | median)
  done
  printf '%-15s %9s %7s %10s %7s %10s   %9s %13s %9s\n' "$page" "${m[valdrane]}" "${m[floor]}" \
    "${m[floor-out]}" "${m[tiffcp]:--}" "${m[leptonica]:--}" "$(ratio "${m[valdrane]}" "${m[floor]}")" \
    "$(ratio "${m[valdrane]}" "${m[floor-out]}")" "$(ratio "${m[valdrane]}" "${m[leptonica]:-0}")"
done
echo "Targets: v/floor at most 1.3 (LZW, Deflate) and 2 (none); v/lept at most 0.5."

# Peak memory: the tool's peak resident size over an empty run's (the
# program itself), against the full-size planes a page needs: page,
# background and saved copy (grey), plus the colour plane (colour).
if [[ -x /usr/bin/time ]]; then
  mkdir -p "$work/empty"
  base=$( (cd "$work/empty" && /usr/bin/time -f %M "$build/valdrane" >/dev/null) 2>&1)
  echo
  printf '%-15s %12s %12s %7s\n' page 'peak-base MB' 'planes MB' ratio
  for page in "${pages[@]}"; do
    rm -rf "$work/run"/* && cp "$work/pages/$page.tif" "$work/run/"
    peak=$( (cd "$work/run" && /usr/bin/time -f %M "$build/valdrane" >/dev/null) 2>&1)
    planes=$((2480 * 3508 * ($([[ $page == colour-* ]] && echo 6 || echo 3))))
    awk -v p="$peak" -v b="$base" -v n="$planes" -v name="$page" \
      'BEGIN {printf "%-15s %12.1f %12.1f %7.2f\n", name, (p - b) / 1024, n / 1048576, (p - b) * 1024 / n}'
  done
  echo "Target: ratio at most 1.2."
fi
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
