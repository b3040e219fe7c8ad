#!/usr/bin/env bash
# Makes the before/after pictures of README.md from the tool's real output:
#   docs/page-before-after.png    the demo scan (demo/page.tif)
#   docs/colour-before-after.png  a synthetic colour scan from make_scan
#   docs/ledger-before-after.png  a drawn ledger page: ruled lines running
#                                 into the dark margin, a grey-scale target
#                                 at the edge, a photograph at the top edge;
#                                 before, the default, and -p
#
# Usage: docs/make_pictures.sh [BUILD_DIR]   (default: build)
# Needs a built tree and ImageMagick (Debian package imagemagick).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
for program in valdrane make_scan; do
  [[ -x $build/$program ]] || { echo "no $build/$program: build first" >&2; exit 1; }
done
command -v convert >/dev/null || { echo "ImageMagick's convert is needed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/run"
cp demo/page.tif "$work/run/page.tif"
"$build/make_scan" -c -z deflate -s 1240x1754 -d 150 -S 7 "$work/run/colour.tif"
# The ledger: shaded paper, a dark scanner margin on the left, ruled lines
# joined to it, a grey-scale target against the right edge, a photograph
# against the top edge, and lines of ink.
draw=(-fill 'gray(45)' -draw 'rectangle 0,0 55,1199' -fill 'gray(100)')
for y in $(seq 260 70 1150); do draw+=(-draw "rectangle 0,$y 830,$((y + 2))"); done
# Words of ink above the ruled lines: short dark strokes (no font needed).
ink=(-fill 'gray(35)')
for y in $(seq 260 70 1000); do
  for x in 120 230 300 450 520 690; do
    ink+=(-draw "rectangle $x,$((y - 26)) $((x + 40 + (x * y) % 50)),$((y - 12))")
  done
done
for i in $(seq 0 9); do
  draw+=(-fill "gray$((i * 11))" -draw "rectangle 845,$((300 + i * 70)) 899,$((369 + i * 70))")
done
convert -size 900x1200 radial-gradient:'gray(210)'-'gray(150)' "${draw[@]}" \
  \( -seed 3 -size 380x230 plasma:gray60-gray15 -colorspace gray -blur 0x2 \) \
  -geometry +260+0 -composite "${ink[@]}" \
  -alpha off -colorspace gray -depth 8 -compress lzw "$work/run/ledger.tif"
cp "$work/run/page.tif" "$work/run/colour.tif" "$work/run/ledger.tif" "$work/"
chmod u+w "$work/run"/*.tif
mkdir "$work/paper"
cp "$work/ledger.tif" "$work/paper/"
(cd "$work/run" && "$build/valdrane" >/dev/null)
(cd "$work/paper" && "$build/valdrane" -p >/dev/null)

# Before on the left, after on the right, a grey gap between them.
side_by_side() {  # before after [another] width output
  local images=() width output
  while (($# > 2)); do images+=("$1") && shift; done
  width=$1 output=$2
  local args=()
  for image in "${images[@]}"; do
    ((${#args[@]})) && args+=(\( -size 12x1 xc:'#888888' \))
    args+=(\( "$image" -resize "${width}x" \))
  done
  convert "${args[@]}" -background "#888888" -gravity center +append -depth 8 -strip "$output"
}
side_by_side "$work/page.tif" "$work/run/page.tif" 384 docs/page-before-after.png
side_by_side "$work/colour.tif" "$work/run/colour.tif" 320 docs/colour-before-after.png
side_by_side "$work/ledger.tif" "$work/run/ledger.tif" "$work/paper/ledger.tif" 300 docs/ledger-before-after.png
echo "wrote docs/page-before-after.png docs/colour-before-after.png docs/ledger-before-after.png"
