#!/usr/bin/env bash
# What each view format costs to decode: one picture from the generator
# (an A4 page at 300 dpi, 8.7 megapixels) encoded by Debian's encoders, eight
# copies of it as a set, interlaced by the built tool. Prints a Markdown
# table of medians: wall and processor time (the run and its decoder
# together) and processor time per decoded megapixel; BMP, which needs no
# decoding, is the floor under the others.
#
#   bash bench/formats.sh [RUNS] [WORKDIR]
#
# RUNS defaults to 5; WORKDIR (default build-bench/) holds the build and the
# views. Put it on a tmpfs for steady times.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh g++ cmake make libfreeimage-dev libseccomp-dev liblcms2-dev libheif-dev libjxl-dev \
  zlib1g-dev nlohmann-json3-dev time imagemagick libjpeg-turbo-progs libheif-examples libavif-bin libjxl-tools webp
runs=${1:-5}
work=${2:-build-bench}
views=8
width=2480
height=3508
mkdir -p "$work"
cmake -S . -B "$work/tuned" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/tuned" -j "$(nproc)" >/dev/null

dir="$work/formats"
if [ ! -e "$dir/done" ]; then
  mkdir -p "$dir"
  "$work/tuned/make_views" "$dir/scene" 1 "$width" "$height"
  convert "BMP:$dir/scene_rs_c01.bmp" -strip "$dir/scene.ppm"
  convert "$dir/scene.ppm" "$dir/scene.png"
  cp "$dir/scene_rs_c01.bmp" "$dir/bmp.view"
  cjpeg -quality 90 "$dir/scene.ppm" >"$dir/jpeg.view"
  cwebp -quiet -q 90 "$dir/scene.png" -o "$dir/webp.view"
  heif-enc -q 90 "$dir/scene.png" -o "$dir/heic.view" >/dev/null
  avifenc "$dir/scene.png" "$dir/avif.view" >/dev/null
  cjxl "$dir/scene.ppm" "$dir/jxl.view" -d 1 >/dev/null 2>&1
  cjxl "$dir/scene.ppm" "$dir/jxl-lossless.view" -d 0 >/dev/null 2>&1
  for format in bmp jpeg webp heic avif jxl jxl-lossless; do
    for i in $(seq -f %02g "$views"); do cp "$dir/$format.view" "$dir/${format}_rs_c$i.bmp"; done
  done
  touch "$dir/done"
fi

median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

megapixels=$(awk -v n="$views" -v w="$width" -v h="$height" 'BEGIN {print n * w * h / 1e6}')
echo "| format | file KiB | wall s | CPU s | CPU ns per pixel |"
echo "|---|---|---|---|---|"
for format in bmp jpeg webp heic avif jxl jxl-lossless; do
  : >"$work/times"
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "%e %U %S" -o "$work/time.txt" "$work/tuned/interlace" "$dir/$format" bench "$views" 0 0 300 0
    cat "$work/time.txt" >>"$work/times"
  done
  wall=$(awk '{print $1}' "$work/times" | median)
  cpu=$(awk '{print $2 + $3}' "$work/times" | median)
  kib=$(($(stat -c %s "$dir/$format.view") / 1024))
  awk -v f="$format" -v k="$kib" -v w="$wall" -v c="$cpu" -v mp="$megapixels" \
    'BEGIN {printf "| %s | %d | %.2f | %.2f | %.0f |\n", f, k, w, c, c * 1e3 / mp}'
done
