#!/usr/bin/env bash
# The quality benchmark, one table: each correction (the default, -p, and
# Leptonica's background normalisations) against clean pages degraded five
# ways by known fields, with the cases where a method does harm listed
# after it; see bench/quality.cpp for what is measured. QUALITY_CASES=1
# prints a line per case on standard error, QUALITY_ONLY=TEXT takes only
# the pages whose name holds TEXT.
#
# Clean pages: drawn A4 pages at 300 dpi (text, maps, a plate, figures),
# and two real scans whose paper is already near white, held out from
# tuning: lion-page.00010.jpg and lion-page.00016.jpg of
# Leptonica's own test images, taken from Debian's leptonlib source package
# (apt-get source --download-only leptonlib, which needs a deb-src line in
# the machine's apt sources) into CACHE. Without them, the drawn pages only.
#
# Usage: bench/quality.sh [BUILD_DIR] [CACHE]   (defaults: build, ~/.cache/valdrane-bench)
# Needs libleptonica-dev when the build is configured (it makes bench/quality).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
cache=${2:-$HOME/.cache/valdrane-bench}
[[ -x $build/bench/quality ]] || {
  echo "no $build/bench/quality: install libleptonica-dev, then configure and build again" >&2
  exit 1
}
scans=(lion-page.00010.jpg lion-page.00016.jpg)
if [[ ! -f $cache/${scans[1]} ]]; then
  mkdir -p "$cache"
  (
    cd "$cache"
    apt-get source --download-only leptonlib >/dev/null 2>&1 &&
      tar -xzf leptonlib_*.orig.tar.gz --wildcards --strip-components=2 "${scans[@]/#/*/prog/}" &&
      rm -f leptonlib_*
  ) || echo "quality: no real scans (apt-get source leptonlib failed); drawn pages only" >&2
fi
real=()
for scan in "${scans[@]}"; do [[ -f $cache/$scan ]] && real+=("$cache/$scan"); done
"$build/bench/quality" "${real[@]}"
