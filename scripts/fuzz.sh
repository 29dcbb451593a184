#!/usr/bin/env bash
# Fuzzes the tool's path from view file to outputs with libFuzzer, seeded
# with small valid views of the common formats.
#
#   bash scripts/fuzz.sh [SECONDS]      (default 60)
#
# A crash or a hang stops it with a non-zero status and leaves the input in
# build-fuzz/artifacts/. The corpus it grows stays in build-fuzz/corpus-run/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/install-deps.sh clang libclang-rt-14-dev cmake make libfreeimage-dev libseccomp-dev nlohmann-json3-dev
CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  -DINTERLACE_FUZZ=ON -DINTERLACE_SANITIZE=ON -DINTERLACE_CONFINE=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target view_fuzzer make_seeds >/dev/null
build-fuzz/make_seeds build-fuzz/seeds BMP PNG JPEG TIFF GIF TARGA PPMRAW PGMRAW WebP HDR J2K JP2 PCX SGI PFM
mkdir -p build-fuzz/corpus-run build-fuzz/artifacts
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
  mkdir -p build-fuzz/pocs
  find "$poc_dir" -maxdepth 1 -type f ! -name '*.md' -exec cp {} build-fuzz/pocs/ \;
  pocs=(build-fuzz/pocs)
fi
build-fuzz/view_fuzzer -max_total_time="$seconds" -timeout=25 -rss_limit_mb=6000 -malloc_limit_mb=1048576 \
  -close_fd_mask=3 -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/ \
  build-fuzz/corpus-run build-fuzz/seeds "${pocs[@]}"
