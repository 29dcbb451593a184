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

. "$source_dir/tests/batch_sets.sh"
make_batch_sets

bash -euo pipefail -c "$recipe" || fail "the recipe failed"

[ "$(tail -n +2 batch.log | wc -l)" -eq 12 ] || fail "batch.log should have 12 jobs"
while IFS= read -r line; do
  check_set "$(sed -n "$(cut -f 1 <<<"$line")p" sets.txt)" "$(cut -f 7 <<<"$line")"
done < <(tail -n +2 batch.log)
check_broken_sets
echo "12 sets through GNU parallel: 10 written, 2 refused and untouched"
