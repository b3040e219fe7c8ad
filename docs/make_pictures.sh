#!/usr/bin/env bash
# Makes the before/after pictures of README.md from the tool's real output:
#   docs/page-before-after.png    the demo scan (demo/page.tif)
#   docs/colour-before-after.png  a synthetic colour scan from make_scan
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
cp "$work/run/page.tif" "$work/run/colour.tif" "$work/"
chmod u+w "$work/run"/*.tif
(cd "$work/run" && "$build/valdrane" >/dev/null)

# Before on the left, after on the right, a grey gap between them.
side_by_side() {  # before after width output
  convert \( "$1" -resize "$3x" \) \( -size 12x1 xc:'#888888' \) \( "$2" -resize "$3x" \) \
    -background "#888888" -gravity center +append -depth 8 -strip "$4"
}
side_by_side "$work/page.tif" "$work/run/page.tif" 384 docs/page-before-after.png
side_by_side "$work/colour.tif" "$work/run/colour.tif" 320 docs/colour-before-after.png
echo "wrote docs/page-before-after.png docs/colour-before-after.png"
