#!/usr/bin/env bash
# Fuzzes the tool's path from view file to outputs with libFuzzer, seeded
# with small valid views of the common formats.
#
#   bash scripts/fuzz.sh [SECONDS]      (default 60)
#   FUZZ_LIBRARY=1 bash scripts/fuzz.sh [SECONDS]
#
# By default only the tool's own code is instrumented, so the fuzzer is blind
# inside the library's decoders. FUZZ_LIBRARY=1 builds Debian's own source of
# the installed FreeImage (with Debian's patches) instrumented as well, and
# links the fuzzer against that: coverage inside the plugins guides it and a
# memory error there stops it. That build goes to build-fuzz-library/.
#
# A crash or a hang stops it with a non-zero status and leaves the input in
# build-fuzz/artifacts/. The corpus it grows stays in build-fuzz/corpus-run/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/install-deps.sh clang libclang-rt-14-dev cmake make libfreeimage-dev libseccomp-dev liblcms2-dev zlib1g-dev nlohmann-json3-dev
out=build-fuzz
library=()
if [ "${FUZZ_LIBRARY:-0}" = 1 ]; then
  out=build-fuzz-library
  bash scripts/build-instrumented-freeimage.sh "$out/freeimage"
  library=(-DFreeImage_INCLUDE_DIR="$PWD/$out/freeimage/Source"
    -DFreeImage_LIBRARY="$PWD/$out/freeimage/libfreeimage.a"
    -DFreeImage_LINK_LIBRARIES="$(cat "$out/freeimage/link-libraries")")
  export LSAN_OPTIONS="suppressions=$PWD/fuzz/library_leaks.supp:${LSAN_OPTIONS:-}"
fi
CXX=clang++ cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  -DINTERLACE_FUZZ=ON -DINTERLACE_SANITIZE=ON -DINTERLACE_CONFINE=OFF "${library[@]}" >/dev/null
cmake --build "$out" -j "$(nproc)" --target view_fuzzer make_seeds >/dev/null
"$out"/make_seeds "$out"/seeds BMP PNG JPEG TIFF GIF TARGA PPMRAW PGMRAW WebP HDR J2K JP2 PCX SGI PFM
mkdir -p "$out"/corpus-run "$out"/artifacts
# The decoders' own complaints (libtiff's above all) would drown the log.
# Views and outputs live in memory where the machine has it: every run syncs
# its outputs, and a disk would make that the whole cost.
[ -d /dev/shm ] && [ -w /dev/shm ] && export TMPDIR=/dev/shm
# Out of the fuzzer, a request for terabytes gets a null pointer, which the
# library handles; have it so here too, and watch real memory use instead.
export ASAN_OPTIONS="allocator_may_return_null=1:${ASAN_OPTIONS:-}"
# Public proof-of-concept files for the library's bugs, where a folder of
# them sits beside the project (or POC_DIR names one; an empty POC_DIR, none),
# seed the run too: each is refused by the tool's own checks, and their
# neighbours should be.
poc_dir=${POC_DIR-../shared/freeimage-pocs}
pocs=()
if [ -n "$poc_dir" ] && [ -d "$poc_dir" ]; then
  mkdir -p "$out"/pocs
  find "$poc_dir" -maxdepth 1 -type f ! -name '*.md' -exec cp {} "$out"/pocs/ \;
  pocs=("$out"/pocs)
fi
"$out"/view_fuzzer -max_total_time="$seconds" -timeout=25 -rss_limit_mb=6000 -malloc_limit_mb=1048576 \
  -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$out"/artifacts/ \
  "$out"/corpus-run "$out"/seeds "${pocs[@]}"
