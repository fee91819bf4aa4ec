#!/bin/sh
# Remakes the delivered alert assets in assets/ from the generators here:
#   Sound/Kouka.mid                          make_tune.py
#   画像データ/Sasa0.bmp ... Sasa7.bmp         make_pictures (shaped window frames)
#   画像データ/TanabataMove.gif, ShintyakuMove.gif, Green.gif, Red.gif
# Needs python3, g++, pkg-config, Qt 6 Gui and ImageMagick's convert. The
# build never runs this; the outputs are committed.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 "$here/make_tune.py" "$root/assets/Sound/Kouka.mid"

g++ -std=c++20 -O1 -fPIC -o "$work/make_pictures" "$here/make_pictures.cpp" \
    $(pkg-config --cflags --libs Qt6Gui)
QT_QPA_PLATFORM=offscreen "$work/make_pictures" "$work/out" >/dev/null

pictures="$root/assets/画像データ"
mkdir -p "$pictures"
for k in 0 1 2 3 4 5 6 7; do
    # 24-bit BMP, as the frames are read.
    convert "$work/out/Sasa$k.bmp" -type TrueColor "BMP3:$pictures/Sasa$k.bmp"
done
convert -delay 20 -loop 0 "$work"/out/tanabata-*.png -dither FloydSteinberg -colors 255 \
    -layers OptimizeTransparency "$pictures/TanabataMove.gif"
convert -delay 11 -loop 0 "$work"/out/shintyaku-*.png -dither FloydSteinberg -colors 255 \
    -layers OptimizeTransparency "$pictures/ShintyakuMove.gif"
convert "$work/out/lamp-green.png" "$pictures/Green.gif"
convert "$work/out/lamp-red.png" "$pictures/Red.gif"
ls -l "$pictures" "$root/assets/Sound"
