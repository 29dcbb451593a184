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

# Converting each strip after the squeeze, as the tool does, against
# converting each whole view first and squeezing it after: the print images
# of four copies of a view tagged with a profile, and of four copies of the
# same view converted to sRGB first by Little CMS with the tool's settings
# (perceptual, no black-point compensation, sRGB as a version 2 profile).
# Differences in levels (0-255) over every sample but the black top row and
# right column: largest, mean, and the share of samples more than one level
# apart (a level is what two roundings of the same conversion differ by).
echo
echo "| profile | largest difference | mean | samples > 1 level apart |"
echo "|---|---|---|---|"
order="$work/colour-order"
mkdir -p "$order"
"$work/tuned/make_views" "$order/scene" 1 1920 1080
for tagged_with in AdobeRGB1998 ProPhotoRGB; do
  source_profile=/usr/share/color/icc/colord/$tagged_with.icc
  convert "$order/scene_rs_c01.bmp" -profile "$source_profile" "png:$order/tagged.png"
  python3 - "$order/scene_rs_c01.bmp" "$source_profile" "$order/first.bmp" <<'CONVERT'
import ctypes, struct, sys
lcms = ctypes.CDLL("liblcms2.so.2")
lcms.cmsOpenProfileFromFile.restype = lcms.cmsCreate_sRGBProfile.restype = ctypes.c_void_p
lcms.cmsCreateTransform.restype = ctypes.c_void_p
lcms.cmsCreateTransform.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_void_p, ctypes.c_uint, ctypes.c_uint, ctypes.c_uint]
lcms.cmsSetProfileVersion.argtypes = [ctypes.c_void_p, ctypes.c_double]
lcms.cmsDoTransform.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint]
TYPE_BGR_8 = (4 << 16) | (3 << 3) | 1 | (1 << 10)  # RGB colour space, 3 channels, 1 byte, swapped
source = lcms.cmsOpenProfileFromFile(sys.argv[2].encode(), b"r")
srgb = lcms.cmsCreate_sRGBProfile()
lcms.cmsSetProfileVersion(srgb, 2.1)
transform = lcms.cmsCreateTransform(source, TYPE_BGR_8, srgb, TYPE_BGR_8, 0, 0)
bmp = bytearray(open(sys.argv[1], "rb").read())
offset, width, height = struct.unpack_from("<I", bmp, 10)[0], *struct.unpack_from("<ii", bmp, 18)
row = (width * 3 + 3) // 4 * 4
for y in range(height):
    start = offset + y * row
    pixels = bytes(bmp[start:start + width * 3])
    out = ctypes.create_string_buffer(width * 3)
    lcms.cmsDoTransform(transform, pixels, out, width)
    bmp[start:start + width * 3] = out.raw
open(sys.argv[3], "wb").write(bmp)
CONVERT
  for i in 01 02 03 04; do
    cp "$order/tagged.png" "$order/strip_rs_c$i.bmp"
    cp "$order/first.bmp" "$order/view_rs_c$i.bmp"
  done
  "$work/tuned/interlace" "$order/strip" bench 4 0 0 300 0
  "$work/tuned/interlace" "$order/view" bench 4 0 0 300 0
  python3 - "$order/strip_interlace.bmp" "$order/view_interlace.bmp" "$tagged_with" <<'COMPARE'
import struct, sys
a, b = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
offset, width, height = struct.unpack_from("<I", a, 10)[0], *struct.unpack_from("<ii", a, 18)
row = (width * 3 + 3) // 4 * 4
diffs = [abs(a[offset + y * row + x] - b[offset + y * row + x]) for y in range(height - 1) for x in range((width - 1) * 3)]
over = sum(d > 1 for d in diffs)
print(f"| {sys.argv[3]} | {max(diffs)} | {sum(diffs) / len(diffs):.2f} | {100 * over / len(diffs):.2f} % |")
COMPARE
done
