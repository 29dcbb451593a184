#!/usr/bin/env bash
# What colour management costs: the same view sets as JPEG and PNG files,
# untagged and tagged with Adobe RGB (1998), timed with the built tool.
# Prints a Markdown table of medians.
#
#   bash bench/colour.sh [RUNS] [WORKDIR]
#
# RUNS defaults to 5; WORKDIR (default build-bench/) holds the build and the
# views. Put it on a tmpfs for steady times.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh g++ cmake make libfreeimage-dev libseccomp-dev liblcms2-dev zlib1g-dev \
  nlohmann-json3-dev time imagemagick colord-data libjpeg-turbo-progs python3
runs=${1:-5}
work=${2:-build-bench}
profile=/usr/share/color/icc/colord/AdobeRGB1998.icc
mkdir -p "$work"
cmake -S . -B "$work/tuned" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/tuned" -j "$(nproc)" >/dev/null

# make_set NAME VIEWS WIDTH HEIGHT: BMP views, then JPEG and PNG copies of
# them, each untagged and tagged (the profile attached, pixels unchanged).
make_set() {
  local dir="$work/colour-$1"
  [ -e "$dir/done" ] && return
  mkdir -p "$dir"
  "$work/tuned/make_views" "$dir/bmp" "$2" "$3" "$4"
  for i in $(seq -f %02g "$2"); do
    cjpeg -quality 92 "$dir/bmp_rs_c$i.bmp" >"$dir/jpeg_rs_c$i.bmp"
    # The same JPEG with the profile's APP2 segment after its start marker:
    # not decoded and encoded again.
    python3 - "$profile" "$dir/jpeg_rs_c$i.bmp" "$dir/jpegtagged_rs_c$i.bmp" <<'TAG'
import sys
profile, jpeg = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
segment = b"ICC_PROFILE\0\x01\x01" + profile
open(sys.argv[3], "wb").write(jpeg[:2] + b"\xff\xe2" + (len(segment) + 2).to_bytes(2, "big") + segment + jpeg[2:])
TAG
    convert "$dir/bmp_rs_c$i.bmp" -quality 10 "png:$dir/png_rs_c$i.bmp"
    convert "$dir/png_rs_c$i.bmp" -profile "$profile" -quality 10 "png:$dir/pngtagged_rs_c$i.bmp"
  done
  touch "$dir/done"
}

median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

time_set() {  # time_set DIR BASE VIEWS: median wall seconds
  : >"$work/times"
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "%e" -o "$work/time.txt" "$work/tuned/interlace" "$1/$2" bench "$3" 0 0 300 0
    cat "$work/time.txt" >>"$work/times"
  done
  median <"$work/times"
}

echo "| views | container | untagged s | tagged s | tagged / untagged |"
echo "|---|---|---|---|---|"
for workload in "a4 8 4960 3508" "hd 24 1920 1080"; do
  read -r name views width height <<<"$workload"
  make_set "$name" "$views" "$width" "$height"
  for container in jpeg png; do
    plain=$(time_set "$work/colour-$name" "$container" "$views")
    tagged=$(time_set "$work/colour-$name" "${container}tagged" "$views")
    awk -v n="$views × ${width}×${height}" -v c="$container" -v p="$plain" -v t="$tagged" \
      'BEGIN {printf "| %s | %s | %.2f | %.2f | %.2f |\n", n, c, p, t, t / p}'
  done
done
