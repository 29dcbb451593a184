#!/usr/bin/env bash
# Builds Debian's source of the installed FreeImage, with Debian's patches,
# as a static library instrumented for libFuzzer and AddressSanitizer.
#
#   bash scripts/build-instrumented-freeimage.sh FOLDER
#
# FOLDER ends up holding the patched source, libfreeimage.a, and
# link-libraries: the libraries a program linking it needs, ;-separated.
# The source comes through a private apt source list and lists folder, so
# the machine's own apt set-up is left as it was.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$1
[ -f "$out/libfreeimage.a" ] && [ -f "$out/link-libraries" ] && exit 0
bash scripts/install-deps.sh clang dpkg-dev dos2unix pkg-config libjpeg-dev libjxr-dev libopenexr-dev \
  libopenjp2-7-dev libpng-dev libraw-dev libtiff-dev libwebp-dev zlib1g-dev
. /etc/os-release
apt_dir=$(mktemp -d)
trap 'rm -rf "$apt_dir"' EXIT
mkdir -p "$apt_dir/lists/partial" "$apt_dir/parts" "$apt_dir/download"
chmod 755 "$apt_dir"
chown _apt "$apt_dir/download" 2>/dev/null || true
cat > "$apt_dir/src.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $VERSION_CODENAME $VERSION_CODENAME-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $VERSION_CODENAME-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
apt_options=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt_dir/parts"
  -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache::archives="$apt_dir/download")
cp "$apt_dir/src.sources" "$apt_dir/parts/"
apt-get "${apt_options[@]}" update -qq
# The source of exactly the installed version, so what the fuzzer finds is
# what the tool meets.
version=$(dpkg-query -W -f='${source:Version}' libfreeimage3)
(cd "$apt_dir/download" && apt-get "${apt_options[@]}" source --download-only -qq "freeimage=$version")
rm -rf "$out"
# apt has checked the files against the archive's signed index; dpkg-source
# would only add that it holds no key for the maintainer's own signature.
dpkg-source -x "$apt_dir"/download/freeimage_*.dsc "$out" >/dev/null 2>&1
cd "$out"
sh gensrclist.sh
make -s -f Makefile.gnu dos2unix >/dev/null 2>&1
flags="-O1 -g -fPIC -fsanitize=fuzzer-no-link,address"
make -s -j "$(nproc)" -f Makefile.gnu CC=clang CXX=clang++ CFLAGS="$flags" CXXFLAGS="$flags -std=c++14" \
  libfreeimage.a >/dev/null 2>&1
packages="libjpeg libopenjp2 libpng libraw libtiff-4 libwebpmux OpenEXR zlib"
echo "-ljxrglue;-ljpegxr;$(pkg-config --libs $packages | tr ' ' ';')stdc++;m" > link-libraries
