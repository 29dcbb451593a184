#!/usr/bin/env bash
# Runs the GNU parallel recipe of docs/batch.md, as it stands there, over a
# dozen small sets, two of them broken, and checks the job log, every good
# set's outputs against a run of its own, and that the broken sets are as
# they were.
#
#   batch_test.sh SOURCE_DIR BUILD_DIR MAKE_VIEWS
set -euo pipefail
source_dir=$1
build=$2
make_views=$3
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
command -v parallel >/dev/null || skip "GNU parallel is missing (the test command installs the package parallel)"

recipe=$(awk '/^<!-- recipe:/ { armed = 1; next }
              armed && /^```sh$/ { inside = 1; next }
              inside && /^```$/ { exit }
              inside { print }' "$source_dir/docs/batch.md")
[ -n "$recipe" ] || fail "no recipe block in docs/batch.md"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export PATH="$build:$PATH"

# Twelve sets of 2 to 5 views in folders two deep, one name with a space.
sets=()
for i in $(seq 1 12); do
  folder="sets/shoot $((i % 3))/set$i"
  mkdir -p "$folder"
  "$make_views" "$folder/scene" $((2 + i % 4)) $((40 + i)) 30
  sets+=("$folder/scene")
done
broken_truncated=${sets[3]}
broken_missing=${sets[8]}
head -c 200 "${broken_truncated}_rs_c02.bmp" > "$work/cut" && mv "$work/cut" "${broken_truncated}_rs_c02.bmp"
rm "${broken_missing}_rs_c01.bmp"
mv "${broken_missing}_rs_c02.bmp" "${broken_missing}_rs_c01.bmp"  # views 1 and 3 or more: one missing
for base in "$broken_truncated" "$broken_missing"; do
  echo old > "${base}_interlace.bmp"
  echo old > "${base}_animation.gif"
done
fingerprint() { find "$(dirname "$1")" -type f -exec md5sum {} + | sort; }
before_truncated=$(fingerprint "$broken_truncated")
before_missing=$(fingerprint "$broken_missing")

# Each good set interlaced on its own, for comparison.
for base in "${sets[@]}"; do
  [ "$base" = "$broken_truncated" ] || [ "$base" = "$broken_missing" ] && continue
  mkdir -p "ref/$base"
  cp "$base"_rs_c*.bmp "ref/$base/.."
  set -- "ref/$base"_rs_c[0-9]*.bmp
  interlace "ref/$base" - $# 0 0 300 0 || fail "a direct run of $base failed"
done

bash -euo pipefail -c "$recipe" || fail "the recipe failed"

[ "$(tail -n +2 batch.log | wc -l)" -eq 12 ] || fail "batch.log should have 12 jobs"
while IFS= read -r line; do
  seq=$(cut -f 1 <<<"$line")
  status=$(cut -f 7 <<<"$line")
  base=$(sed -n "${seq}p" sets.txt)
  if [ "$base" = "$broken_truncated" ] || [ "$base" = "$broken_missing" ]; then
    [ "$status" = 2 ] || fail "$base: status $status in the job log, 2 expected"
  else
    [ "$status" = 0 ] || fail "$base: status $status in the job log, 0 expected"
    for output in _interlace.bmp _animation.gif; do
      cmp -s "$base$output" "ref/$base$output" || fail "$base$output differs from a direct run's"
    done
  fi
done < <(tail -n +2 batch.log)

[ "$(fingerprint "$broken_truncated")" = "$before_truncated" ] || fail "the truncated set was changed"
[ "$(fingerprint "$broken_missing")" = "$before_missing" ] || fail "the set with a missing view was changed"
[ "$(wc -l < failed.txt)" -eq 2 ] || fail "failed.txt should list the 2 broken sets"
grep -q "${broken_truncated}_rs_c02.bmp.*truncated" why.txt || fail "why.txt does not say the truncated view is truncated"
grep -q "${broken_missing}_rs_c02.bmp.*: missing" why.txt || fail "why.txt does not name the missing view"
echo "12 sets through GNU parallel: 10 written, 2 refused and untouched"
