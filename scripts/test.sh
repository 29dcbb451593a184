#!/usr/bin/env bash
# Builds the tool and its tests, and runs the whole test suite. Extra
# arguments go to CMake (for example -DINTERLACE_WERROR=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh g++ cmake make libfreeimage-dev libseccomp-dev libgtest-dev liblcms2-dev libheif-dev libjxl-dev slurm-wlm munge zlib1g-dev imagemagick icc-profiles-free colord-data libgs-common groff-base man-db nlohmann-json3-dev dpkg-dev file lintian libjpeg-turbo-progs libtiff-tools netpbm pngquant webp libopenjp2-tools libheif-examples libavif-bin libjxl-tools parallel fusefat dosfstools fuse3
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON "$@" >/dev/null
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure -j "$(nproc)"
