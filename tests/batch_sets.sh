# Sourced by the batch recipe tests: the sets they run, and the checks they
# share. Needs `fail`, `make_views` (the generator) and the built tools on
# PATH, and runs in the test's working folder.

# Twelve sets of 2 to 5 views in folders two deep, one name with a space;
# set 4 has a truncated view and set 9 a missing one, both beside old
# outputs. Each good set is also interlaced on its own under ref/.
make_batch_sets() {
  sets=()
  local i folder base
  for i in $(seq 1 12); do
    folder="sets/shoot $((i % 3))/set$i"
    mkdir -p "$folder"
    "$make_views" "$folder/scene" $((2 + i % 4)) $((40 + i)) 30
    sets+=("$folder/scene")
  done
  broken_truncated=${sets[3]}
  broken_missing=${sets[8]}
  head -c 200 "${broken_truncated}_rs_c02.bmp" > cut && mv cut "${broken_truncated}_rs_c02.bmp"
  rm "${broken_missing}_rs_c01.bmp"
  mv "${broken_missing}_rs_c02.bmp" "${broken_missing}_rs_c01.bmp"  # views 1 and 3 or more: one missing
  for base in "$broken_truncated" "$broken_missing"; do
    echo old > "${base}_interlace.bmp"
    echo old > "${base}_animation.gif"
  done
  before_truncated=$(fingerprint "$broken_truncated")
  before_missing=$(fingerprint "$broken_missing")
  for base in "${sets[@]}"; do
    is_broken "$base" && continue
    mkdir -p "ref/$base"
    cp "$base"_rs_c*.bmp "ref/$base/.."
    set -- "ref/$base"_rs_c[0-9]*.bmp
    interlace "ref/$base" - $# 0 0 300 0 || fail "a direct run of $base failed"
  done
}

fingerprint() { find "$(dirname "$1")" -type f -exec md5sum {} + | sort; }

is_broken() { [ "$1" = "$broken_truncated" ] || [ "$1" = "$broken_missing" ]; }

# A set's status as the recipe recorded it, and its outputs.
check_set() {  # check_set BASE STATUS
  if is_broken "$1"; then
    [ "$2" = 2 ] || fail "$1: status $2, 2 expected"
  else
    [ "$2" = 0 ] || fail "$1: status $2, 0 expected"
    for output in _interlace.bmp _animation.gif; do
      cmp -s "$1$output" "ref/$1$output" || fail "$1$output differs from a direct run's"
    done
  fi
}

# The broken sets as they were, listed in failed.txt and explained in why.txt.
check_broken_sets() {
  [ "$(fingerprint "$broken_truncated")" = "$before_truncated" ] || fail "the truncated set was changed"
  [ "$(fingerprint "$broken_missing")" = "$before_missing" ] || fail "the set with a missing view was changed"
  [ "$(sort failed.txt)" = "$(printf '%s\n' "$broken_truncated" "$broken_missing" | sort)" ] ||
    fail "failed.txt should list the 2 broken sets"
  grep -q "${broken_truncated}_rs_c02.bmp.*truncated" why.txt || fail "why.txt does not say the truncated view is truncated"
  grep -q "${broken_missing}_rs_c02.bmp.*: missing" why.txt || fail "why.txt does not name the missing view"
}
