#!/usr/bin/env bash
# Draws Quillpost's icon (an envelope with a quill under a star, on a night
# blue tile) with ImageMagick and writes the sizes the program and the
# desktop use. Outputs are committed; the build does not run this.
set -euo pipefail
out="$(cd "$(dirname "$0")/../.." && pwd)/assets/icons"
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 256x256 xc:none \
  -fill '#1b2a5c' -draw 'roundrectangle 8,8 247,247 44,44' \
  -fill '#2c4590' -draw 'roundrectangle 8,8 247,140 44,44' \
  -fill '#f8f4e6' -stroke '#c9c0a8' -strokewidth 4 -draw 'rectangle 40,92 216,208' \
  -fill none -stroke '#b0a68a' -strokewidth 6 -draw 'polyline 40,94 128,160 216,94' \
  -stroke none -fill '#ffd84a' -draw 'polygon 196,20 206,46 234,46 211,62 220,88 196,72 172,88 181,62 158,46 186,46' \
  -fill '#e8584a' -draw 'polygon 70,196 150,40 168,48 92,204' \
  -fill '#ffffff' -draw 'polygon 150,40 168,48 176,26' \
  "$tmp/icon256.png"
for s in 32 48 64 128 256; do
  convert "$tmp/icon256.png" -filter Lanczos -resize ${s}x${s} "PNG32:$out/quillpost-$s.png"
done
