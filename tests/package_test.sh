#!/usr/bin/env bash
# Builds the Debian package from a build tree and inspects it: its control
# fields, its files, lintian's verdict, and the tools and manual pages run
# from the unpacked package.
#
#   package_test.sh BUILD_DIR MAKE_VIEWS
set -euo pipefail
build=$1
make_views=$2
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
command -v dpkg-deb >/dev/null || skip "dpkg-deb is missing: the package can't be built or inspected"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >/dev/null
debs=("$work"/out/interlace_*_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "no interlace_<version>_<arch>.deb was made"
deb=${debs[0]}

info=$(dpkg-deb --info "$deb")
for field in "Package: interlace" "Section: graphics" "Depends: .*libfreeimage3" \
             "Description: interlaces views for lenticular"; do
  grep -q "^ $field" <<<"$info" || fail "control field missing: $field"
done
[ "$(grep -c '^  [^ ]' <<<"$info")" -eq 2 ] || fail "the description should have two lines after its summary"
# The decoder reads HEIF, AVIF and JPEG XL through the libraries the build
# found: the package depends on them as dpkg-shlibdeps reads them.
for library in HEIF:libheif1 JXL:libjxl; do
  if grep -q "^INTERLACE_${library%%:*}:BOOL=ON" "$build/CMakeCache.txt"; then
    grep -q "^ Depends: .*${library#*:}" <<<"$info" || fail "the package doesn't depend on ${library#*:}"
  fi
done

contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for path in ./usr/bin/interlace ./usr/bin/interlace-check ./usr/libexec/interlace/interlace-decoder \
            ./usr/share/man/man1/interlace.1.gz \
            ./usr/share/man/man1/interlace-check.1.gz ./usr/share/doc/interlace/copyright \
            ./usr/share/doc/interlace/changelog.gz; do
  grep -qx "$path" <<<"$contents" || fail "not in the package: $path"
done
if dpkg-deb --contents "$deb" | awk '{print $2}' | grep -vqx root/root; then fail "files not owned by root"; fi

if command -v lintian >/dev/null; then
  errors=$(lintian "$deb" 2>/dev/null | grep '^E:' || true)
  [ -z "$errors" ] || fail "lintian reports errors: $errors"
else
  echo "lintian is not installed: its check was left out (the test command installs it)"
fi

dpkg -x "$deb" "$work/root"
# HEIF, AVIF and JPEG XL bytes are read in the confined decoder only: the
# run and the explainer don't link their libraries (FreeImage they use to
# write the outputs).
for tool in bin/interlace bin/interlace-check; do
  needed=$(objdump -p "$work/root/usr/$tool" | awk '$1 == "NEEDED" {print $2}')
  if grep -qE '^lib(heif|jxl|de265|dav1d)' <<<"$needed"; then fail "$tool links a decoding library: $needed"; fi
done
"$make_views" "$work/s" 3 60 40
status=0
"$work/root/usr/bin/interlace" "$work/s" - 3 0 0 300 0 || status=$?
[ $status -eq 0 ] || fail "the packaged interlace exited with $status"
[ "$(head -c 2 "$work/s_interlace.bmp")" = BM ] || fail "no print image from the packaged interlace"
[ "$(head -c 3 "$work/s_animation.gif")" = GIF ] || fail "no preview from the packaged interlace"
if grep -q "^INTERLACE_HEIF:BOOL=ON" "$build/CMakeCache.txt" && command -v heif-enc >/dev/null; then
  # A phone's view, decoded by the packaged decoder program.
  convert "BMP:$work/s_rs_c02.bmp" "$work/s2.png" && heif-enc -q 90 "$work/s2.png" -o "$work/s_rs_c02.bmp" >/dev/null
  "$work/root/usr/bin/interlace" "$work/s" - 3 0 0 300 0 || fail "the packaged interlace exited with $? on a HEIC view"
fi
report=$("$work/root/usr/bin/interlace-check" "$work/s" - 3 0 0 300 0 2>&1) ||
  fail "the packaged interlace-check exited with $?: $report"
grep -q "^exit status 0" <<<"$report" || fail "the packaged interlace-check did not report status 0: $report"

for page in interlace interlace-check; do
  gz="$work/root/usr/share/man/man1/$page.1.gz"
  warnings=$(zcat "$gz" | groff -man -Tutf8 -ww -z 2>&1) || fail "groff can't render $page.1.gz"
  [ -z "$warnings" ] || fail "$page.1.gz renders with warnings: $warnings"
  if command -v man >/dev/null; then
    shown=$(man -l "$gz" 2>/dev/null) || fail "man can't show $page.1.gz"
    grep -q "^NAME" <<<"$shown" || fail "man can't show $page.1.gz"
  fi
done
echo "package ${deb##*/} checked"
