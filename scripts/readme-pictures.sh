#!/usr/bin/env bash
# Makes the README's pictures from the generator's sample scene: the preview
# GIF of four views, and a magnified region of the views beside the same
# region of the interlaced image.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh g++ cmake make libfreeimage-dev libseccomp-dev liblcms2-dev zlib1g-dev nlohmann-json3-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target interlace make_views readme_picture >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/make_views "$work/scene" 4 640 400
build/interlace "$work/scene" readme 4 0 0 300 0
mkdir -p docs/images
cp "$work/scene_animation.gif" docs/images/preview.gif
# The near box's window edge, where the views differ most.
build/readme_picture "$work/scene" 4 150 240 64 80 4 docs/images/interlace-region.png
ls -l docs/images
